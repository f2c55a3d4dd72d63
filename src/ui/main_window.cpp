#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QStandardPaths>
#include <QHBoxLayout>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QShortcut>
#include <QStyleFactory>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "ui/detail_pane.h"
#include "ui/event_pane.h"
#include "ui/sidebar.h"
#include "ui/top_bar.h"

namespace mf::ui {

void applyDarkAppearance() {
  if (auto* style = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(style);
  const QPalette palette = darkPalette();
  QApplication::setPalette(palette);
  QToolTip::setPalette(palette);
  // Symbolic theme icons stand in for the glyphs when the desktop names no
  // theme; some platforms (offscreen, minimal) also search no icon folders.
  QStringList searchPaths = QIcon::themeSearchPaths();
  for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
    const QString icons = data + QStringLiteral("/icons");
    if (!searchPaths.contains(icons) && QFileInfo(icons).isDir()) searchPaths << icons;
  }
  QIcon::setThemeSearchPaths(searchPaths);
  if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor")) {
    QIcon::setThemeName(QStringLiteral("Adwaita"));
  }
}

MainWindow::MainWindow(ContentView& content, QWidget* parent) : QWidget(parent), content_(content) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QStringLiteral("Marrowfield"));
  setPalette(darkPalette());
  setAutoFillBackground(false);

  setStyleSheet(QStringLiteral(
      "QPushButton { background-color: rgba(255, 255, 255, 0.08); border: 1px solid rgba(255, 255, 255, 0.12);"
      " border-radius: 6px; padding: 4px 10px; color: rgba(255, 255, 255, 0.92); }"
      "QPushButton:hover { background-color: rgba(255, 255, 255, 0.13); }"
      "QPushButton:pressed { background-color: rgba(255, 255, 255, 0.05); }"
      "QPushButton:focus { border: 1px solid rgba(100, 210, 255, 0.7); }"
      "QPushButton:disabled { background-color: rgba(255, 255, 255, 0.04); color: rgba(255, 255, 255, 0.3);"
      " border-color: rgba(255, 255, 255, 0.06); }"
      "QLineEdit#searchField { background-color: rgba(0, 0, 0, 0.28); border: 1px solid rgba(255, 255, 255, 0.14);"
      " border-radius: 7px; padding: 4px 8px; color: rgba(255, 255, 255, 0.92);"
      " selection-background-color: rgba(100, 210, 255, 0.45); }"
      "QLineEdit#searchField:focus { border: 1px solid rgba(100, 210, 255, 0.75); }"
      "QScrollBar:vertical { background: transparent; width: 10px; margin: 0; }"
      "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 0.2); border-radius: 3px; min-height: 28px;"
      " margin: 2px 2px 2px 2px; }"
      "QScrollBar::handle:vertical:hover { background: rgba(255, 255, 255, 0.32); }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
      "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"
      "QToolTip { background-color: rgb(34, 40, 52); color: rgba(255, 255, 255, 0.92);"
      " border: 1px solid rgba(255, 255, 255, 0.14); padding: 3px; }"));

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(0);
  topBar_ = new TopBar(content_, this);
  stack->addWidget(topBar_);

  auto* columns = new QHBoxLayout();
  columns->setSpacing(0);
  sidebar_ = new Sidebar(content_, this);
  eventPane_ = new EventPane(content_, this);
  detailPane_ = new DetailPane(content_, this);
  columns->addWidget(sidebar_);
  columns->addWidget(new Divider(Qt::Vertical, this));
  columns->addWidget(eventPane_, 1);
  columns->addWidget(new Divider(Qt::Vertical, this));
  columns->addWidget(detailPane_);
  stack->addLayout(columns, 1);

  eventPane_->setOperationRunner([this](const std::function<void()>& operation) { runOperation(operation); });

  auto* find = new QShortcut(QKeySequence::Find, this);
  find->setContext(Qt::WindowShortcut);
  QObject::connect(find, &QShortcut::activated, this, [this] {
    eventPane_->searchField()->setFocus(Qt::ShortcutFocusReason);
    eventPane_->searchField()->selectAll();
  });

  content_.setChangeObserver([this](const Change& change) { onChange(change); });
  setFocusProxy(eventPane_->listView());
}

MainWindow::~MainWindow() { content_.setChangeObserver(nullptr); }

void MainWindow::onChange(const Change& change) {
  topBar_->refresh();
  sidebar_->onChange(change);
  eventPane_->onChange(change);
  detailPane_->onChange(change);
}

void MainWindow::runOperation(const std::function<void()>& operation) {
  ++operationDepth_;
  operation();
  --operationDepth_;
  if (operationDepth_ == 0 && closePending_) {
    closePending_ = false;
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (operationDepth_ > 0) {
    // A start is still in one of its short waits; ending the trace under it
    // would pull its state away mid-way. Close once it has returned.
    closePending_ = true;
    event->ignore();
    return;
  }
  content_.stopTrace(false);
  event->accept();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient gradient(QPointF(0, 0), QPointF(width(), height()));
  gradient.setColorAt(0.0, colors::backdropTop());
  gradient.setColorAt(0.5, colors::backdropMiddle());
  gradient.setColorAt(1.0, colors::backdropBottom());
  painter.fillRect(rect(), gradient);
}

}  // namespace mf::ui
