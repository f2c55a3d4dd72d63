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

  // The pane's controls in Tab order: the copy button, then the values.
  QList<QWidget*> focusChain() const;

 private:
  // The selection, or nothing; a new event gets a new body.
  void refresh();
  void refreshHiddenNote();
  void showBody(const MarrowfieldEvent& event);
  // A titled value ("detailValue:TYPE" to tests, "TYPE" to a reader), with
  // `beside` to its right when given; returns the block for more below it.
  QVBoxLayout* addBlock(QVBoxLayout& column, const QString& name, const QString& value, QWidget* beside = nullptr);
  // TYPE, SOURCE, TIME (with the offset into the trace), MESSAGE, and VISIBILITY for routine noise.
  void addFields(QVBoxLayout& column, const MarrowfieldEvent& event);
  // Which stream carried the line, and whether it is new since the previous launch.
  void addOrigin(QVBoxLayout& column, const MarrowfieldEvent& event);
  // What the run was launched with, when it had options.
  void addLaunchOptions(QVBoxLayout& column);
  const LaunchOptions* shownLaunchOptions() const;

  ContentView& content_;
  PlainGlyphButton* copy_;
  QStackedWidget* stack_;
  QWidget* empty_;
  QLabel* hiddenNote_ = nullptr;
  QScrollArea* scroll_;
  std::optional<MarrowfieldEvent> shown_;
  // The values of the shown body, top to bottom: the Tab order inside the pane.
  std::vector<SelectableText*> values_;
  const LaunchOptionsBook* book_ = nullptr;
};

}  // namespace mf::ui
