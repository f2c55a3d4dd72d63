// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_services.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cmath>

namespace mf::ui {

// ---------------------------------------------------------------- QtMainQueue

QtMainQueue::QtMainQueue() : shared_(std::make_shared<Shared>()) {
  shared_->receiver = new QObject();
  if (auto* app = QCoreApplication::instance()) shared_->receiver->moveToThread(app->thread());
}

QtMainQueue::~QtMainQueue() {
  std::lock_guard lock(shared_->mutex);
  // Deleting the receiver also removes the posts still queued for it.
  delete shared_->receiver;
  shared_->receiver = nullptr;
}

void QtMainQueue::post(std::function<void()> task) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->receiver == nullptr) return;
  QMetaObject::invokeMethod(
      shared_->receiver, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMainQueue::wait(double seconds) {
  if (!(seconds > 0)) {
    // Still let work already posted run, as a zero-length wait would.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return;
  }
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(static_cast<int>(std::lround(seconds * 1000.0)));
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// ---------------------------------------------------------------- QtPasteboard

void QtPasteboard::setString(const std::string& text) {
  if (auto* clipboard = QGuiApplication::clipboard()) {
    clipboard->setText(QString::fromStdString(text), QClipboard::Clipboard);
  }
}

}  // namespace mf::ui
