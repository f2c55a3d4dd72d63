#pragma once

#include <memory>

#include "platform/linux_services.h"
#include "trace/content_view.h"
#include "ui/main_window.h"
#include "ui/qt_services.h"

namespace mf::app {

// One window of the program: its own ContentView, wired to the Linux
// services and the Qt ones. Windows share nothing.
class WindowScene {
 public:
  WindowScene();
  ~WindowScene();
  WindowScene(const WindowScene&) = delete;
  WindowScene& operator=(const WindowScene&) = delete;

  ui::MainWindow& window() { return *window_; }
  ContentView& content() { return *content_; }

 private:
  // Declaration order is destruction order reversed: the window goes first,
  // then the ContentView (ending a running trace), then the services it used.
  ui::QtMainQueue mainQueue_;
  LinuxServices platform_{mainQueue_};
  ui::QtOpenPanel openPanel_;
  ui::QtPasteboard pasteboard_;
  std::unique_ptr<ContentView> content_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace mf::app
