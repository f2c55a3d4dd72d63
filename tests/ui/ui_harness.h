// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A real window over a real ContentView whose services are the fakes (the
// clipboard excepted: the system's, through QtPasteboard). The test plays the
// world (the chooser's answer, the launch, the log lines) and reads the
// widgets as the user would.

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QTest>
#include <QTextEdit>
#include <functional>
#include <memory>
#include <string>

#include "support/fakes.h"
#include "trace/content_view.h"
#include "ui/detail_pane.h"
#include "ui/event_list_view.h"
#include "ui/event_pane.h"
#include "ui/main_window.h"
#include "ui/qt_services.h"
#include "ui/sidebar.h"
#include "ui/top_bar.h"

namespace mf::uitest {

inline constexpr const char* kApp = "/opt/demo/Demo.desktop";

inline constexpr const char* kFontDir = "/usr/share/fonts/truetype/dejavu/";

// One QApplication for the test program, on the offscreen platform unless the
// environment chose another, with the fonts and time zone of every machine
// (DejaVu, from fonts-dejavu-core; UTC), so sizes and times read the same
// wherever the tests run.
inline QApplication& application() {
  static int argc = 1;
  static char name[] = "marrowfield-ui-tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TZ", "UTC");
    tzset();
    auto* created = new QApplication(argc, argv);
    for (const char* file : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSansMono.ttf", "DejaVuSansMono-Bold.ttf"})
      QFontDatabase::addApplicationFont(QLatin1String(kFontDir) + QLatin1String(file));
    QFont::insertSubstitution(QStringLiteral("monospace"), QStringLiteral("DejaVu Sans Mono"));
    QApplication::setFont(QFont(QStringList{QStringLiteral("DejaVu Sans")}, QApplication::font().pointSize()));
    ui::applyDarkAppearance();
    return created;
  }();
  return *app;
}

// Waits for a condition with a deadline, running the event loop meanwhile.
inline bool waitUntil(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 5000); }

struct Harness {
  testing::FakeServices fakes;
  ui::QtPasteboard clipboard;
  std::unique_ptr<ContentView> content;
  std::unique_ptr<ui::MainWindow> window;

  explicit Harness(QSize size = QSize(1280, 800)) {
    application();
    content = std::make_unique<ContentView>(ContentView::Services{fakes.mainQueue, fakes.clock, fakes.ids,
                                                                  fakes.logStreams, fakes.workspace, fakes.remote, fakes.openPanel,
                                                                  clipboard});
    window = std::make_unique<ui::MainWindow>(*content);
    window->resize(size);
    window->show();
    settle();
  }

  ui::TopBar& top() const { return *window->topBar(); }
  ui::Sidebar& side() const { return *window->sidebar(); }
  ui::EventPane& pane() const { return *window->eventPane(); }
  ui::DetailPane& detail() const { return *window->detailPane(); }
  ui::EventListView& list() const { return *pane().listView(); }

  // The detail pane as a reader finds it: its copy button and its values by the name each carries ("TYPE", ...).
  QAbstractButton& copyEvent() const { return *detail().findChild<QAbstractButton*>("copyEventButton"); }
  QString detailValue(const QString& name) const {
    for (const QTextEdit* text : detail().findChildren<QTextEdit*>()) {
      if (text->objectName().startsWith("detailValue:") && text->accessibleName() == name) return text->toPlainText();
    }
    return {};
  }

  void choose(const std::string& path = kApp, const std::string& bundleId = {}) {
    if (!bundleId.empty()) fakes.workspace.bundleIds[path] = bundleId;
    fakes.openPanel.answers.push_back(path);
    click(pane().chooseButton());
  }
  // "Launch & Trace" and a launch that succeeds with `pid`.
  void launch(int pid = 4242) {
    click(pane().launchButton());
    fakes.workspace.completeWithPid(pid);
    run();
  }
  void lines(std::initializer_list<std::string_view> batch) { send(LineBatch::of(batch)); }
  void send(LineBatch batch) { fakes.logStreams.lastSink()(std::move(batch)); run(); }
  void stop() { click(pane().stopButton()); }
  void resize(int width, int height) { window->resize(width, height); settle(); }
  void select(std::size_t event) { content->selectEvent(*content->events()[event].id); settle(); }
  void run() { fakes.mainQueue.runAll(); settle(); }
  static QString clipboardText() { return QGuiApplication::clipboard()->text(QClipboard::Clipboard); }
  static void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); settle(); }
  static void settle() { QCoreApplication::processEvents(); }

  // The visible row of the event with this message, or -1.
  int rowOf(std::string_view message) const {
    const auto& rows = content->visibleRows();
    for (std::size_t r = 0; r < rows.size(); ++r) if (content->events()[rows[r]].message == message) return static_cast<int>(r);
    return -1;
  }
  // Clicks the row of the event with this message.
  void clickRow(std::string_view message) {
    QTest::mouseClick(list().viewport(), Qt::LeftButton, {}, list().rowRect(rowOf(message)).center());
    settle();
  }
};

}  // namespace mf::uitest
