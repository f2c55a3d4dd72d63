// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QScrollArea>
#include <QStackedWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include "trace/content_view.h"
#include "ui/launch_options.h"
#include "ui/widgets.h"

namespace mf::ui {

// A value the user can select and copy with the pointer: wraps anywhere (a
// long path or token has no blanks) and is as tall as its text.
class SelectableText final : public QTextEdit {
 public:
  SelectableText(const QString& text, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int fittingHeight() const;
};

// "+0.412 s": seconds from `start` to `time`, to the millisecond.
QString formatSinceLaunch(double start, double time);

// The trailing column: the selected event, field by field.
class DetailPane final : public Surface {
 public:
  DetailPane(ContentView& content, QWidget* parent = nullptr);
  void onChange(const Change& change);
  // Where the pane reads what the trace on screen was launched with.
  void setLaunchOptionsBook(const LaunchOptionsBook* book) { book_ = book; }

  PlainGlyphButton* copyButton() const { return copy_; }
  bool isShowingEmptyState() const { return stack_->currentWidget() == empty_; }
  QStringList fieldLabels() const;
  QStringList fieldValues() const;
  // Beside TIME: how long after the trace's start the event came ("+0.412 s");
  // empty when the list does not begin with a trace start.
  QString sinceLaunchText() const;
  // Below the fields: where the event's line came from ("stdout", "stderr",
  // "journal", "trace").
  QString originText() const;
  // Below the origin, when the run had them: its arguments and environment.
  QString launchOptionsText() const;
  // The pane's controls in Tab order: the copy button, then the values.
  QList<QWidget*> focusChain() const;

 private:
  void refresh();
  void refreshHiddenNote();
  const LaunchOptions* shownLaunchOptions() const;

  ContentView& content_;
  PlainGlyphButton* copy_;
  QStackedWidget* stack_;
  QWidget* empty_;
  QLabel* hiddenNote_ = nullptr;
  QScrollArea* scroll_;
  QWidget* body_ = nullptr;
  std::optional<MarrowfieldEvent> shown_;
  std::vector<std::pair<QLabel*, SelectableText*>> blocks_;
  QLabel* sinceLaunch_ = nullptr;
  SelectableText* origin_ = nullptr;
  SelectableText* launchOptions_ = nullptr;
  const LaunchOptionsBook* book_ = nullptr;
};

}  // namespace mf::ui
