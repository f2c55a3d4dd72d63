// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The chooser: the Qt open panel through which the user picks the
// application to trace. What counts as an application and what a desktop
// entry is called are the platform's to say; the app hands both in.

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "trace/services.h"

namespace mf::ui {

// Tells whether a file is something the chooser offers (a desktop entry or an
// executable): the workspace's own test, which the app passes.
using ApplicationPredicate = std::function<bool(const std::string& path)>;

// A desktop entry's name (its Name=) for the chooser's "Application" column;
// empty when the file is not an entry or names nothing. The app passes the
// platform's reader; without one the column names no entry.
using EntryNameReader = std::function<std::string(const std::string& path)>;

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
  explicit QtOpenPanel(ApplicationPredicate isApplication, EntryNameReader entryName = {});
  void setParentWidget(QWidget* parent) { parent_ = parent; }
  // The chooser opens in this application's folder (while it exists), as
  // after choosing it here: one given on the command line, or traced last.
  void rememberChoice(const std::string& path);
  std::optional<std::string> run(const OpenPanelConfiguration& configuration) override;

 private:
  ApplicationPredicate isApplication_;
  EntryNameReader entryName_;
  QPointer<QWidget> parent_;
  QString lastDirectory_;
};

}  // namespace mf::ui
