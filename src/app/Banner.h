// The pictures of the main window, drawn at start rather than shipped: the banner under the
// burn button and the button's two-state glyph.
#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>

QImage DrawBanner(QSize size);
// Normal and disabled states of the burn button's glyph.
QIcon BurnGlyph();
