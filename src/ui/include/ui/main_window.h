#pragma once

#include <QWidget>

#include "trace/content_view.h"

namespace mf::ui {

class TopBar;
class Sidebar;
class EventPane;
class DetailPane;

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
  // Every control in the order Tab visits it: top bar, toolbar, search,
  // switches, list, detail pane, sidebar.
  QList<QWidget*> tabOrder() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void onChange(const Change& change);
  void runOperation(const std::function<void()>& operation);
  void updateTabOrder();

  ContentView& content_;
  TopBar* topBar_;
  Sidebar* sidebar_;
  EventPane* eventPane_;
  DetailPane* detailPane_;
  int operationDepth_ = 0;
  bool closePending_ = false;
  bool shown_ = false;
};

// Dark palette and the Fusion style for the whole application, whatever the desktop theme.
void applyDarkAppearance();

}  // namespace mf::ui
