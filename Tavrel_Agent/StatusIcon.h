#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

// The status disc: the state's colour with a white glyph inside (a tick for "Running", a square
// for "Stopped", an exclamation mark for "Not Installed", three dots for anything else), so that
// the state shows by shape as well as by colour.
namespace StatusIcon {
// The pixel sizes panels ask for; the icon carries each at 1x and 2x.
inline constexpr int sizes[] = {16, 22, 24, 32, 48};

// The disc drawn for a square of pixels × pixels device pixels.
QImage image(const QString& state, int pixels);
// One image for each pixel size that the icon's sizes at 1x and 2x make, smallest first: what a
// StatusNotifierItem host chooses from.
QList<QImage> images(const QString& state);
// Every size at 1x and 2x, each drawn for its own pixel grid rather than scaled.
QIcon icon(const QString& state);
} // namespace StatusIcon
