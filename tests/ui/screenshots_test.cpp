// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the window in its main states. Each is checked where the
// design tokens make its colour definite: the centre of solid areas (the
// backdrop and the surfaces over it, the accent button, the search field, the
// selected row's highlight, the list's focus ring) and the ink of the type
// labels. Fonts differ between machines, so no whole picture is compared with
// a stored one and text is never compared pixel for pixel. With
// MARROWFIELD_SCREENSHOTS=DIR the pictures are also kept there, for a person
// to look at.
// Also the layout facts that can be read off the widgets.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "ui/tokens.h"
#include "ui_harness.h"

namespace mf::uitest {
namespace {

// Per channel: room for rounding in the compositing and the gradient.
constexpr int kSolidTolerance = 3;
// The best-covered pixel of a glyph is not always covered in full.
constexpr int kInkTolerance = 24;

// Grabs the window, keeps the picture when asked to and returns it.
QImage shoot(Harness& h, const QString& name) {
  Harness::settle();
  const QImage image = h.window->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_FALSE(image.isNull());
  if (const QString dir = qEnvironmentVariable("MARROWFIELD_SCREENSHOTS"); !dir.isEmpty()) {
    QDir().mkpath(dir);
    EXPECT_TRUE(image.save(QDir(dir).filePath(name + QStringLiteral(".png"))));
  }
  return image;
}

// `top` painted over the opaque `bottom`.
QColor over(const QColor& top, const QColor& bottom) {
  const double a = top.alphaF();
  auto mix = [a](int t, int b) { return static_cast<int>(std::lround(t * a + b * (1 - a))); };
  return QColor(mix(top.red(), bottom.red()), mix(top.green(), bottom.green()), mix(top.blue(), bottom.blue()));
}

// The layers of `fills`, outermost first, over the window's backdrop at `p`.
QColor layered(const QColor& backdrop, std::initializer_list<QColor> fills) {
  QColor colour = backdrop;
  for (const QColor& fill : fills) colour = over(fill, colour);
  return colour;
}

// The window's backdrop at pixel `p`: the diagonal gradient of the tokens,
// from the top-left corner to the bottom-right one.
QColor backdropAt(const QSize& window, const QPoint& p) {
  const double w = window.width();
  const double h = window.height();
  const double t = std::clamp(((p.x() + 0.5) * w + (p.y() + 0.5) * h) / (w * w + h * h), 0.0, 1.0);
  const QColor from = t < 0.5 ? ui::colors::backdropTop() : ui::colors::backdropMiddle();
  const QColor to = t < 0.5 ? ui::colors::backdropMiddle() : ui::colors::backdropBottom();
  const double f = t < 0.5 ? t * 2 : (t - 0.5) * 2;
  auto mix = [f](double a, double b) { return static_cast<int>(std::lround((a + (b - a) * f) * 255)); };
  return QColor(mix(from.redF(), to.redF()), mix(from.greenF(), to.greenF()), mix(from.blueF(), to.blueF()));
}

int channelDistance(const QColor& a, const QColor& b) {
  return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

std::string describe(const QColor& c) {
  return QStringLiteral("rgb(%1, %2, %3)").arg(c.red()).arg(c.green()).arg(c.blue()).toStdString();
}

// A point of `surface` that none of its child widgets covers, with 4 px
// to spare all round: there the surface's own fill is all that shows.
std::optional<QPoint> uncoveredPoint(const QWidget& surface) {
  std::vector<QRect> covered;
  for (const QWidget* child : surface.findChildren<QWidget*>()) {
    if (child->isVisibleTo(&surface)) covered.emplace_back(child->mapTo(&surface, QPoint(0, 0)), child->size());
  }
  const QRect inner = surface.rect().adjusted(6, 6, -6, -6);
  for (int y = inner.top(); y <= inner.bottom(); y += 2) {
    for (int x = inner.left(); x <= inner.right(); x += 2) {
      const QRect square(x - 4, y - 4, 9, 9);
      if (std::none_of(covered.begin(), covered.end(), [&](const QRect& r) { return r.intersects(square); })) {
        return QPoint(x, y);
      }
    }
  }
  return std::nullopt;
}

// The pixel at `p` (in `widget`'s coordinates) has the colour `expected`
// gives over the backdrop there.
void expectSolid(const QImage& image, const Harness& h, const QWidget& widget, QPoint p,
                 const std::function<QColor(const QColor&)>& expected, const char* what) {
  const QPoint at = widget.mapTo(h.window.get(), p);
  ASSERT_TRUE(image.rect().contains(at)) << what;
  const QColor want = expected(backdropAt(image.size(), at));
  const QColor got = image.pixelColor(at);
  EXPECT_LE(channelDistance(got, want), kSolidTolerance)
      << what << " at " << at.x() << "," << at.y() << ": " << describe(got) << ", expected " << describe(want);
}

// Each surface of the window shows its token fill (over the surfaces below it) wherever nothing else is drawn.
void expectSurfaces(const QImage& image, const Harness& h) {
  using namespace ui::colors;
  const struct {
    const char* name;
    std::initializer_list<QColor> fills;
  } surfaces[] = {
      {"topBar", {black(0.18)}},
      {"sidebar", {white(0.015)}},
      {"targetPanel", {white(0.015), black(0.18)}},
      {"eventToolbar", {black(0.1)}},
      {"columnHeader", {white(0.018)}},
      {"detailPane", {black(0.1)}},
  };
  for (const auto& surface : surfaces) {
    const auto* widget = h.window->findChild<QWidget*>(QString::fromLatin1(surface.name));
    ASSERT_NE(widget, nullptr) << surface.name;
    const auto point = uncoveredPoint(*widget);
    ASSERT_TRUE(point) << surface.name << " has no uncovered area";
    expectSolid(image, h, *widget, *point, [&](const QColor& b) { return layered(b, surface.fills); }, surface.name);
  }
}

// Some pixel of `cell` (in `widget`'s coordinates) is drawn in `ink`.
void expectInk(const QImage& image, const Harness& h, const QWidget& widget, const QRect& cell, const QColor& ink,
               const std::string& what) {
  int best = 256;
  QColor closest;
  for (int y = cell.top(); y <= cell.bottom(); ++y) {
    for (int x = cell.left(); x <= cell.right(); ++x) {
      const QColor got = image.pixelColor(widget.mapTo(h.window.get(), QPoint(x, y)));
      if (channelDistance(got, ink) < best) {
        best = channelDistance(got, ink);
        closest = got;
      }
    }
  }
  EXPECT_LE(best, kInkTolerance) << what << ": closest " << describe(closest) << ", expected " << describe(ink);
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
  const QImage empty = shoot(h, QStringLiteral("01-empty"));
  expectSurfaces(empty, h);
  {
    using namespace ui::colors;
    const auto& launch = *h.pane().launchButton();
    expectSolid(empty, h, launch, QPoint(ui::metrics::focusRingWidth + 3, launch.height() / 2),
                [](const QColor&) { return cyan(); }, "the launch button");
    const auto& search = *h.pane().searchField();
    expectSolid(empty, h, search, QPoint(search.width() - 6, search.height() / 2),
                [](const QColor& b) { return layered(b, {black(0.1), fieldFill()}); }, "the search field");
  }

  fillTrace(h);
  ASSERT_GT(h.content->eventCount(), 5u);
  auto& list = *h.pane().listView();
  const int errorRow = static_cast<int>(h.rowOf(
      "Error: could not initialise the renderer: VK_ERROR_INCOMPATIBLE_DRIVER (the installed Vulkan driver does not "
      "support the requested API version 1.3; falling back is disabled by configuration)"));
  ASSERT_GT(errorRow, 0);
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(errorRow).center());
  EXPECT_EQ(list.rowLines(errorRow), 2);
  EXPECT_EQ(list.rowLines(0), 1);
  const QImage live = shoot(h, QStringLiteral("02-live-trace"));
  expectSurfaces(live, h);
  {
    using namespace ui::colors;
    // The rows' padding: the highlight on the selected row, the backdrop on the one above it.
    const QWidget& rows = *list.viewport();
    const int x = ui::metrics::rowPaddingH / 2;
    expectSolid(live, h, rows, QPoint(x, list.rowRect(errorRow).top() + 3),
                [](const QColor& b) { return over(cyan(0.1), b); }, "the selected row");
    expectSolid(live, h, rows, QPoint(x, list.rowRect(errorRow - 1).top() + 3),
                [](const QColor& b) { return b; }, "a row not selected");
    if (list.hasFocus()) {
      expectSolid(live, h, rows, QPoint(0, list.rowRect(0).center().y()),
                  [](const QColor& b) { return over(focusRing(), b); }, "the list's focus ring");
    }
    const auto& launch = *h.pane().launchButton();
    EXPECT_FALSE(launch.isEnabled());
    expectSolid(live, h, launch, QPoint(ui::metrics::focusRingWidth + 3, launch.height() / 2),
                [](const QColor& b) { return layered(b, {black(0.1), cyan(0.35)}); }, "the launch button, disabled");

    // Each type's label in its colour, on a row that is not highlighted.
    for (const EventType type : {EventType::error, EventType::warning, EventType::info}) {
      int row = 0;
      while (row < list.rowCount() &&
             (row == errorRow || h.content->events()[h.content->visibleRows()[row]].type != type)) {
        ++row;
      }
      ASSERT_LT(row, list.rowCount()) << "no row of type " << label(type);
      const QRect box = list.rowRect(row);
      const QRect cell(ui::metrics::rowPaddingH + ui::metrics::timeColumn, box.top() + ui::metrics::rowPaddingV,
                       ui::metrics::typeColumn - 4, box.height() - 2 * ui::metrics::rowPaddingV);
      expectInk(live, h, rows, cell, forType(type), "the " + std::string(label(type)) + " label");
    }
  }

  // A saved session: the surfaces stay what they are.
  h.stop();
  Harness::click(h.side().cards()[0]);
  ASSERT_TRUE(h.content->viewingSavedSession());
  expectSurfaces(shoot(h, QStringLiteral("03-saved-session")), h);
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
  expectSurfaces(shoot(h, QStringLiteral("05-minimum-size")), h);
}

}  // namespace
}  // namespace mf::uitest
