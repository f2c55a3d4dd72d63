// SPDX-License-Identifier: GPL-3.0-or-later
// Whole traces in the window with the services the program uses: the Qt
// main queue and clipboard, journald, journalctl, the demo target as a real
// child process.

#include <gtest/gtest.h>

#include <csignal>

#include "journal_fixture.h"
#include "platform/linux_services.h"
#include "platform_test_support.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

class ChosenPath final : public OpenPanel {
 public:
  std::optional<std::string> path;
  std::optional<std::string> run(const OpenPanelConfiguration&) override { return path; }
};

class WindowTraceTest : public ::testing::Test {
 protected:
  WindowTraceTest() {
    application();
    content = std::make_unique<ContentView>(platform.services(panel, clipboard));
    window = std::make_unique<ui::MainWindow>(*content);
    window->resize(1440, 900);
    window->show();
  }
  ~WindowTraceTest() override {
    window.reset();
    content.reset();
  }

  std::string chooseDemo(const std::string& args) {
    const auto link = testing::privateDemo(dir);
    const std::string name = link.filename();
    panel.path = testing::writeDemoDesktopEntry(dir, name, link, "--bundle-id " + name + " " + args).string();
    Harness::click(window->eventPane()->chooseButton());
    return name;
  }
  std::string dump() const {
    std::string text;
    for (const auto& event : content->events().toVector()) {
      text += std::string(label(event.type)) + " " + event.source + " " + event.message + "\n";
    }
    return text + "status: " + content->statusText();
  }
  int rowContaining(std::string_view text) const {
    const auto& rows = content->visibleRows();
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (content->events()[rows[r]].message.find(text) != std::string_view::npos) return static_cast<int>(r);
    }
    return -1;
  }

  testing::TempDir dir;
  ui::QtMainQueue queue;
  LinuxServices platform{queue};
  ChosenPath panel;
  ui::QtPasteboard clipboard;
  std::unique_ptr<ContentView> content;
  std::unique_ptr<ui::MainWindow> window;
};

TEST_F(WindowTraceTest, ACrashAtStartShowsUpAsItHappens) {
  const std::string name = chooseDemo("--crash");
  EXPECT_EQ(window->sidebar()->targetName()->text(), QString::fromStdString(name));
  Harness::click(window->eventPane()->launchButton());
  ASSERT_TRUE(waitUntil([&] { return content->status().kind == TraceStatus::Kind::processEnded && rowContaining("fatal error") >= 0; },
                        15000))
      << dump();
  EXPECT_EQ(window->topBar()->statusLabel()->text(), "Process ended");
  EXPECT_EQ(window->topBar()->statusDot()->color(), ui::colors::secondary(0.5));
  EXPECT_EQ(window->eventPane()->launchButton()->label(), "Launch & Trace");

  // The crash is listed by default and reads in full in the detail pane.
  auto& list = *window->eventPane()->listView();
  const int crashRow = rowContaining(name + " crashed: killed by signal 11 (SIGSEGV)");
  ASSERT_GE(crashRow, 0) << dump();
  list.scrollToRow(crashRow);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(crashRow).center());
  Harness::settle();
  const QStringList values = window->detailPane()->fieldValues();
  ASSERT_EQ(values.size(), 4);
  EXPECT_EQ(values[0], "ERROR");
  EXPECT_EQ(values[1], "CRASH");

  // Recorded with its errors counted.
  ASSERT_EQ(window->sidebar()->cards().size(), 1u);
  const auto& counters = window->sidebar()->cards()[0]->counters();
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters[0]->glyph(), "xmark.octagon.fill");

  // The copied summary is what a user pastes into a bug report.
  Harness::click(window->topBar()->copySummaryButton());
  const QString summary = Harness::clipboardText();
  EXPECT_TRUE(summary.startsWith("Marrowfield Diagnostic Summary\nApp: " + QString::fromStdString(name)));
  EXPECT_TRUE(summary.contains("[ERROR] [CRASH] " + QString::fromStdString(name) + " crashed: killed by signal 11"));
}

TEST_F(WindowTraceTest, ClosingTheWindowMidTraceEndsTheStreamAndRecordsNothing) {
  chooseDemo("--stay");
  Harness::click(window->eventPane()->launchButton());
  ASSERT_TRUE(waitUntil([&] { return content->status().kind == TraceStatus::Kind::tracing; }, 15000)) << dump();
  EXPECT_EQ(window->topBar()->statusDot()->color(), ui::colors::green());
  const pid_t pid = content->runningApplication()->processIdentifier();
  window->close();
  Harness::settle();
  EXPECT_FALSE(content->isTracing());
  EXPECT_FALSE(content->logProcess());
  EXPECT_TRUE(content->sessions().empty());
  // The target itself is never quit at the end of a trace.
  EXPECT_TRUE(testing::processExists(pid));
  ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace mf::uitest
