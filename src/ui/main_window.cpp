// SPDX-License-Identifier: GPL-3.0-or-later
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
#include <QSplitter>
#include <QStyleFactory>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "ui/detail_pane.h"
#include "ui/event_pane.h"
#include "ui/launch_options.h"
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

MainWindow::MainWindow(ContentView& content, QWidget* parent)
    : QWidget(parent), content_(content), launchOptions_(std::make_unique<LaunchOptionsBook>()) {
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

  // Three columns the user can resize by their dividers and collapse (by
  // dragging a side column past its minimum, or by the top bar's toggles);
  // the extra width of a larger window goes to the messages.
  columns_ = new QSplitter(Qt::Horizontal, this);
  columns_->setObjectName(QStringLiteral("columns"));
  columns_->setHandleWidth(1);
  columns_->setChildrenCollapsible(true);
  columns_->setStyleSheet(styles::splitter());
  sidebar_ = new Sidebar(content_, columns_);
  eventPane_ = new EventPane(content_, columns_);
  detailPane_ = new DetailPane(content_, columns_);
  columns_->addWidget(sidebar_);
  columns_->addWidget(eventPane_);
  columns_->addWidget(detailPane_);
  columns_->setCollapsible(1, false);
  columns_->setStretchFactor(0, 0);
  columns_->setStretchFactor(1, 1);
  columns_->setStretchFactor(2, 0);
  stack->addWidget(columns_, 1);
  QObject::connect(columns_, &QSplitter::splitterMoved, this, [this] { refreshColumnToggles(); });

  sidebar_->setLaunchOptionsBook(launchOptions_.get());
  detailPane_->setLaunchOptionsBook(launchOptions_.get());
  QObject::connect(sidebar_->launchOptionsButton(), &QAbstractButton::clicked, this, [this] { editLaunchOptions(); });
  // Toggled, not clicked: a screen reader's toggle action flips the button
  // without a click. Setting it back to the columns' state is a no-op here.
  QObject::connect(topBar_->sidebarToggle(), &QAbstractButton::toggled, this,
                   [this](bool on) { setSidebarShown(on); });
  QObject::connect(topBar_->detailToggle(), &QAbstractButton::toggled, this, [this](bool on) { setDetailShown(on); });

  eventPane_->setOperationRunner([this](const std::function<void()>& operation) { runOperation(operation); });
  eventPane_->setLaunchPreparer([this] { prepareLaunch(); });

  addShortcut(QKeySequence::Find, [this] {
    eventPane_->searchField()->setFocus(Qt::ShortcutFocusReason);
    eventPane_->searchField()->selectAll();
  });
  // Each named in its control's tooltip.
  auto press = [](QAbstractButton* button) {
    if (button->isEnabled() && button->isVisible()) button->click();
  };
  addShortcut(QKeySequence::Quit, [this] { close(); });
  addShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), [this, press] { press(eventPane_->chooseButton()); });
  addShortcut(QKeySequence(Qt::Key_F5), [this, press] { press(eventPane_->launchButton()); });
  addShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5), [this, press] { press(eventPane_->stopButton()); });
  addShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), [this, press] { press(eventPane_->clearButton()); });
  addShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), [this] { editLaunchOptions(); });
  addShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C), [this, press] { press(topBar_->copySummaryButton()); });
  addShortcut(QKeySequence(Qt::Key_F9), [this] { setSidebarShown(!isSidebarShown()); });
  addShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F9), [this] { setDetailShown(!isDetailShown()); });

  content_.setChangeObserver([this](const Change& change) { onChange(change); });
  updateTabOrder();
}

MainWindow::~MainWindow() { content_.setChangeObserver(nullptr); }

void MainWindow::addShortcut(const QKeySequence& keys, const std::function<void()>& action) {
  auto* shortcut = new QShortcut(keys, this);
  shortcut->setContext(Qt::WindowShortcut);
  QObject::connect(shortcut, &QShortcut::activated, this, action);
}

void MainWindow::prepareLaunch() {
  const auto& target = content_.selectedAppURL();
  if (!target) return;
  const LaunchOptions& options = launchOptions_->beginTrace(*target);
  content_.setLaunchParameters(options.arguments, options.environment, options.qtLevelPrefix);
  content_.setLaunchHost(options.host);
}

void MainWindow::editLaunchOptions() {
  const auto& target = content_.selectedAppURL();
  if (!target) return;
  const std::string url = *target;
  LaunchOptionsDialog dialog(QString::fromStdString(content_.selectedAppName()), launchOptions_->forTarget(url), this);
  if (dialog.exec() != QDialog::Accepted) return;
  launchOptions_->setForTarget(url, dialog.options());
  sidebar_->refreshTarget();
}

bool MainWindow::isSidebarShown() const { return columns_->sizes().value(0) > 0; }
bool MainWindow::isDetailShown() const { return columns_->sizes().value(2) > 0; }
void MainWindow::setSidebarShown(bool shown) { setColumnShown(0, shown); }
void MainWindow::setDetailShown(bool shown) { setColumnShown(2, shown); }

void MainWindow::setColumnShown(int index, bool shown) {
  int& remembered = index == 0 ? sidebarWidth_ : detailWidth_;
  const int minimum = index == 0 ? metrics::sidebarMinimumWidth : metrics::detailMinimumWidth;
  if (shown == (columns_->sizes().value(index) > 0)) {
    refreshColumnToggles();
    return;
  }
  // Once the user has opened or closed it, the detail pane stays as they left it.
  if (index == 2) detailFoldedForRoom_ = false;
  QWidget* column = columns_->widget(index);
  if (shown) {
    const QList<int> before = columns_->sizes();
    column->show();
    QList<int> sizes = columns_->sizes();
    const int width = std::max(remembered, minimum);
    sizes[index] = width;
    sizes[1] = std::max(0, before[0] + before[1] + before[2] - width - sizes[2 - index]);
    columns_->setSizes(sizes);
  } else {
    QList<int> sizes = columns_->sizes();
    remembered = sizes[index];
    sizes[1] += sizes[index];
    sizes[index] = 0;
    // Hidden, not merely zero wide: a folded column would still be
    // "showing" to a screen reader, off to one side.
    column->hide();
    columns_->setSizes(sizes);
  }
  refreshColumnToggles();
}

void MainWindow::refreshColumnToggles() {
  const QList<int> sizes = columns_->sizes();
  if (sizes.value(0) > 0) sidebarWidth_ = sizes[0];
  if (sizes.value(2) > 0) detailWidth_ = sizes[2];
  // A column dragged shut is hidden as one closed by its toggle.
  const bool laidOut = columns_->width() > 0 && sizes.value(1) > 0;
  for (int index : {0, 2}) {
    if (laidOut && sizes.value(index) == 0 && columns_->widget(index)->isVisibleTo(this)) {
      columns_->widget(index)->hide();
    }
  }
  topBar_->sidebarToggle()->setChecked(sizes.value(0) > 0);
  topBar_->detailToggle()->setChecked(sizes.value(2) > 0);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (columnsPlaced_ || width() <= 0) return;
  // The first layout: full side columns on a roomy window. On a small screen
  // the messages keep most of the width: a narrower sidebar, and the detail
  // pane folded until the user opens it (Shift+F9 or its toggle), then at its
  // narrow width. After that the user's sizes stand.
  columnsPlaced_ = true;
  const bool roomy = width() >= metrics::roomyWindowWidth;
  const int side = roomy ? metrics::sidebarWidth : metrics::narrowSidebarWidth;
  const int detail = roomy ? metrics::detailWidth : 0;
  detailFoldedForRoom_ = !roomy;
  detailWidth_ = roomy ? metrics::detailWidth : metrics::narrowDetailWidth;
  columns_->setSizes({side, std::max(0, width() - side - detail - 2), detail});
  refreshColumnToggles();
}

void MainWindow::onChange(const Change& change) {
  // First: the cards and the detail pane read which options a session ran with.
  if (change.has(Change::sessions)) launchOptions_->noteSessions(content_.sessions());
  topBar_->refresh();
  sidebar_->onChange(change);
  eventPane_->onChange(change);
  detailPane_->onChange(change);
  if (change.has(Change::eventSelection) && detailFoldedForRoom_ && content_.selectedEventID() && !isDetailShown()) {
    detailFoldedForRoom_ = false;
    setDetailShown(true);
  }
  // Cards and detail values are rebuilt; new widgets join the chain at its end.
  if (change.has(Change::sessions) || change.has(Change::eventSelection) || change.has(Change::eventsReplaced) ||
      change.has(Change::tracing)) {
    updateTabOrder();
  }
}

QList<QWidget*> MainWindow::tabOrder() const {
  QList<QWidget*> order{topBar_->copySummaryButton(), topBar_->sidebarToggle(), topBar_->detailToggle()};
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
    // With nothing listed yet, the first step is choosing an app.
    if (eventPane_->isShowingEmptyState()) eventPane_->chooseButton()->setFocus(Qt::OtherFocusReason);
    else eventPane_->listView()->setFocus(Qt::OtherFocusReason);
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
