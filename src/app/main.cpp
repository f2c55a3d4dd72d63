// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "help_text.h"
#include "startup.h"
#include "window_scene.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work without a display. Other
  // options are Qt's own (-platform, -style, ...), which Qt takes out of
  // the arguments it leaves us.
  bool platformChosen = false;
  std::string platform;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0) {
      platformChosen = true;
      if (i + 1 < argc) platform = argv[i + 1];
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(mf::help::kMain, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("marrowfield %s\n", mf::help::kVersion);
      return 0;
    }
  }
  // A platform chosen with -platform (or QT_QPA_PLATFORM) is left to Qt.
  if (const auto problem = platformChosen ? std::nullopt : mf::app::displayProblem()) {
    std::fprintf(stderr, "marrowfield: %s\n", problem->c_str());
    return 1;
  }
  // Given to Qt alone: the applications we launch inherit our environment
  // and must see the user's own input method setting.
  const std::optional<std::string> inputMethod = mf::app::inputMethodOverride(platform);
  const std::optional<std::string> userInputMethod =
      std::getenv("QT_IM_MODULE") != nullptr ? std::optional<std::string>(std::getenv("QT_IM_MODULE")) : std::nullopt;
  if (inputMethod) setenv("QT_IM_MODULE", inputMethod->c_str(), 1);
  QApplication app(argc, argv);
  if (inputMethod) {
    if (userInputMethod) {
      setenv("QT_IM_MODULE", userInputMethod->c_str(), 1);
    } else {
      unsetenv("QT_IM_MODULE");
    }
  }
  QApplication::setApplicationName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationDisplayName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationVersion(QString::fromLatin1(mf::help::kVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral(MARROWFIELD_APP_ID));

  // Qt has taken its own options out of argc/argv; what is left is ours, as
  // the bytes the file was named with.
  // "--" ends the options, for a file whose name starts with "-".
  std::vector<std::string> arguments;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (options && argument == "--") {
      options = false;
    } else if (options && argument.size() > 1 && argument.front() == '-') {
      std::fprintf(stderr, "marrowfield: unknown option %s (see marrowfield --help)\n", argument.c_str());
      return 2;
    } else {
      arguments.push_back(argument);
    }
  }
  if (arguments.size() > 1) {
    std::fprintf(stderr, "marrowfield: one application at a time, not %zu (see marrowfield --help)\n",
                 arguments.size());
    return 2;
  }
  std::optional<std::string> application;
  std::string problem;
  if (!arguments.empty()) {
    const mf::app::ApplicationArgument chosen = mf::app::applicationArgument(arguments.front());
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
  const int status = QApplication::exec();
  return status == 0 ? 0 : status;
}
