// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <memory>

#include "trace/content_view.h"

class QSplitter;

namespace mf::ui {

class TopBar;
class Sidebar;
class EventPane;
class DetailPane;
class LaunchOptionsBook;

// One window's content: backdrop, top bar and the three columns over one ContentView.
class MainWindow final : public QWidget {
 public:
  explicit MainWindow(ContentView& content, QWidget* parent = nullptr);
  ~MainWindow() override;

  ContentView& content() const { return content_; }
  TopBar* topBar() const { return topBar_; }
  Sidebar* sidebar() const { return sidebar_; }
  EventPane* eventPane() const { return eventPane_; }
  DetailPane* detailPane() const { return detailPane_; }
  LaunchOptionsBook& launchOptions() { return *launchOptions_; }
  // The launch options of the chosen target, in a dialog (Ctrl+E).
  void editLaunchOptions();
  // Shows or hides a side column; a hidden one comes back at its last width.
  void setSidebarShown(bool shown);
  void setDetailShown(bool shown);
  bool isSidebarShown() const;
  bool isDetailShown() const;
  // Every control in the order Tab visits it: top bar, toolbar, search,
  // switches, list, detail pane, sidebar.
  QList<QWidget*> tabOrder() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void onChange(const Change& change);
  void runOperation(const std::function<void()>& operation);
  void updateTabOrder();
  void prepareLaunch();
  void setColumnShown(int index, bool shown);
  void refreshColumnToggles();
  void addShortcut(const QKeySequence& keys, const std::function<void()>& action);

  ContentView& content_;
  TopBar* topBar_;
  Sidebar* sidebar_;
  EventPane* eventPane_;
  DetailPane* detailPane_;
  QSplitter* columns_;
  std::unique_ptr<LaunchOptionsBook> launchOptions_;
  // The width each side column had when it was last shown.
  int sidebarWidth_ = 0;
  int detailWidth_ = 0;
  bool columnsPlaced_ = false;
  // The first layout folded the detail pane for room, not the user: the
  // first selection opens it, so a picked row is read somewhere.
  bool detailFoldedForRoom_ = false;
  int operationDepth_ = 0;
  bool closePending_ = false;
  bool shown_ = false;
};

// Dark palette and the Fusion style for the whole application, whatever the desktop theme.
void applyDarkAppearance();

}  // namespace mf::ui
