// Drawing primitives with the semantics the painted controls were designed against: rectangles
// cover their left/top edge up to, not including, their right/bottom edge; lines leave out their
// end point; nothing is antialiased; pies run counterclockwise from a first radial point to a
// second one. They draw on 32-bit RGB images in already resolved colours (see Colors.h).
#pragma once

#include <QFont>
#include <QImage>
#include <QString>

#include "widgets/Colors.h"

struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    friend bool operator==(const TRect&, const TRect&) = default;
};

// Right/bottom below left/top are swapped, as the window system does for rectangle calls.
TRect NormalizedRect(TRect r);

// A frame image in the layout every control composes into.
QImage MakeFrameImage(int width, int height, TColor rgb);

void FillRect(QImage& img, TRect r, TColor rgb);
// One-pixel outline along the inside of r.
void FrameRect(QImage& img, TRect r, TColor pen);
// Outline in pen, inside filled with brush.
void RectangleGdi(QImage& img, TRect r, TColor pen, TColor brush);
// A one-pixel line from (x0, y0) towards (x1, y1), the end point itself left out.
void LineGdi(QImage& img, int x0, int y0, int x1, int y1, TColor pen);
// width nested one-pixel rectangles from the outside in: top and left edges in topLeft, bottom
// and right edges (including the top-right and bottom-left corners) in bottomRight.
void Frame3D(QImage& img, TRect r, TColor topLeft, TColor bottomRight, int width);
// dst := dst xor src on the colour bits; src must be the same size.
void XorCombine(QImage& dst, const QImage& src);

void EllipseGdi(QImage& img, TRect bounds, TColor pen, TColor brush);

// Start and span in degrees, counterclockwise from three o'clock, of a pie of the ellipse in
// bounds from the radial through (x1, y1) counterclockwise to the radial through (x2, y2). Equal
// directions give a span of 360 (the whole ellipse).
struct TPieAngles {
    double Start = 0;
    double Span = 0;
};
TPieAngles PieAnglesOf(TRect bounds, int x1, int y1, int x2, int y2);
void PieGdi(QImage& img, TRect bounds, int x1, int y1, int x2, int y2, TColor pen, TColor brush);

// The font as the controls draw it: glyph pixels are either the text colour or untouched.
QFont AliasedFont(QFont f);

// Writes text with its top-left corner at (x, y) on a transparent background, clipped to clip.
// escapement turns the text counterclockwise, in tenths of a degree, about that corner.
void TextOutGdi(QImage& img, int x, int y, const QString& text, const QFont& font, TColor rgb,
                TRect clip, int escapement = 0);
