// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The Qt implementations of the core's main-thread queue, open panel and pasteboard.

#include <QList>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "trace/services.h"

class QObject;
class QWidget;

namespace mf::ui {

// Posts are queued calls on a receiver that lives on the main thread, so they
// run in posting order between other events. The nested wait runs the event
// loop without user input: a click there would re-enter the operation that
// is waiting (a second "Launch & Trace" half-way through the first).
class QtMainQueue final : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> task) override;
  void wait(double seconds) override;

 private:
  // Guards the receiver against a post racing with destruction: a post that
  // arrives after the queue is gone is dropped, not delivered to a dead object.
  struct Shared {
    std::mutex mutex;
    QObject* receiver = nullptr;
  };
  std::shared_ptr<Shared> shared_;
};

// Tells whether a file is something the chooser offers (a desktop entry or an
// executable). The app passes the workspace's own test; the default is an
// equivalent check on the file's name and permissions.
using ApplicationPredicate = std::function<bool(const std::string& path)>;
bool looksLikeApplication(const std::string& path);

// The `Name=` of a desktop entry's [Desktop Entry] group, unlocalised, or
// empty when the file is not one or names nothing. Reads at most 64 KiB.
QString desktopEntryName(const QString& path);

// A place the chooser offers in its side panel: where applications are
// installed, and home.
struct ChooserPlace {
  QString label;
  QString path;
};
// The places that exist on this system, in the order shown.
QList<ChooserPlace> chooserPlaces();
// Where the chooser opens the first time: the user's applications folder,
// else the system's, else home.
QString chooserStartFolder();
// The name filter the chooser shows (what it lists is decided by the predicate).
QString chooserFilterLabel();

class QtOpenPanel final : public OpenPanel {
 public:
  explicit QtOpenPanel(ApplicationPredicate isApplication = looksLikeApplication);
  void setParentWidget(QWidget* parent) { parent_ = parent; }
  std::optional<std::string> run(const OpenPanelConfiguration& configuration) override;

 private:
  ApplicationPredicate isApplication_;
  QPointer<QWidget> parent_;
  QString lastDirectory_;
};

class QtPasteboard final : public Pasteboard {
 public:
  void setString(const std::string& text) override;
};

}  // namespace mf::ui
