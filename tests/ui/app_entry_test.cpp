// The program's entry, run as a real process.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace {

TEST(AppEntry, WithoutADisplayItSaysWhatToDoAndExitsWithStatusOne) {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QString::fromLatin1(name));
  process.setProcessEnvironment(environment);
  process.start(QStringLiteral(MARROWFIELD_APP_PATH), {});
  ASSERT_TRUE(process.waitForFinished(20000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "no abort from the toolkit";
  EXPECT_EQ(process.exitCode(), 1);
  EXPECT_EQ(process.readAllStandardError().toStdString(),
            "marrowfield: no display found (DISPLAY/WAYLAND_DISPLAY unset); run a headless trace with: "
            "marrowfield-cli trace APP\n");
  EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
}

}  // namespace
