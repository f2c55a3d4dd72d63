// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <vector>

#include "history/session_counts.h"
#include "trace/content_view.h"
#include "ui/launch_options.h"
#include "ui/widgets.h"

namespace mf::ui {

// A counter on a session card: a glyph before a number or "Clean", both in the counter's colour.
class CounterLabel final : public QWidget {
 public:
  CounterLabel(const QString& glyph, const QString& text, const QColor& color, QWidget* parent = nullptr);
  QString text() const { return text_->text(); }
  QColor color() const { return glyph_->color(); }

 private:
  GlyphLabel* glyph_;
  QLabel* text_;
};

// How a recorded trace ended, as a card shows it: a short tag ("SIGSEGV",
// "exit 3", "handed off", "stopped"), its colour, and the sentence its
// tooltip gives.
struct OutcomeLook {
  QString tag;
  QColor color;
  QString description;
};
OutcomeLook outcomeLook(const TraceOutcome& outcome);

// The outcome tag: its text on a tinted rounded field of its colour.
class OutcomeBadge final : public QLabel {
 public:
  OutcomeBadge(const OutcomeLook& look, QWidget* parent = nullptr);
  const QColor& color() const { return color_; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_;
};

// One recorded launch; pressing it opens the session.
class SessionCard final : public QAbstractButton {
 public:
  // `launchOptions`: what the run was given, as describeLaunchOptions says it; empty for none.
  SessionCard(const LaunchSession& session, const QString& launchOptions, QWidget* parent = nullptr);
  const LaunchSession& session() const { return session_; }
  void setSelected(bool selected);
  QColor fill() const;
  QColor border() const;
  const std::vector<CounterLabel*>& counters() const { return counters_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;

 private:
  LaunchSession session_;
  bool selected_ = false;
  ClampedText* name_;
  QLabel* count_;
  QLabel* time_;
  std::vector<CounterLabel*> counters_;
};

// The leading column: launch history and the chosen target.
class Sidebar final : public Surface {
 public:
  Sidebar(ContentView& content, QWidget* parent = nullptr);
  void onChange(const Change& change);

  // Where the cards and the target panel read the launch options from.
  void setLaunchOptionsBook(const LaunchOptionsBook* book) { book_ = book; }
  // Shows the target's options again after they changed.
  void refreshTarget();

  PlainGlyphButton* launchOptionsButton() const { return launchOptions_; }
  QWidget* emptyHistoryCard() const { return emptyCard_; }
  const std::vector<SessionCard*>& cards() const { return cards_; }
  ClampedText* targetName() const { return targetName_; }
  ClampedText* targetPath() const { return targetPath_; }
  // The column's controls in Tab order.
  QList<QWidget*> focusChain() const;

 private:
  // The cards follow the sessions, newest first; a card stays while its session does.
  void rebuildCards();
  SessionCard* makeCard(const LaunchSession& session);
  void refreshSelection();
  void confirmClearHistory();

  ContentView& content_;
  PlainGlyphButton* clearHistory_;
  QScrollArea* scroll_;
  QVBoxLayout* list_;
  Surface* emptyCard_;
  std::vector<SessionCard*> cards_;
  // The card whose click is being handled, if any.
  SessionCard* pressed_ = nullptr;
  ClampedText* targetName_;
  ClampedText* targetPath_;
  PlainGlyphButton* launchOptions_;
  ClampedText* optionsSummary_;
  const LaunchOptionsBook* book_ = nullptr;
};

}  // namespace mf::ui
