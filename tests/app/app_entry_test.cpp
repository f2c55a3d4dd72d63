// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry: the command line and the display, run as a real
// process; an application given on it, chosen in a real window scene.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <memory>

#include "startup.h"
#include "ui_harness.h"
#include "window_scene.h"

namespace {

using Changes = QList<QPair<QString, QString>>;  // an empty value removes the variable

std::unique_ptr<QProcess> start(const QStringList& arguments, const Changes& changes) {
  auto process = std::make_unique<QProcess>();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : changes) {
    if (value.isEmpty()) environment.remove(name);
    else environment.insert(name, value);
  }
  process->setProcessEnvironment(environment);
  process->start(QStringLiteral(MARROWFIELD_APP_PATH), arguments);
  return process;
}

TEST(AppEntry, CommandLinesThatEndBeforeTheWindowSayWhyWithTheirStatus) {
  // A display number nothing listens on: no socket of that number exists.
  int unused = 4000;
  while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(unused))) ++unused;
  const QString stale = QStringLiteral(":%1").arg(unused);
  QTemporaryDir runtime;  // a runtime folder of its own, so Qt has nothing to say about it
  const Changes offscreen = {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime.path()}};
  const Changes staleDisplay = {{"DISPLAY", stale}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  const std::string headless = "; run a headless trace with: marrowfield-cli trace APP\n";
  const struct { QStringList arguments; Changes environment; int status; std::string stderrText; } cases[] = {
      {{}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, 1,
       "marrowfield: no display found (DISPLAY/WAYLAND_DISPLAY unset)" + headless},
      {{}, staleDisplay, 1, "marrowfield: cannot connect to the display DISPLAY=" + stale.toStdString() +
                                " (no display server answers there, or it refused this user)" + headless},
      {{"--trace"}, offscreen, 2, "marrowfield: unknown option --trace (see marrowfield --help)\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stderrText);
    const auto process = start(c.arguments, c.environment);
    ASSERT_TRUE(process->waitForFinished(20000));
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit) << "no abort from the toolkit";
    EXPECT_EQ(process->exitCode(), c.status);
    EXPECT_EQ(process->readAllStandardError().toStdString(), c.stderrText);
    EXPECT_TRUE(process->readAllStandardOutput().isEmpty());
  }
}

// The options as the two readings of the command line take them: before Qt
// (answered without a display) and after Qt took its own out.
TEST(AppEntry, OptionsAreReadAsTheCommandLineMeansThem) {
  using Answer = mf::app::EarlyOptions::Answer;
  const auto early = [](std::vector<std::string> arguments) { return mf::app::parseEarlyOptions(arguments); };
  EXPECT_EQ(early({"--version", "--help"}).answer, Answer::version) << "the first one asked";
  EXPECT_EQ(early({"-platform", "--help"}).answer, Answer::help);
  EXPECT_EQ(early({"--bogus"}).answer, Answer::none) << "an unknown option is the later reading's to refuse";
  EXPECT_EQ(early({"-platform", "xcb", "app"}).platform, "xcb");
  EXPECT_TRUE(early({"-platform"}).platformChosen);
  EXPECT_FALSE(early({"app.desktop"}).platformChosen);

  const auto later = [](std::vector<std::string> arguments) { return mf::app::parseCommandLine(arguments); };
  EXPECT_EQ(later({"/bin/true", "/bin/false"}).usageError, "one application at a time, not 2 (see marrowfield --help)");
  EXPECT_EQ(later({"--", "-named-so"}).application, "-named-so");
  EXPECT_EQ(later({"-"}).application, "-") << "a lone dash is a name";
  EXPECT_EQ(later({}).application, std::nullopt);
}

// The first window takes its preferred size where the screen has room for it and its frame, the room the frame
// leaves otherwise, never less than its minimum.
TEST(AppEntry, TheFirstWindowFitsTheScreenWithItsFrame) {
  for (const auto& [screen, size] : {std::pair{QSize(1600, 1000), QSize(1440, 900)}, {QSize(1300, 800), QSize(1292, 763)}, {QSize(800, 600), QSize(1000, 680)}})
    EXPECT_EQ(mf::app::initialContentSize(QRect(QPoint(0, 0), screen), QMargins(3, 30, 5, 7)), size) << screen.width();
}

// The reasons themselves are the desktop-entry checks' (the CLI's table
// shows them); here, that the window names one and opens all the same.
TEST(AppEntry, AnApplicationThatCannotBeTracedIsNamedWithTheReasonAndTheWindowStaysOpen) {
  QTemporaryDir dir;
  const QByteArray expected = ("marrowfield: " + dir.filePath("missing.desktop") + ": No such file or directory\n").toUtf8();
  const auto process = start({dir.filePath("missing.desktop")}, {{"QT_QPA_PLATFORM", "offscreen"}});
  QByteArray error;
  EXPECT_TRUE(QTest::qWaitFor([&] {
    process->waitForReadyRead(200);
    return (error += process->readAllStandardError()).contains(expected);
  }, 20000)) << error.toStdString();
  EXPECT_EQ(process->state(), QProcess::Running) << "the window opens all the same";
  process->kill();
  process->waitForFinished(20000);
}

TEST(AppEntry, AnApplicationGivenIsChosenAsThroughTheChooser) {
  mf::uitest::application();
  const std::string entry = MARROWFIELD_DEMO_ENTRY;
  mf::app::WindowScene scene(mf::app::applicationArgument(entry).path);
  EXPECT_EQ(scene.content().selectedAppURL(), entry);
  EXPECT_EQ(scene.content().selectedAppName(), "marrowfield-demo");
  // A relative name is made absolute against the working folder, as a shell user meant it.
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QFileInfo(QString::fromStdString(entry)).absolutePath()));
  const mf::app::ApplicationArgument relative = mf::app::applicationArgument("marrowfield-demo.desktop");
  QDir::setCurrent(previous);
  EXPECT_EQ(relative.problem, "");
  EXPECT_EQ(relative.path, entry);
}

}  // namespace
