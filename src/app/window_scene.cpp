// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_scene.h"

#include <QGuiApplication>
#include <QEvent>
#include <QScreen>

#include "platform/application.h"
#include "ui/tokens.h"

namespace mf::app {

namespace {
constexpr int kMinimumWidth = ui::metrics::minimumWindowWidth;
constexpr int kMinimumHeight = ui::metrics::minimumWindowHeight;
// The content size the first window asks for where the screen has room.
constexpr QSize kPreferred(1440, 900);
// A first guess at the window manager's frame (title bar and borders), so the
// first window rarely needs the correction below.
constexpr QMargins kFrameGuess(4, 30, 4, 4);
// Room for a desktop's panels (a top bar and a dock) where the platform does
// not say how much they take.
constexpr int kPanelsGuess = 2 * 40;
// How long to wait for the window manager to tell the frame's size.
constexpr int kFrameDeadlineMs = 3000;
}  // namespace

QSize initialContentSize(const QRect& available, const QMargins& frame) {
  const QSize room(available.width() - frame.left() - frame.right(), available.height() - frame.top() - frame.bottom());
  return kPreferred.boundedTo(room).expandedTo(QSize(kMinimumWidth, kMinimumHeight));
}

bool FirstFrameFit::eventFilter(QObject* watched, QEvent* event) {
  auto* window = qobject_cast<QWidget*>(watched);
  if (window == nullptr || done_) return false;
  switch (event->type()) {
    case QEvent::Show:
      deadline_.start();
      break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Expose:
    case QEvent::WindowActivate: {
      if (!deadline_.isValid()) break;
      // Maximized, the window is the size the compositor configured; any
      // other size is a protocol error on Wayland.
      if (window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        done_ = true;
        break;
      }
      const QRect frame = window->frameGeometry();
      const QRect content = window->geometry();
      const bool frameKnown = frame != content;
      if (!frameKnown && deadline_.elapsed() < kFrameDeadlineMs) break;
      done_ = true;
      QScreen* screen = window->screen();
      if (screen == nullptr) break;
      const QRect available = screen->availableGeometry();
      if (available.contains(frame)) break;
      // The frame is known now: the content takes what the screen has left
      // after it, and the frame's corner goes to the available area's corner.
      const QMargins margins(content.left() - frame.left(), content.top() - frame.top(),
                             frame.right() - content.right(), frame.bottom() - content.bottom());
      window->resize(initialContentSize(available, margins));
      window->move(available.topLeft());
      break;
    }
    default: break;
  }
  return false;
}

WindowScene::WindowScene(std::optional<std::string> application)
    : openPanel_([](const std::string& path) { return LinuxWorkspace::isApplication(path); },
                 [](const std::string& path) { return desktopEntryName(path); }),
      choice_(openPanel_, std::move(application)) {
  const bool chooseNow = choice_.hasPending();
  content_ = std::make_unique<ContentView>(platform_.services(choice_, pasteboard_));
  if (chooseNow) content_->chooseApplication();
  if (content_->selectedAppURL()) {
    openPanel_.rememberChoice(*content_->selectedAppURL());
  } else if (!content_->sessions().empty()) {
    openPanel_.rememberChoice(content_->sessions().front().appURL);
  }
  window_ = std::make_unique<ui::MainWindow>(*content_);
  openPanel_.setParentWidget(window_.get());
  window_->setMinimumSize(kMinimumWidth, kMinimumHeight);
  QSize initial = kPreferred;
  if (auto* screen = QGuiApplication::primaryScreen()) {
    initial = initialContentSize(screen->availableGeometry(), kFrameGuess);
  }
  window_->resize(initial);
  // Where the guess was wrong, the first frame the window manager reports corrects it.
  window_->installEventFilter(&frameFit_);
}

void WindowScene::show() {
  QScreen* screen = QGuiApplication::primaryScreen();
  const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
  if (wayland && screen != nullptr) {
    const QRect available = screen->availableGeometry();
    const int wanted = kPreferred.height() + kFrameGuess.top() + kFrameGuess.bottom() + kPanelsGuess;
    if (available.height() < wanted || available.width() < kPreferred.width() + kFrameGuess.left() + kFrameGuess.right()) {
      window_->showMaximized();
      return;
    }
  }
  window_->show();
}

WindowScene::~WindowScene() {
  window_.reset();
  content_.reset();
}

}  // namespace mf::app
