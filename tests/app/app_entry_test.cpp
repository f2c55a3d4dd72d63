// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry: the command line and the display, run as a real
// process; an application given on it, chosen in a real window scene.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "ui_harness.h"
#include "window_scene.h"

namespace {

struct EntryCase {
  const char* name;
  QStringList arguments;
  QList<QPair<QString, QString>> environment;  // an empty value removes the variable
  int status;
  std::string stderrText;  // the whole of it, or its start when it ends in "..."
};

TEST(AppEntry, CommandLinesThatEndBeforeTheWindowSayWhyWithTheirStatus) {
  // A display number nothing listens on: no socket of that number exists.
  int unused = 4000;
  while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(unused))) ++unused;
  const QString stale = QStringLiteral(":%1").arg(unused);
  const QList<QPair<QString, QString>> noDisplay = {
      {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
  // A runtime folder of its own, so Qt has nothing to say about it.
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  const QList<QPair<QString, QString>> offscreen = {{"QT_QPA_PLATFORM", "offscreen"},
                                                    {"XDG_RUNTIME_DIR", runtime.path()}};
  const std::vector<EntryCase> cases = {
      {"no display", {}, noDisplay, 1,
       "marrowfield: no display found (DISPLAY/WAYLAND_DISPLAY unset); run a headless trace with: "
       "marrowfield-cli trace APP\n"},
      {"stale display", {}, {{"DISPLAY", stale}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, 1,
       "marrowfield: cannot connect to the display DISPLAY=" + stale.toStdString() +
           " (no display server answers there, or it refused this user); run a headless trace with: "
           "marrowfield-cli trace APP\n"},
      {"stale display, an application given", {QStringLiteral("/bin/true")},
       {{"DISPLAY", stale}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, 1,
       "marrowfield: cannot connect to the display..."},
      {"unknown option", {QStringLiteral("--trace")}, offscreen, 2,
       "marrowfield: unknown option --trace (see marrowfield --help)\n"},
      {"two applications", {QStringLiteral("/bin/true"), QStringLiteral("/bin/false")}, offscreen, 2,
       "marrowfield: one application at a time, not 2 (see marrowfield --help)\n"},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : c.environment) {
      if (value.isEmpty()) environment.remove(name);
      else environment.insert(name, value);
    }
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(MARROWFIELD_APP_PATH), c.arguments);
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "no abort from the toolkit";
    EXPECT_EQ(process.exitCode(), c.status);
    const std::string error = process.readAllStandardError().toStdString();
    if (c.stderrText.ends_with("...")) {
      EXPECT_TRUE(error.starts_with(c.stderrText.substr(0, c.stderrText.size() - 3))) << error;
      EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    } else {
      EXPECT_EQ(error, c.stderrText);
    }
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
  }
}

TEST(AppEntry, AnApplicationThatCannotBeTracedIsNamedWithTheReasonAndTheWindowStaysOpen) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile link(dir.filePath(QStringLiteral("link.desktop")));
  ASSERT_TRUE(link.open(QIODevice::WriteOnly));
  link.write("[Desktop Entry]\nType=Link\nName=Docs\nURL=file:///usr/share/doc\n");
  link.close();
  const struct {
    QString argument;
    std::string expected;
  } cases[] = {
      {dir.filePath(QStringLiteral("missing.desktop")),
       "marrowfield: " + dir.filePath(QStringLiteral("missing.desktop")).toStdString() +
           ": No such file or directory\n"},
      {dir.path(), "marrowfield: " + dir.path().toStdString() + " is not an application: it is a folder, not an application\n"},
      {link.fileName(), "marrowfield: " + link.fileName().toStdString() + " is not an application: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument.toStdString());
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(MARROWFIELD_APP_PATH), {c.argument});
    ASSERT_TRUE(process.waitForStarted(20000));
    QByteArray error;
    QElapsedTimer deadline;
    deadline.start();
    const QByteArray expected = QByteArray::fromStdString(c.expected);
    while (!error.contains(expected) && process.state() == QProcess::Running && deadline.elapsed() < 20000) {
      process.waitForReadyRead(200);
      error += process.readAllStandardError();
    }
    EXPECT_TRUE(error.contains(expected)) << error.toStdString();
    EXPECT_EQ(process.state(), QProcess::Running) << "the window opens all the same";
    process.kill();
    process.waitForFinished(20000);
  }
}

TEST(AppEntry, AnApplicationGivenIsChosenAsThroughTheChooser) {
  mf::uitest::application();
  const QString entry = QStringLiteral(MARROWFIELD_DEMO_ENTRY);
  const mf::app::ApplicationArgument given = mf::app::applicationArgument(entry.toStdString());
  ASSERT_EQ(given.problem, "");
  mf::app::WindowScene scene(given.path);
  EXPECT_EQ(scene.content().selectedAppURL(), std::optional<std::string>(entry.toStdString()));
  EXPECT_EQ(scene.content().selectedAppName(), "marrowfield-demo");

  // A relative name is made absolute against the working folder, as a shell user meant it.
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QFileInfo(entry).absolutePath()));
  const mf::app::ApplicationArgument relative = mf::app::applicationArgument("marrowfield-demo.desktop");
  QDir::setCurrent(previous);
  EXPECT_EQ(relative.problem, "");
  EXPECT_EQ(relative.path, entry.toStdString());
}

}  // namespace
