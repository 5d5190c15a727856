#include "Tavrel_Agent/StatusIcon.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace {
QPainterPath stroked(const QPainterPath& line, qreal width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(line);
}

// The glyph's area inside the disc, in the disc's own coordinates (0..d on both axes).
QPainterPath glyph(const QString& state, qreal d) {
    const qreal line = std::max(1.5, d * 0.15); // stroke of the tick and the exclamation mark
    QPainterPath path;
    if (state == QLatin1String(ServiceState::Running)) {
        QPainterPath tick;
        tick.moveTo(d * 0.28, d * 0.52);
        tick.lineTo(d * 0.44, d * 0.68);
        tick.lineTo(d * 0.72, d * 0.34);
        path = stroked(tick, line);
    } else if (state == QLatin1String(ServiceState::Stopped)) {
        const qreal side = d * 0.38;
        path.addRect(QRectF((d - side) / 2, (d - side) / 2, side, side));
    } else if (state == QLatin1String(ServiceState::NotInstalled)) {
        QPainterPath bar;
        bar.moveTo(d / 2, d * 0.24);
        bar.lineTo(d / 2, d * 0.54);
        path = stroked(bar, line);
        const qreal dot = line * 0.6;
        path.addEllipse(QPointF(d / 2, d * 0.75), dot, dot);
    } else {
        const qreal dot = std::max(0.9, d * 0.075);
        for (const qreal x : {0.25, 0.5, 0.75})
            path.addEllipse(QPointF(d * x, d / 2), dot, dot);
    }
    return path.simplified();
}
} // namespace

QImage StatusIcon::image(const QString& state, int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // A whole-pixel margin keeps the disc's edge the same at every size.
    const int margin = std::max(1, int(std::lround(pixels / 16.0)));
    const qreal d = pixels - 2 * margin;
    painter.translate(margin, margin);
    painter.setBrush(Style::stateColor(state));
    painter.drawEllipse(QRectF(0, 0, d, d));

    // A transparent keyline round the glyph: the shape shows in the alpha channel too, for panels
    // that draw icons as a single-colour mask and for anyone who cannot tell the colours apart.
    const QPainterPath shape = glyph(state, d);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawPath(shape.united(stroked(shape, std::max(1.2, d * 0.11))));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(Qt::white);
    painter.drawPath(shape);
    painter.end();
    return image;
}

QList<QImage> StatusIcon::images(const QString& state) {
    QList<int> pixels;
    for (const int size : sizes)
        pixels << size << 2 * size;
    std::sort(pixels.begin(), pixels.end());
    pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
    QList<QImage> drawn;
    for (const int size : pixels)
        drawn.append(image(state, size));
    return drawn;
}

QIcon StatusIcon::icon(const QString& state) {
    QIcon icon;
    for (const int size : sizes) {
        for (const int scale : {1, 2}) {
            QImage drawn = image(state, size * scale);
            drawn.setDevicePixelRatio(scale);
            icon.addPixmap(QPixmap::fromImage(drawn));
        }
    }
    // Coloured on purpose: a theme must not recolour it as it would a symbolic (mask) icon.
    icon.setIsMask(false);
    return icon;
}
