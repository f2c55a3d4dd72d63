// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "help_text.h"
#include "startup.h"
#include "window_scene.h"
#include "ui/main_window.h"

namespace {

std::vector<std::string> argumentsOf(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

// Qt 6.4's input method, set for Qt alone: the applications we launch
// inherit our environment and must see the user's own setting.
class InputMethodForQt {
 public:
  explicit InputMethodForQt(std::optional<std::string> override) : override_(std::move(override)) {
    if (const char* user = std::getenv("QT_IM_MODULE")) user_ = user;
    if (override_) setenv("QT_IM_MODULE", override_->c_str(), 1);
  }
  // Once Qt has read it.
  void restore() const {
    if (!override_) return;
    if (user_) {
      setenv("QT_IM_MODULE", user_->c_str(), 1);
    } else {
      unsetenv("QT_IM_MODULE");
    }
  }

 private:
  std::optional<std::string> override_;
  std::optional<std::string> user_;
};

}  // namespace

int main(int argc, char** argv) {
  const mf::app::EarlyOptions early = mf::app::parseEarlyOptions(argumentsOf(argc, argv));
  if (early.answer == mf::app::EarlyOptions::Answer::help) {
    std::fputs(mf::help::kMain, stdout);
    return 0;
  }
  if (early.answer == mf::app::EarlyOptions::Answer::version) {
    std::printf("marrowfield %s\n", mf::help::kVersion);
    return 0;
  }
  // A platform chosen with -platform (or QT_QPA_PLATFORM) is left to Qt.
  if (const auto problem = early.platformChosen ? std::nullopt : mf::app::displayProblem()) {
    std::fprintf(stderr, "marrowfield: %s\n", problem->c_str());
    return 1;
  }
  const InputMethodForQt inputMethod(mf::app::inputMethodOverride(early.platform));
  QApplication app(argc, argv);
  inputMethod.restore();
  QApplication::setApplicationName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationDisplayName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationVersion(QString::fromLatin1(mf::help::kVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral(MARROWFIELD_APP_ID));

  // Qt has taken its own options out of argc/argv; what is left is ours.
  const mf::app::CommandLine line = mf::app::parseCommandLine(argumentsOf(argc, argv));
  if (!line.usageError.empty()) {
    std::fprintf(stderr, "marrowfield: %s\n", line.usageError.c_str());
    return 2;
  }
  std::optional<std::string> application;
  std::string problem;
  if (line.application) {
    const mf::app::ApplicationArgument chosen = mf::app::applicationArgument(*line.application);
    if (chosen.problem.empty()) {
      application = chosen.path;
    } else {
      problem = chosen.problem;
      std::fprintf(stderr, "marrowfield: %s\n", problem.c_str());
    }
  }

  // Found once installed (hicolor theme); a build-tree run keeps Qt's default.
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(MARROWFIELD_APP_ID)));
  mf::ui::applyDarkAppearance();

  mf::app::WindowScene scene(application);
  scene.show();
  if (!problem.empty()) {
    // Opened from a file manager nobody sees stderr: the window says it too,
    // and stays open for choosing another application.
    QTimer::singleShot(0, &scene.window(), [&scene, problem] {
      QMessageBox::warning(&scene.window(), QStringLiteral("Marrowfield"),
                           QString::fromStdString(problem) +
                               QStringLiteral(". Choose a desktop entry or an executable file."));
    });
  }
  return QApplication::exec();
}
