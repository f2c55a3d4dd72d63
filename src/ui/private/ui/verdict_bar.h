// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>
#include <QTimer>
#include <optional>

#include "trace/content_view.h"
#include "ui/widgets.h"
#include "verdict/verdict.h"

namespace mf::ui {

class LabeledSwitch;

// The verdict's line: selectable text, elided to one line with the whole
// sentence in its tooltip; a click that selects no text selects the event
// the verdict rests on.
class VerdictLabel final : public QLabel {
 public:
  explicit VerdictLabel(QWidget* parent = nullptr);
  void setVerdict(const QString& text);
  std::function<void()> onPressed;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void elide();
  QString text_;
};

// Above the event list: the trace's verdict, what is new since the previous
// launch of the same target, and the switch that lists only that.
class VerdictBar final : public Surface {
 public:
  VerdictBar(ContentView& content, LabeledSwitch* onlyNew, QWidget* parent = nullptr);
  void onChange(const Change& change);

 private:
  // The verdict reads the whole list; a flood of batches is answered once
  // per interval, not once per batch.
  void refresh();

  ContentView& content_;
  VerdictLabel* verdict_;
  QLabel* novelty_;
  LabeledSwitch* onlyNew_;
  QTimer settle_;
  Verdict current_;
  std::optional<Uuid> restsOn_;
};

}  // namespace mf::ui
