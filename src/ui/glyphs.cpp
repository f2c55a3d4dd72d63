// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/glyphs.h"

#include <QHash>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

static void initGlyphResources() { Q_INIT_RESOURCE(glyphs); }

namespace mf::ui {

namespace {

struct Mapping {
  const char* glyph;
  const char* themeName;
};

// Symbolic icons are single-colour shapes, which is what a tinted glyph needs.
// Only icons that show the same picture are mapped: the freedesktop set has no
// octagon cross, ticked circle or shield, app badge, pointer click or
// waveform tile (its nearest icons mean something else), so those always
// use the bundled drawing.
constexpr Mapping kMappings[] = {
    {"waveform.path.ecg.rectangle", ""},
    {"clock.arrow.circlepath", "document-open-recent-symbolic"},
    {"doc.on.doc", "edit-copy-symbolic"},
    {"trash", "user-trash-symbolic"},
    {"xmark.octagon.fill", ""},
    {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
    {"checkmark.circle.fill", ""},
    {"app.badge", ""},
    {"play.fill", "media-playback-start-symbolic"},
    {"stop.fill", "media-playback-stop-symbolic"},
    {"arrow.uturn.backward.circle", "edit-undo-symbolic"},
    {"checkmark.shield", ""},
    {"text.alignleft", "format-justify-left-symbolic"},
    {"cursorarrow.click.2", ""},
    {"text.badge.xmark", ""},
    {"slider.horizontal.3", ""},
    {"sidebar.leading", ""},
    {"sidebar.trailing", ""},
    {"arrow.down.to.line", "go-bottom-symbolic"},
};

void ensureResources() {
  static const bool done = [] {
    initGlyphResources();
    return true;
  }();
  (void)done;
}

QString bundledPath(const QString& name) { return QStringLiteral(":/glyphs/%1.svg").arg(name); }

// The untinted glyph: theme icon if present, else the bundled SVG.
QImage renderShape(const QString& name, int devicePixels) {
  ensureResources();
  QImage image(devicePixels, devicePixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  const QString theme = themeIconName(name);
  if (!theme.isEmpty() && QIcon::hasThemeIcon(theme)) {
    const QIcon icon = QIcon::fromTheme(theme);
    QPainter painter(&image);
    icon.paint(&painter, QRect(0, 0, devicePixels, devicePixels));
    return image;
  }
  QSvgRenderer renderer(bundledPath(name));
  if (renderer.isValid()) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, devicePixels, devicePixels));
  }
  return image;
}

}  // namespace

QString themeIconName(const QString& name) {
  for (const auto& m : kMappings) {
    if (name == QLatin1String(m.glyph)) return QString::fromLatin1(m.themeName);
  }
  return {};
}

QPixmap glyphPixmap(const QString& name, int pixels, const QColor& color, qreal devicePixelRatio) {
  const int devicePixels = qMax(1, qRound(pixels * devicePixelRatio));
  const QString key = QStringLiteral("mf-glyph:%1:%2:%3").arg(name).arg(devicePixels).arg(color.rgba(), 0, 16);
  QPixmap cached;
  if (QPixmapCache::find(key, &cached)) return cached;

  QImage image = renderShape(name, devicePixels);
  {
    // Keep the shape's alpha, take the colour: one tint for theme and bundled glyphs alike.
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
  }
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  QPixmapCache::insert(key, pixmap);
  return pixmap;
}

QIcon glyphIcon(const QString& name, const QColor& color, int pixels) {
  QIcon icon;
  for (qreal dpr : {1.0, 2.0}) {
    icon.addPixmap(glyphPixmap(name, pixels, color, dpr), QIcon::Normal);
    QColor dim = color;
    dim.setAlphaF(color.alphaF() * 0.35f);
    icon.addPixmap(glyphPixmap(name, pixels, dim, dpr), QIcon::Disabled);
  }
  return icon;
}

}  // namespace mf::ui
