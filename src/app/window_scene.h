// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "platform/linux_services.h"
#include "startup.h"
#include "trace/content_view.h"
#include "ui/chooser.h"
#include "ui/main_window.h"
#include "ui/qt_services.h"

#include <QElapsedTimer>
#include <QMargins>
#include <QObject>
#include <QRect>
#include <QSize>

namespace mf::app {

// The first window's content size: 1440 x 900 where the screen's available
// area holds it with the window frame, less where it does not, never below
// the minimum.
QSize initialContentSize(const QRect& available, const QMargins& frame);

// Once the window manager has framed the first window, shrinks and moves it
// so the whole frame lies in the screen's available area.
class FirstFrameFit final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QElapsedTimer deadline_;
  bool done_ = false;
};

// One window of the program: its own ContentView, wired to the Linux
// services and the Qt ones. Windows share nothing. An application given
// (from the command line) is chosen before the window shows.
class WindowScene {
 public:
  explicit WindowScene(std::optional<std::string> application = std::nullopt);
  ~WindowScene();
  WindowScene(const WindowScene&) = delete;
  WindowScene& operator=(const WindowScene&) = delete;

  ui::MainWindow& window() { return *window_; }
  // Shows the window. On Wayland a client learns neither the panels' room
  // nor where its window sits, so a screen without room to spare for the
  // preferred size gets the window maximized: the compositor then sizes it
  // to its own work area. Elsewhere the window manager's work area decides.
  void show();
  ContentView& content() { return *content_; }

 private:
  // Declaration order is destruction order reversed: the window goes first,
  // then the ContentView (ending a running trace), then the services it used.
  ui::QtMainQueue mainQueue_;
  LinuxServices platform_{mainQueue_};
  ui::QtOpenPanel openPanel_;
  CommandLineChoice choice_;
  ui::QtPasteboard pasteboard_;
  std::unique_ptr<ContentView> content_;
  FirstFrameFit frameFit_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace mf::app
