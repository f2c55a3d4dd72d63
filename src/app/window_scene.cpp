#include "window_scene.h"

#include <QGuiApplication>
#include <QScreen>

namespace mf::app {

namespace {
constexpr int kMinimumWidth = 1000;
constexpr int kMinimumHeight = 680;
}  // namespace

WindowScene::WindowScene()
    : openPanel_([](const std::string& path) { return LinuxWorkspace::isApplication(path); }) {
  content_ = std::make_unique<ContentView>(platform_.services(openPanel_, pasteboard_));
  window_ = std::make_unique<ui::MainWindow>(*content_);
  openPanel_.setParentWidget(window_.get());
  window_->setMinimumSize(kMinimumWidth, kMinimumHeight);
  QSize initial(1440, 900);
  if (auto* screen = QGuiApplication::primaryScreen()) {
    initial = initial.boundedTo(screen->availableGeometry().size()).expandedTo(QSize(kMinimumWidth, kMinimumHeight));
  }
  window_->resize(initial);
}

WindowScene::~WindowScene() {
  window_.reset();
  content_.reset();
}

}  // namespace mf::app
