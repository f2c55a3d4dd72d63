// SPDX-License-Identifier: GPL-3.0-or-later
// The smallest Qt program that needs a platform plugin.
#include <QGuiApplication>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  return 0;
}
