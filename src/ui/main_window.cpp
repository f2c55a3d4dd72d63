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

  setStyleSheet(styles::window());

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
  updateTabOrder();
}

MainWindow::~MainWindow() { content_.setChangeObserver(nullptr); }

void MainWindow::onChange(const Change& change) {
  topBar_->refresh();
  sidebar_->onChange(change);
  eventPane_->onChange(change);
  detailPane_->onChange(change);
  // Cards and detail values are rebuilt; new widgets join the chain at its end.
  if (change.has(Change::sessions) || change.has(Change::eventSelection) || change.has(Change::eventsReplaced) ||
      change.has(Change::tracing)) {
    updateTabOrder();
  }
}

QList<QWidget*> MainWindow::tabOrder() const {
  QList<QWidget*> order{topBar_->copySummaryButton()};
  order << eventPane_->focusChain();
  order << detailPane_->focusChain();
  order << sidebar_->focusChain();
  return order;
}

void MainWindow::updateTabOrder() {
  const QList<QWidget*> order = tabOrder();
  for (qsizetype i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shown_) {
    shown_ = true;
    // The list is where the keyboard is most useful; Tab goes on from there.
    eventPane_->listView()->setFocus(Qt::OtherFocusReason);
  }
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
