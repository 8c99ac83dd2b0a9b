#include "widgets/Gauges.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include <QFontMetrics>
#include <QPainter>

namespace {

int RoundEven(double v)
{
    return static_cast<int>(std::nearbyint(v));
}

std::string RangeMessage(long long low, long long high)
{
    return "Value must be between " + std::to_string(low) + " and " + std::to_string(high);
}

}  // namespace

void TBltBitmap::MakeLike(const QImage& tmpl, const QPalette& palette)
{
    Image_ = MakeFrameImage(tmpl.width(), tmpl.height(), ColorToRGB(clWindowFrame, palette));
}

int PercentOf(long long part, long long whole)
{
    if (whole == 0)
        return 0;
    return static_cast<int>(std::trunc(static_cast<double>(part) * 100.0 / static_cast<double>(whole)));
}

int ScaleByPercent(int percent, int size)
{
    return static_cast<int>(std::trunc(size * (percent * 0.01)));
}

TGaugeBar HorizontalBarOf(TRect paint, int percent)
{
    const int w = paint.Right - paint.Left + 1, h = paint.Bottom - paint.Top + 1;
    const int f = std::min(ScaleByPercent(percent, w), w);
    TGaugeBar bar;
    bar.Filled = f > 0;
    bar.Rect = {paint.Left, paint.Top, f, h};
    return bar;
}

TGaugeBar VerticalBarOf(TRect paint, int percent)
{
    const int w = paint.Right - paint.Left + 1, h = paint.Bottom - paint.Top + 1;
    int f = ScaleByPercent(percent, h);
    if (f >= h)
        f = h - 1;
    return {true, {paint.Left, h - f, w, h}};
}

TGaugePie PieOf(TRect paint, bool singleBorder, int percent)
{
    const int extra = singleBorder ? 1 : 0;
    const int w = paint.Right - paint.Left + extra, h = paint.Bottom - paint.Top + extra;
    TGaugePie pie;
    pie.Ellipse = {paint.Left, paint.Top, w, h};
    if (percent > 0) {
        const int mx = w / 2, my = h / 2;
        const double a = (percent / 50.0 + 0.5) * std::numbers::pi;
        pie.Wedge = true;
        pie.StartX = RoundEven(mx * (1 - std::cos(a)));
        pie.StartY = RoundEven(my * (1 - std::sin(a)));
        pie.EndX = mx;
        pie.EndY = 0;
    }
    return pie;
}

TGaugeNeedle NeedleOf(TRect paint, bool singleBorder, int controlWidth, int percent)
{
    const int extra = singleBorder ? 1 : 0;
    const int w = paint.Right - paint.Left + extra, h = paint.Bottom - paint.Top + extra;
    TGaugeNeedle n;
    n.Ellipse = {paint.Left, paint.Top, w, 2 * h - 1};
    n.ArcStartX = paint.Left + w;
    n.ArcStartY = paint.Bottom - 1;
    n.ArcEndX = paint.Left;
    n.ArcEndY = paint.Bottom - 1;
    n.BaseY = paint.Bottom;
    n.BaseX0 = paint.Left;
    n.BaseX1 = paint.Left + w;
    if (percent > 0) {
        const int c = controlWidth / 2;
        const double a = percent / 100.0 * std::numbers::pi;
        n.Needle = true;
        n.FromX = c;
        n.FromY = paint.Bottom - 1;
        n.ToX = RoundEven((1 - std::cos(a)) * c);
        n.ToY = RoundEven((1 - std::sin(a)) * (paint.Bottom - 1));
    }
    return n;
}

QPoint GaugeTextOrigin(TRect paint, int textWidth, int textHeight)
{
    return {((paint.Right - paint.Left + 1) - textWidth) / 2,
            ((paint.Bottom - paint.Top + 1) - textHeight) / 2};
}

TGauge::TGauge(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

int TGauge::PercentDone() const
{
    return PercentOf(static_cast<long long>(Progress_) - MinValue_,
                     static_cast<long long>(MaxValue_) - MinValue_);
}

void TGauge::Invalidate()
{
    ++RepaintRequests_;
    repaint();
}

void TGauge::setKind(TGaugeKind v)
{
    if (v == Kind_)
        return;
    Kind_ = v;
    Invalidate();
}

void TGauge::setShowText(bool v)
{
    if (v == ShowText_)
        return;
    ShowText_ = v;
    Invalidate();
}

void TGauge::setBorderStyle(TBorderStyle v)
{
    if (v == BorderStyle_)
        return;
    BorderStyle_ = v;
    Invalidate();
}

void TGauge::setForeColor(TColor v)
{
    if (v == ForeColor_)
        return;
    ForeColor_ = v;
    Invalidate();
}

void TGauge::setBackColor(TColor v)
{
    if (v == BackColor_)
        return;
    BackColor_ = v;
    Invalidate();
}

void TGauge::setColor(TColor v)
{
    if (v == Color_)
        return;
    Color_ = v;
    Invalidate();
}

void TGauge::setMinValue(int v)
{
    if (v == MinValue_)
        return;
    if (v > MaxValue_ && !Loading_)
        throw EInvalidOperation(RangeMessage(-2147483647LL, static_cast<long long>(MaxValue_) - 1));
    MinValue_ = v;
    if (Progress_ < v)
        Progress_ = v;
    Invalidate();
}

void TGauge::setMaxValue(int v)
{
    if (v == MaxValue_)
        return;
    if (v < MinValue_ && !Loading_)
        throw EInvalidOperation(RangeMessage(static_cast<long long>(MinValue_) + 1, 2147483647LL));
    MaxValue_ = v;
    if (Progress_ > v)
        Progress_ = v;
    Invalidate();
}

void TGauge::setProgress(int v)
{
    const int before = PercentDone();
    if (v < MinValue_)
        v = MinValue_;
    else if (v > MaxValue_)
        v = MaxValue_;
    if (v == Progress_)
        return;
    Progress_ = v;
    // Steps that leave the whole percentage as it was draw nothing.
    if (PercentDone() != before)
        Invalidate();
}

bool TGauge::IsPropertyStored(const char* name) const
{
    const auto is = [name](const char* n) { return std::strcmp(name, n) == 0; };
    if (is("Kind")) return Kind_ != DefaultKind;
    if (is("ShowText")) return ShowText_ != DefaultShowText;
    if (is("BorderStyle")) return BorderStyle_ != DefaultBorderStyle;
    if (is("ForeColor")) return ForeColor_ != DefaultForeColor;
    if (is("BackColor")) return BackColor_ != DefaultBackColor;
    if (is("MinValue")) return MinValue_ != DefaultMinValue;
    if (is("MaxValue")) return MaxValue_ != DefaultMaxValue;
    if (is("Color")) return Color_ != DefaultColor;
    if (is("PercentDone")) return false;
    return true;
}

TRect TGauge::PaintRect() const
{
    if (BorderStyle_ == bsSingle)
        return {1, 1, width() - 1, height() - 1};
    return {0, 0, width(), height()};
}

QString TGauge::PercentText() const
{
    return QString::number(PercentDone()) + QLatin1Char('%');
}

void TGauge::DrawKind(QImage& overlay, TRect paint) const
{
    const QPalette& pal = palette();
    const TColor fore = ColorToRGB(ForeColor_, pal), back = ColorToRGB(BackColor_, pal);
    const bool single = BorderStyle_ == bsSingle;
    switch (Kind_) {
    case gkText:
        FillRect(overlay, paint, back);
        break;
    case gkHorizontalBar:
    case gkVerticalBar: {
        FillRect(overlay, paint, back);
        const TGaugeBar bar = Kind_ == gkHorizontalBar ? HorizontalBarOf(paint, PercentDone())
                                                       : VerticalBarOf(paint, PercentDone());
        if (bar.Filled)
            RectangleGdi(overlay, bar.Rect, fore, fore);
        break;
    }
    case gkPie: {
        FillRect(overlay, paint, ColorToRGB(Color_, pal));
        const TGaugePie pie = PieOf(paint, single, PercentDone());
        EllipseGdi(overlay, pie.Ellipse, fore, back);
        if (pie.Wedge)
            PieGdi(overlay, pie.Ellipse, pie.StartX, pie.StartY, pie.EndX, pie.EndY, fore, fore);
        break;
    }
    case gkNeedle: {
        FillRect(overlay, paint, ColorToRGB(Color_, pal));
        const TGaugeNeedle n = NeedleOf(paint, single, width(), PercentDone());
        PieGdi(overlay, n.Ellipse, n.ArcStartX, n.ArcStartY, n.ArcEndX, n.ArcEndY, fore, back);
        LineGdi(overlay, n.BaseX0, n.BaseY, n.BaseX1, n.BaseY, fore);
        if (n.Needle)
            LineGdi(overlay, n.FromX, n.FromY, n.ToX, n.ToY, fore);
        break;
    }
    }
}

QImage TGauge::ComposeFrame() const
{
    const TRect paint = PaintRect();
    QImage image = MakeFrameImage(width(), height(), clBlack);

    TBltBitmap overlay;
    overlay.MakeLike(image, palette());
    overlay.Image().fill(ToQRgb(clBlack));
    DrawKind(overlay.Image(), paint);
    XorCombine(image, overlay.Image());

    if (ShowText_) {
        const QString text = PercentText();
        TBltBitmap textBitmap;
        textBitmap.MakeLike(image, palette());
        textBitmap.Image().fill(ToQRgb(clBlack));
        const QFontMetrics fm(AliasedFont(font()));
        const QPoint at = GaugeTextOrigin(paint, fm.horizontalAdvance(text), fm.height());
        TextOutGdi(textBitmap.Image(), at.x(), at.y(), text, font(), clWhite, paint);
        XorCombine(image, textBitmap.Image());
    }
    return image;
}

void TGauge::paintEvent(QPaintEvent*)
{
    const QImage frame = ComposeFrame();
    QPainter p(this);
    p.drawImage(0, 0, frame);
}
