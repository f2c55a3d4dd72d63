// Saves pictures of the window in its main states, for a person to look at,
// and checks the layout facts that can be read off the widgets.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>

#include "ui/tokens.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

QString screenshotPath(const QString& name) {
  QDir dir(QStringLiteral(MARROWFIELD_SCREENSHOT_DIR));
  dir.mkpath(QStringLiteral("."));
  return dir.filePath(name + QStringLiteral(".png"));
}

void save(Harness& h, const QString& name) {
  Harness::settle();
  const QImage image = h.window->grab().toImage();
  ASSERT_FALSE(image.isNull());
  ASSERT_TRUE(image.save(screenshotPath(name))) << screenshotPath(name).toStdString();
}

void fillTrace(Harness& h) {
  h.choose("/home/dev/build/bin/Aurora Viewer.desktop", "org.example.AuroraViewer");
  h.launch(31337);
  h.lines({
      "Aurora Viewer 2.4.1 starting",
      "cfprefsd loading preferences from user",
      "warning: config key 'gpu.backend' is deprecated, using 'vulkan'",
      "Loading plugin /usr/lib/aurora/plugins/libexporter.so",
      "open: No such file or directory: /home/dev/.config/aurora/recent.json",
      "Error: could not initialise the renderer: VK_ERROR_INCOMPATIBLE_DRIVER (the installed Vulkan driver does "
      "not support the requested API version 1.3; falling back is disabled by configuration)",
      "Permission denied while opening /dev/dri/renderD128",
      "A multi-line message\nwith a second line\nand a third one that is cut",
      "[com.apple.launchservices] checked csstore",
      "Main window shown",
  });
}

TEST(Screenshots, WindowInItsMainStates) {
  Harness h(QSize(1440, 900));
  save(h, QStringLiteral("01-empty"));

  fillTrace(h);
  ASSERT_GT(h.content->eventCount(), 5u);
  auto& list = *h.pane().listView();
  const std::size_t errorRow = h.rowOf(
      "Error: could not initialise the renderer: VK_ERROR_INCOMPATIBLE_DRIVER (the installed Vulkan driver does not "
      "support the requested API version 1.3; falling back is disabled by configuration)");
  ASSERT_NE(errorRow, static_cast<std::size_t>(-1));
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(static_cast<int>(errorRow)).center());
  EXPECT_EQ(list.rowLines(static_cast<int>(errorRow)), 2);
  EXPECT_EQ(list.rowLines(0), 1);
  save(h, QStringLiteral("02-live-trace"));

  h.stop();
  h.launch(31338);
  h.lines({"Aurora Viewer 2.4.1 starting", "Main window shown"});
  h.stop();
  Harness::click(h.side().cards()[1]);
  ASSERT_TRUE(h.content->viewingSavedSession());
  save(h, QStringLiteral("03-saved-session"));

  Harness::click(h.pane().rawLogSwitch()->toggle());
  QTest::keyClicks(h.pane().searchField(), "com");
  save(h, QStringLiteral("04-raw-log-search"));
}

TEST(Screenshots, MinimumSizeClipsNothing) {
  // Shrink from a roomy window: the toolbar must give way, not hold the window wide.
  Harness h(QSize(1600, 1000));
  fillTrace(h);
  Harness::settle();
  EXPECT_FALSE(h.pane().isToolbarCompact());
  h.window->resize(1000, 680);
  Harness::settle();
  EXPECT_TRUE(h.pane().isToolbarCompact());
  EXPECT_EQ(h.window->width(), 1000) << "the content must fit the minimum width";
  EXPECT_LE(h.window->minimumSizeHint().width(), 1000);
  EXPECT_LE(h.window->minimumSizeHint().height(), 680);
  save(h, QStringLiteral("05-minimum-size"));
}

}  // namespace
}  // namespace mf::uitest
