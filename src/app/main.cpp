#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "help_text.h"
#include "window_scene.h"
#include "ui/main_window.h"

namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work without a display. Other
  // arguments are Qt's own (-platform, -style, ...).
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(mf::help::kMain, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("marrowfield %s\n", mf::help::kVersion);
      return 0;
    }
  }
  // Without a display Qt aborts with a plugin error that does not say what to do.
  if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM")) {
    std::fputs(
        "marrowfield: no display found (DISPLAY/WAYLAND_DISPLAY unset); run a headless trace with: "
        "marrowfield-cli trace APP\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationDisplayName(QStringLiteral("Marrowfield"));
  QApplication::setApplicationVersion(QString::fromLatin1(mf::help::kVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral(MARROWFIELD_APP_ID));
  // Found once installed (hicolor theme); a build-tree run keeps Qt's default.
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(MARROWFIELD_APP_ID)));
  mf::ui::applyDarkAppearance();

  mf::app::WindowScene scene;
  scene.window().show();
  const int status = QApplication::exec();
  return status == 0 ? 0 : status;
}
