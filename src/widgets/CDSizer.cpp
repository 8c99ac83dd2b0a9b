#include "widgets/CDSizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <QPainter>

namespace {

// Coordinates far outside any control; clamping to them keeps the edge arithmetic below free
// of overflow whatever the properties hold.
constexpr long long FarAway = 1LL << 30;

int Clamped(long long v)
{
    return static_cast<int>(std::clamp(v, -FarAway, FarAway));
}

// Nearest integer, halves to even (the default floating-point rounding mode).
long long RoundEven(double v)
{
    const double r = std::nearbyint(v);
    if (!(r >= -1e15 && r <= 1e15))
        return r > 0 ? FarAway : -FarAway;
    return static_cast<long long>(r);
}

}  // namespace

TCDSizeLayout LayoutCDSize(int width, int height, int maxCDSize, int maxMemory, int memShaded,
                           int progressGap, int tickMegabytes)
{
    TCDSizeLayout l;
    l.Horizontal = width >= height;
    l.Background = {0, 0, width, height};
    l.OverBurn = memShaded > maxCDSize;
    const int half = height / 2;
    l.LabelTop = half + 2;
    // The scale divides by MaxMemory; without a positive one there is nothing to measure.
    if (maxMemory <= 0) {
        l.Scaled = false;
        return l;
    }
    const double mem = maxMemory;
    const double step = tickMegabytes > 0 ? tickMegabytes : 10;
    l.TickCount = static_cast<int>(RoundEven(mem / step));
    l.Spacing = width / (mem / step);
    l.CapacityStrip = {0, 0, Clamped(RoundEven(maxCDSize / mem * width) + 1), half};
    const long long gap = progressGap;
    if (l.Horizontal)
        l.DataStrip = {2, Clamped(gap), Clamped(RoundEven(memShaded / mem * width) + 1),
                       Clamped(half - gap)};
    else
        l.DataStrip = {Clamped(gap), Clamped(gap), width,
                       Clamped(RoundEven(memShaded / mem * height) - gap)};
    return l;
}

TCDSizeTick CDSizeTickOf(int i, double spacing, int height, int tickMegabytes)
{
    const int half = height / 2;
    TCDSizeTick t;
    t.X = Clamped(RoundEven(i * spacing));
    t.Megabytes = i * (tickMegabytes > 0 ? tickMegabytes : 10);
    if (i % 10 == 0) {
        t.Bottom = height;
        t.Labelled = true;
    } else if (i % 5 == 0) {
        t.Bottom = half + 3;
    } else {
        t.Bottom = half;
    }
    return t;
}

QString CDSizeLabel(int megabytes)
{
    return QString::number(megabytes) + QStringLiteral(" mb");
}

TCDSize::TCDSize(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(DefaultWidth, DefaultHeight);
}

void TCDSize::Invalidate()
{
    ++RepaintRequests_;
    repaint();
}

void TCDSize::setBarColour(TColor v)
{
    BarColour_ = v;
    Invalidate();
}

void TCDSize::setMemBarColour(TColor v)
{
    MemBarColour_ = v;
    Invalidate();
}

void TCDSize::setMemShaded(int v)
{
    // Clamped against MaxMemory as it is now; a later MaxMemory does not reclamp.
    MemShaded_ = v;
    if (v < 0)
        MemShaded_ = 0;
    else if (v > MaxMemory_)
        MemShaded_ = MaxMemory_;
    Invalidate();
}

bool TCDSize::IsPropertyStored(const char* name) const
{
    const auto is = [name](const char* n) { return std::strcmp(name, n) == 0; };
    if (is("BarColour")) return BarColour_ != DefaultBarColour;
    if (is("MemBarColour")) return MemBarColour_ != DefaultMemBarColour;
    if (is("ProgressGap")) return ProgressGap_ != DefaultProgressGap;
    if (is("MaxCDSize")) return MaxCDSize_ != DefaultMaxCDSize;
    if (is("MaxMemory")) return MaxMemory_ != DefaultMaxMemory;
    if (is("OverBurnColour")) return OverBurnColour_ != DefaultOverBurnColour;
    if (is("MemShaded")) return MemShaded_ != DefaultMemShaded;
    if (is("TickColour")) return TickColour_ != DefaultTickColour;
    return true;
}

QImage TCDSize::ComposeFrame()
{
    const QPalette& pal = palette();
    const auto rgb = [&pal](TColor c) { return ColorToRGB(c, pal); };
    const TCDSizeLayout l =
        LayoutCDSize(width(), height(), MaxCDSize_, MaxMemory_, MemShaded_, ProgressGap_, TickMegabytes_);

    QImage img = MakeFrameImage(width(), height(), clBlack);
    const TColor outline = rgb(CanvasPen_);
    RectangleGdi(img, l.Background, outline, clWhite);
    if (l.Scaled) {
        RectangleGdi(img, l.CapacityStrip, outline, rgb(BarColour_));
        RectangleGdi(img, l.DataStrip, outline, rgb(l.OverBurn ? OverBurnColour_ : MemBarColour_));
        const TColor tick = rgb(TickColour_);
        TCDSizeTick last;
        for (int i = 1; i <= l.TickCount; ++i) {
            const TCDSizeTick t = CDSizeTickOf(i, l.Spacing, height(), TickMegabytes_);
            // With many ticks to a pixel most repeat the line before them exactly.
            if (i > 1 && !t.Labelled && t.X == last.X && t.Bottom <= last.Bottom)
                continue;
            last = t;
            LineGdi(img, t.X, 0, t.X, t.Bottom, tick);
            if (t.Labelled)
                TextOutGdi(img, t.X - 20, l.LabelTop, CDSizeLabel(t.Megabytes), font(), tick,
                           {0, 0, width(), height()});
        }
    }
    CanvasPen_ = TickColour_;
    if (l.OverBurn && OnOverBurn)
        OnOverBurn(nullptr);
    return img;
}

void TCDSize::paintEvent(QPaintEvent*)
{
    const QImage frame = ComposeFrame();
    QPainter p(this);
    p.drawImage(0, 0, frame);
}
