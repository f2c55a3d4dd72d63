// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The visual vocabulary of the window: palette, type scale and shapes. Every
// pane takes its colours and fonts from here so the look is decided in one place.

#include <QColor>
#include <QFont>
#include <QPainterPath>
#include <QRectF>
#include <QString>

#include "model/event.h"

class QPalette;

namespace mf::ui {

namespace colors {
// Standard named colours, in shades chosen to read well on the near-black backdrop.
QColor cyan(double opacity = 1.0);
QColor blue(double opacity = 1.0);
QColor green(double opacity = 1.0);
QColor red(double opacity = 1.0);
QColor orange(double opacity = 1.0);
QColor white(double opacity = 1.0);
QColor black(double opacity = 1.0);
QColor primary(double opacity = 1.0);
QColor secondary(double opacity = 1.0);

// The colour of an event's type label: INFO cyan, WARN orange, ERROR red, OK green.
QColor forType(EventType type);

// Backdrop gradient stops, top-leading to bottom-trailing.
QColor backdropTop();
QColor backdropMiddle();
QColor backdropBottom();

QColor divider();

// Control surfaces of the dark appearance (buttons, the search field,
// scroll bars, tooltips) and the accent's companions.
QColor controlFill();
QColor controlFillHover();
QColor controlFillPressed();
QColor controlFillDisabled();
QColor controlBorder();
QColor controlBorderDisabled();
QColor controlText();
QColor controlTextDisabled();
QColor fieldFill();
QColor fieldBorder();
QColor scrollHandle();
QColor scrollHandleHover();
QColor tooltipFill();
// Text and glyphs drawn on the accent (the prominent button).
QColor onAccent(double opacity = 1.0);
QColor accentHover();
QColor accentPressed();
// The keyboard focus ring, drawn around whatever has focus.
QColor focusRing();
}  // namespace colors

namespace fonts {
enum class Design { standard, monospaced };
enum class Weight { regular, medium, semibold, bold };
// A font of `pixels` size (sizes are points drawn 1:1 as pixels).
QFont make(double pixels, Weight weight = Weight::regular, Design design = Design::standard);
QFont mono(double pixels, Weight weight = Weight::regular);
}  // namespace fonts

namespace metrics {
inline constexpr int topBarHeight = 56;
inline constexpr int sidebarWidth = 270;
inline constexpr int detailWidth = 330;
// The side columns give way to the messages on a small screen: below this
// width the sidebar starts narrower and the detail pane folded (it opens at
// its narrow width), and the user can drag them down to the minimum or
// collapse them.
inline constexpr int roomyWindowWidth = 1280;
inline constexpr int narrowSidebarWidth = 190;
inline constexpr int narrowDetailWidth = 250;
inline constexpr int sidebarMinimumWidth = 180;
inline constexpr int detailMinimumWidth = 220;
inline constexpr int searchFieldWidth = 240;
inline constexpr int columnHeaderHeight = 34;
inline constexpr int timeColumn = 82;
inline constexpr int typeColumn = 75;
inline constexpr int sourceColumn = 100;
inline constexpr int rowPaddingH = 14;
inline constexpr int rowPaddingV = 9;
inline constexpr int cardRadius = 12;
inline constexpr int badgeRadius = 8;
// The toolkit's standard spacing between adjacent controls in the column header.
inline constexpr int headerSpacing = 8;
inline constexpr double eventRowFontSize = 11.5;
// Controls drawn by the stylesheets.
inline constexpr int controlRadius = 6;
inline constexpr int controlPaddingV = 4;
inline constexpr int controlPaddingH = 10;
inline constexpr int prominentPaddingV = 5;
inline constexpr int prominentPaddingH = 12;
inline constexpr int fieldPaddingV = 4;
inline constexpr int fieldPaddingH = 8;
inline constexpr int tooltipPadding = 3;
inline constexpr int scrollHandleMargin = 2;
inline constexpr int fieldRadius = 7;
inline constexpr int focusRingWidth = 2;
inline constexpr int scrollBarWidth = 10;
inline constexpr int scrollHandleRadius = 3;
inline constexpr int scrollHandleMinLength = 28;
// The first window leaves no less than this to the content.
inline constexpr int minimumWindowWidth = 1000;
inline constexpr int minimumWindowHeight = 680;
}  // namespace metrics

namespace styles {
// "rgba(r, g, b, a)" for a stylesheet.
QString css(const QColor& color);
// The stylesheet of the whole window: push buttons, the search field,
// read-only detail values, scroll bars and tooltips.
QString window();
// A prominent button ("Launch & Trace", the list's "new events"), filled
// with the accent; for the push button of that object name.
QString prominentButton(const QString& objectName = QStringLiteral("launchButton"));
// The dividers between the window's columns, which the user drags.
QString splitter();
}  // namespace styles

// A rounded rectangle whose corners ease into the straight edges (a
// superellipse-like curve) instead of meeting them as a circular arc.
QPainterPath continuousRoundedRect(const QRectF& rect, double radius);

// The dark palette the whole window uses, whatever the desktop theme says.
QPalette darkPalette();

}  // namespace mf::ui
