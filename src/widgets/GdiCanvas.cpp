#include "widgets/GdiCanvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include <QFontMetrics>
#include <QPainter>

TRect NormalizedRect(TRect r)
{
    if (r.Right < r.Left)
        std::swap(r.Left, r.Right);
    if (r.Bottom < r.Top)
        std::swap(r.Top, r.Bottom);
    return r;
}

QImage MakeFrameImage(int width, int height, TColor rgb)
{
    QImage img(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
    img.fill(ToQRgb(rgb));
    return img;
}

void FillRect(QImage& img, TRect r, TColor rgb)
{
    r = NormalizedRect(r);
    const int l = std::max(r.Left, 0), t = std::max(r.Top, 0);
    const int rr = std::min(r.Right, img.width()), b = std::min(r.Bottom, img.height());
    const QRgb px = ToQRgb(rgb);
    for (int y = t; y < b; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        std::fill(line + l, line + std::max(l, rr), px);
    }
}

void FrameRect(QImage& img, TRect r, TColor pen)
{
    r = NormalizedRect(r);
    if (r.Right <= r.Left || r.Bottom <= r.Top)
        return;
    FillRect(img, {r.Left, r.Top, r.Right, r.Top + 1}, pen);
    FillRect(img, {r.Left, r.Bottom - 1, r.Right, r.Bottom}, pen);
    FillRect(img, {r.Left, r.Top, r.Left + 1, r.Bottom}, pen);
    FillRect(img, {r.Right - 1, r.Top, r.Right, r.Bottom}, pen);
}

void RectangleGdi(QImage& img, TRect r, TColor pen, TColor brush)
{
    r = NormalizedRect(r);
    FillRect(img, {r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1}, brush);
    FrameRect(img, r, pen);
}

void LineGdi(QImage& img, int x0, int y0, int x1, int y1, TColor pen)
{
    const QRgb px = ToQRgb(pen);
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    int x = x0, y = y0;
    while (x != x1 || y != y1) {
        if (img.valid(x, y))
            reinterpret_cast<QRgb*>(img.scanLine(y))[x] = px;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

void Frame3D(QImage& img, TRect r, TColor topLeft, TColor bottomRight, int width)
{
    r = NormalizedRect(r);
    for (int i = 0; i < width && r.Right - r.Left > 0 && r.Bottom - r.Top > 0; ++i) {
        FillRect(img, {r.Left, r.Top, r.Right - 1, r.Top + 1}, topLeft);
        FillRect(img, {r.Left, r.Top, r.Left + 1, r.Bottom - 1}, topLeft);
        FillRect(img, {r.Left, r.Bottom - 1, r.Right, r.Bottom}, bottomRight);
        FillRect(img, {r.Right - 1, r.Top, r.Right, r.Bottom}, bottomRight);
        r = {r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1};
    }
}

void XorCombine(QImage& dst, const QImage& src)
{
    // Done by hand: a raster-op exclusive-or through QPainter would also flip the alpha byte
    // of the opaque pixels.
    const int h = std::min(dst.height(), src.height()), w = std::min(dst.width(), src.width());
    for (int y = 0; y < h; ++y) {
        auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y));
        const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        for (int x = 0; x < w; ++x)
            d[x] ^= s[x] & 0x00FFFFFFu;
    }
}

namespace {

void PreparePainter(QPainter& p, TColor pen, TColor brush)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(QColor::fromRgb(ToQRgb(pen)), 1));
    p.setBrush(QColor::fromRgb(ToQRgb(brush)));
}

// The outline of a one-pixel pen covers its rectangle's right edge as well; one pixel less
// keeps the figure inside left..right-1.
QRectF ShapeBounds(TRect r)
{
    return QRectF(r.Left, r.Top, r.Right - r.Left - 1, r.Bottom - r.Top - 1);
}

double DirectionOf(double cx, double cy, int x, int y)
{
    return std::atan2(cy - y, x - cx) * 180.0 / std::numbers::pi;
}

}  // namespace

void EllipseGdi(QImage& img, TRect bounds, TColor pen, TColor brush)
{
    bounds = NormalizedRect(bounds);
    if (bounds.Right - bounds.Left < 2 || bounds.Bottom - bounds.Top < 2)
        return;
    QPainter p(&img);
    PreparePainter(p, pen, brush);
    p.drawEllipse(ShapeBounds(bounds));
}

TPieAngles PieAnglesOf(TRect bounds, int x1, int y1, int x2, int y2)
{
    bounds = NormalizedRect(bounds);
    const double cx = (bounds.Left + bounds.Right) / 2.0;
    const double cy = (bounds.Top + bounds.Bottom) / 2.0;
    const double a1 = DirectionOf(cx, cy, x1, y1);
    double span = DirectionOf(cx, cy, x2, y2) - a1;
    while (span <= 1e-9)
        span += 360.0;
    while (span > 360.0)
        span -= 360.0;
    return {a1, span};
}

void PieGdi(QImage& img, TRect bounds, int x1, int y1, int x2, int y2, TColor pen, TColor brush)
{
    bounds = NormalizedRect(bounds);
    if (bounds.Right - bounds.Left < 2 || bounds.Bottom - bounds.Top < 2)
        return;
    const TPieAngles a = PieAnglesOf(bounds, x1, y1, x2, y2);
    QPainter p(&img);
    PreparePainter(p, pen, brush);
    p.drawPie(ShapeBounds(bounds), static_cast<int>(std::lround(a.Start * 16)),
              static_cast<int>(std::lround(a.Span * 16)));
}

QFont AliasedFont(QFont f)
{
    f.setStyleStrategy(QFont::NoAntialias);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

void TextOutGdi(QImage& img, int x, int y, const QString& text, const QFont& font, TColor rgb,
                TRect clip, int escapement)
{
    clip = NormalizedRect(clip);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setRenderHint(QPainter::TextAntialiasing, false);
    p.setClipRect(QRect(clip.Left, clip.Top, clip.Right - clip.Left, clip.Bottom - clip.Top));
    const QFont f = AliasedFont(font);
    p.setFont(f);
    p.setPen(QColor::fromRgb(ToQRgb(rgb)));
    p.translate(x, y);
    if (escapement != 0)
        p.rotate(-escapement / 10.0);
    p.drawText(0, QFontMetrics(f).ascent(), text);
}
