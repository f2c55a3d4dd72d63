// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>

#include "trace/content_view.h"
#include "ui/event_list_view.h"
#include "ui/widgets.h"

namespace mf::ui {

class ToolbarRowLayout;
class VerdictBar;

// The search field: Escape clears it.
class SearchField final : public QLineEdit {
 public:
  explicit SearchField(QWidget* parent = nullptr);

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// A switch with its title before it.
class LabeledSwitch final : public QWidget {
 public:
  LabeledSwitch(const QString& title, const QString& tooltip, QWidget* parent = nullptr);
  ToggleSwitch* toggle() const { return switch_; }
  QString title() const { return title_->text(); }

 private:
  QLabel* title_;
  ToggleSwitch* switch_;
};

// What the list shows when nothing is listed.
class EmptyState final : public QWidget {
 public:
  explicit EmptyState(QWidget* parent = nullptr);
  void setRawLog(bool rawLog);
  QString title() const { return title_->text(); }

 private:
  QWidget* glyphHost_;
  GlyphLabel* glyph_ = nullptr;
  QLabel* title_;
  QLabel* explanation_;
  std::optional<bool> rawLog_;
};

// The middle column: every trace control, the switches, the counters and the list.
class EventPane final : public QWidget {
 public:
  EventPane(ContentView& content, QWidget* parent = nullptr);
  void onChange(const Change& change);

  // Runs an operation of a control; the window uses it to defer closing
  // while an operation (with its nested waits) is still running.
  void setOperationRunner(std::function<void(const std::function<void()>&)> runner) { runner_ = std::move(runner); }
  // Runs just before "Launch & Trace" starts a trace (the window hands the
  // target's launch options to the ContentView there).
  void setLaunchPreparer(std::function<void()> prepare) { prepareLaunch_ = std::move(prepare); }

  ToolbarButton* chooseButton() const { return choose_; }
  ToolbarButton* launchButton() const { return launch_; }
  ToolbarButton* stopButton() const { return stop_; }
  ToolbarButton* clearButton() const { return clear_; }
  SearchField* searchField() const { return search_; }
  LabeledSwitch* rawLogSwitch() const { return rawLog_; }
  LabeledSwitch* freshLaunchSwitch() const { return fresh_; }
  EventListView* listView() const { return list_; }
  bool isShowingEmptyState() const { return stack_->currentWidget() == empty_; }
  // The pane's controls in Tab order.
  QList<QWidget*> focusChain() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The parts of the pane, top to bottom, made once by the constructor.
  QWidget* makeToolbar();
  QLayout* makeTraceButtons(QWidget* toolbar);
  QLayout* makeSwitchesAndCounters(QWidget* toolbar);
  QWidget* makeColumnHeader();
  void connectControls();
  void fitButtons();
  void refreshControls();
  void refreshCounters();
  void run(const std::function<void()>& operation);

  ContentView& content_;
  std::function<void(const std::function<void()>&)> runner_;
  std::function<void()> prepareLaunch_;
  ToolbarButton* choose_;
  ToolbarButton* launch_;
  ToolbarButton* stop_;
  ToolbarButton* clear_;
  ToolbarButton* current_;
  SearchField* search_;
  LabeledSwitch* rawLog_;
  LabeledSwitch* fresh_;
  QLabel* mode_;
  QLabel* suppressed_;
  QLabel* count_;
  QStackedWidget* stack_;
  EventListView* list_;
  EmptyState* empty_;
  VerdictBar* verdictBar_;
  ToolbarRowLayout* traceRow_ = nullptr;
  ToolbarRowLayout* switchesRow_ = nullptr;
};

}  // namespace mf::ui
