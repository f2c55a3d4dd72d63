// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Named glyphs. The names are the identifiers the views use ("doc.on.doc",
// "trash", ...); each maps to a freedesktop theme icon when the theme has it
// and to a bundled SVG otherwise, so every glyph is visible on any desktop.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace mf::ui {

// The freedesktop icon name that stands in for `name`, or empty.
QString themeIconName(const QString& name);

// The glyph drawn at `pixels` (logical) in a single colour.
QPixmap glyphPixmap(const QString& name, int pixels, const QColor& color, qreal devicePixelRatio = 1.0);

// An icon for buttons: the glyph in `color`, and a dimmed one for the disabled state.
QIcon glyphIcon(const QString& name, const QColor& color, int pixels = 16);

}  // namespace mf::ui
