#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "window_scene.h"
#include "ui/main_window.h"

namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int main(int argc, char** argv) {
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
  mf::ui::applyDarkAppearance();

  mf::app::WindowScene scene;
  scene.window().show();
  const int status = QApplication::exec();
  return status == 0 ? 0 : status;
}
