#include "widgets/ProgressCyl.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <QEnterEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QResizeEvent>

namespace {

int RoundEven(double v)
{
    const double r = std::nearbyint(v);
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        return r > 0 ? 2147483647 : -2147483647 - 1;
    return static_cast<int>(r);
}

int ClampByte(int v)
{
    return std::clamp(v, 0, 255);
}

}  // namespace

// ---------------------------------------------------------------- arithmetic

int ShadeLevelOf(TCylinderEffect e)
{
    switch (e) {
    case ceFlat: return 1;
    case ceUltraLow: return 51;
    case ceLow: return 102;
    case ceMedium: return 153;
    case ceHigh: return 204;
    case ceMaximum: return 255;
    }
    return 255;
}

int ShadowOffsetOf(TFontEffect e)
{
    switch (e) {
    case feShadowTopLeft: return -1;
    case feShadowBottomRight: return 1;
    default: return 0;
    }
}

int EscapementOf(TFontOrientation o)
{
    switch (o) {
    case foTopToBottom: return 2700;
    case foBottomToTop: return 900;
    default: return 1;
    }
}

float ChannelBase(int c, const TCylStyleValues& s)
{
    const float cf = static_cast<float>(c);
    return ((cf * s.IntensityFactor + static_cast<float>(s.IntensityRGB)) / s.Intensity + cf) /
           static_cast<float>(s.RangeRGB);
}

TChannelBases ChannelBasesOf(TColor rgb, const TCylStyleValues& s)
{
    return {ChannelBase(GetRValue(rgb), s), ChannelBase(GetGValue(rgb), s),
            ChannelBase(GetBValue(rgb), s)};
}

int ShadeDistance(int innerSize, float lightAngle, int t)
{
    const double q = std::trunc(static_cast<float>(innerSize) / lightAngle);
    const double g = std::fabs(std::clamp(q, -1e9, 1e9) + t);
    return static_cast<int>(std::min(g, 2e9));
}

int ShadeChannel(int g, float step, const TCylStyleValues& s, float base)
{
    const float v = (static_cast<float>(g) * step * s.ColorFactor + static_cast<float>(s.ColorRGB)) * base;
    const float t = std::trunc(v);
    if (!(t > 0))
        return 0;
    return t >= 255 ? 255 : static_cast<int>(t);
}

TColor ShadePixel(int g, float step, const TCylStyleValues& s, const TChannelBases& b)
{
    return RGB(ShadeChannel(g, step, s, b.R), ShadeChannel(g, step, s, b.G),
               ShadeChannel(g, step, s, b.B));
}

TCylInsets InsetsOf(int bevelWidth, int borderWidth)
{
    return {bevelWidth + borderWidth, borderWidth + 2 * bevelWidth};
}

bool GeometryFits(int width, int height, int bevelWidth, int borderWidth)
{
    // Wide arithmetic: the widths a setter is asked to try may be anything.
    const long long outer = static_cast<long long>(bevelWidth) + borderWidth;
    const long long inner = static_cast<long long>(borderWidth) + 2LL * bevelWidth;
    return width > 0 && height > 0 && width - 2 * outer > 0 && height - 2 * outer > 0 &&
           width - 2 * inner > 0 && height - 2 * inner > 0;
}

float RangeFactorOf(long long min, long long max)
{
    return static_cast<float>(1.0 / static_cast<double>(max - min));
}

TCylProgress CylProgressOf(TProgressBarOrientation o, int width, int height, int innerInset,
                           long long position, long long min, long long max, float k)
{
    // The size-times-position products are taken in 64 bits: a wide range on a 32-bit product
    // wrapped around and drew the bar at random lengths.
    const long long rel = position - min;
    const double kd = k;
    TCylProgress p;
    p.Percent = RoundEven(static_cast<double>(rel) / static_cast<double>(max - min) * 100.0);
    if (o == pbHorizontal) {
        p.D = RoundEven(static_cast<double>(width * rel) * kd) + 2 * innerInset -
              RoundEven(static_cast<double>(innerInset * rel) * kd * 2);
        p.BarEnd = std::max(p.D - innerInset, innerInset + 1);
    } else {
        p.D = RoundEven(static_cast<double>(height * rel) * kd) + 2 * innerInset -
              RoundEven(static_cast<double>(2 * innerInset * rel) * kd);
        p.BarEnd = height + innerInset - p.D;
    }
    return p;
}

TBevelPalette BevelPaletteOf(TColor bevelColor, TColor bevelRGB)
{
    if (bevelColor == clBtnFace)
        return {clBtnHighlight, clBtnShadow, cl3DLight, cl3DDkShadow};
    const int r = GetRValue(bevelRGB), g = GetGValue(bevelRGB), b = GetBValue(bevelRGB);
    const TColor hi = RGB(ClampByte(r + 64), ClampByte(g + 64), ClampByte(b + 64));
    const TColor sh = RGB(ClampByte(r - 64), ClampByte(g - 64), ClampByte(b - 64));
    return {hi, sh, hi, sh};
}

TBevelPair InnerBevelOf(TBevelCut inner, TBevelCut outer, int borderWidth, const TBevelPalette& p,
                        TColor color)
{
    switch (inner) {
    case bvLowered:
        if (outer == bvLowered && borderWidth == 0)
            return {p.Dark, p.Light};
        return {p.Shadow, p.Highlight};
    case bvRaised:
        if (outer == bvRaised && borderWidth == 0)
            return {p.Light, p.Shadow};
        return {p.Highlight, p.Shadow};
    case bvSpace:
        return {color, color};
    default:
        return {color, color};
    }
}

TBevelPair OuterBevelOf(TBevelCut outer, TBevelCut inner, int borderWidth, const TBevelPalette& p,
                        TColor color)
{
    switch (outer) {
    case bvLowered:
        return {p.Shadow, p.Highlight};
    case bvRaised:
        if (inner == bvRaised && borderWidth == 0)
            return {p.Highlight, p.Dark};
        return {p.Highlight, p.Shadow};
    default:
        return {color, color};
    }
}

QPoint CylTextStart(TFontOrientation o, int width, int height, int textWidth, int textHeight)
{
    switch (o) {
    case foTopToBottom:
        return {textHeight + (width - textHeight) / 2 - 1, (height - textWidth) / 2};
    case foBottomToTop:
        return {(width - textHeight) / 2 + 1, textWidth + (height - textWidth) / 2};
    default:
        return {(width - textWidth) / 2, (height - textHeight) / 2 + 1};
    }
}

QString CylTextOf(int percent, const QString& text, const QString& textDone)
{
    if (!textDone.isEmpty() && percent == 100)
        return textDone;
    return QString::number(percent) + text;
}

// ---------------------------------------------------------------- TPCColorStyle

TPCColorStyle::TPCColorStyle(TProgressCyl* owner) : QObject(owner), Owner_(owner) {}

void TPCColorStyle::Changed()
{
    if (Owner_)
        Owner_->StyleChanged();
}

void TPCColorStyle::setIntensityRGB(int v)
{
    if (v == V_.IntensityRGB)
        return;
    V_.IntensityRGB = v;
    Changed();
}

void TPCColorStyle::setIntensity(float v)
{
    if (v == 0 || v == V_.Intensity)
        return;
    V_.Intensity = v;
    Changed();
}

void TPCColorStyle::setIntensityFactor(float v)
{
    if (v == V_.IntensityFactor)
        return;
    V_.IntensityFactor = v;
    Changed();
}

void TPCColorStyle::setRangeRGB(int v)
{
    if (v == 0 || v == V_.RangeRGB)
        return;
    V_.RangeRGB = v;
    Changed();
}

void TPCColorStyle::setColorRGB(int v)
{
    if (v == V_.ColorRGB)
        return;
    V_.ColorRGB = v;
    Changed();
}

void TPCColorStyle::setColorFactor(float v)
{
    if (v == V_.ColorFactor)
        return;
    V_.ColorFactor = v;
    Changed();
}

void TPCColorStyle::setLightAngle(float v)
{
    if (v == 0 || v == V_.LightAngle)
        return;
    V_.LightAngle = v;
    Changed();
}

void TPCColorStyle::Assign(const TCylStyleValues& values)
{
    setIntensityRGB(values.IntensityRGB);
    setIntensity(values.Intensity);
    setIntensityFactor(values.IntensityFactor);
    setRangeRGB(values.RangeRGB);
    setColorRGB(values.ColorRGB);
    setColorFactor(values.ColorFactor);
    setLightAngle(values.LightAngle);
}

void TPCColorStyle::Assign(const TPCColorStyle& source)
{
    Assign(source.Values());
}

// ---------------------------------------------------------------- TProgressCyl

TProgressCyl::TProgressCyl(QWidget* parent) : QWidget(parent)
{
    // Painting covers every pixel; the background is never erased.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    resize(150, 22);
    ForeStyle_ = new TPCColorStyle(this);
    BackStyle_ = new TPCColorStyle(this);
    QFont f(QStringLiteral("Arial"));
    f.setPointSize(9);
    f.setBold(true);
    setFont(f);

    // The initial values are the members' own; while their derived state is set up,
    // ApplyingPreset stays set, so ProEffect stays demoSystem.
    ShadeLevel_ = ShadeLevelOf(CylinderEffect_);
    RangeFactor_ = RangeFactorOf(Min_, Max_);
    UpdateTextResources();
    Offscreen_ = MakeFrameImage(width(), height(), clBlack);
    GeometryUpdate();   // insets, shade steps and the bar end of Position 0

    Constructed_ = true;
    ApplyingPreset_ = false;
}

TProgressCyl::~TProgressCyl()
{
    ShowText_ = false;
    UpdateTextResources();
}

void TProgressCyl::MarkCustom()
{
    if (!ApplyingPreset_)
        ProEffect_ = peCustom;
}

void TProgressCyl::Invalidate()
{
    ++RepaintRequests_;
    if (Constructed_)
        repaint();
}

void TProgressCyl::StyleChanged()
{
    MarkCustom();
    Invalidate();
}

bool TProgressCyl::GeometryFitsNow() const
{
    return GeometryFits(width(), height(), BevelWidth_, BorderWidth_);
}

void TProgressCyl::GeometryUpdate()
{
    const TCylInsets in = InsetsOf(BevelWidth_, BorderWidth_);
    OuterInset_ = in.Outer;
    InnerInset_ = in.Inner;
    const int innerW = width() - 2 * InnerInset_, innerH = height() - 2 * InnerInset_;
    // Each step only from a positive size: a zero inner height divided by zero.
    if (innerW > 0) {
        HStep_ = static_cast<float>(ShadeLevel_ / innerW);
        if (innerH > 0)
            VStep_ = static_cast<float>(ShadeLevel_ / innerH);
    }
    setPosition(Position_);
}

void TProgressCyl::UpdateTextResources()
{
    ShadowOffset_ = ShadowOffsetOf(FontEffect_);
    if (ShowText_ && FontEffect_ == feInvert) {
        if (TextBitmap_.isNull())
            TextBitmap_ = MakeFrameImage(width(), height(), clBlack);
    } else {
        TextBitmap_ = QImage();
    }
}

void TProgressCyl::setForeColor(TColor v)
{
    ForeColor_ = v;
    MarkCustom();
    Invalidate();
}

void TProgressCyl::setForeLineColor(TColor v)
{
    ForeLineColor_ = v;
    MarkCustom();
    Invalidate();
}

void TProgressCyl::setBackColor(TColor v)
{
    BackColor_ = v;
    MarkCustom();
    Invalidate();
}

void TProgressCyl::setBevelColor(TColor v)
{
    BevelColor_ = v;
    MarkCustom();
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::setColor(TColor v)
{
    if (v == Color_)
        return;
    Color_ = v;
    Invalidate();
}

void TProgressCyl::setBackBorderColor(TColor v)
{
    if (v == BackBorderColor_)
        return;
    BackBorderColor_ = v;
    MarkCustom();
    Invalidate();
}

void TProgressCyl::setFontShadowColor(TColor v)
{
    if (v == FontShadowColor_)
        return;
    FontShadowColor_ = v;
    MarkCustom();
    Invalidate();
}

void TProgressCyl::setFontColor(TColor v)
{
    if (v == FontColor_)
        return;
    FontColor_ = v;
    Invalidate();
}

void TProgressCyl::setForeStyle(TPCColorStyle* v)
{
    if (v && v != ForeStyle_)
        ForeStyle_->Assign(*v);
}

void TProgressCyl::setBackStyle(TPCColorStyle* v)
{
    if (v && v != BackStyle_)
        BackStyle_->Assign(*v);
}

void TProgressCyl::setFontEffect(TFontEffect v)
{
    if (v == FontEffect_)
        return;
    FontEffect_ = v;
    MarkCustom();
    UpdateTextResources();
    Invalidate();
}

void TProgressCyl::setCylinderEffect(TCylinderEffect v)
{
    if (v == CylinderEffect_)
        return;
    ShadeLevel_ = ShadeLevelOf(v);
    CylinderEffect_ = v;
    MarkCustom();
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::SetBevelValue(int& field, int v)
{
    if (v == field)
        return;
    const int old = field;
    field = v;
    if (!GeometryFitsNow())
        field = old;
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::setBevelOuter(TBevelCut v)
{
    if (v == BevelOuter_)
        return;
    // The cut does not change the insets, so the geometry check cannot fail here.
    BevelOuter_ = v;
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::setBevelInner(TBevelCut v)
{
    if (v == BevelInner_)
        return;
    BevelInner_ = v;
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::setBevelWidth(int v)
{
    if (v < 1)
        return;
    SetBevelValue(BevelWidth_, v);
}

void TProgressCyl::setBorderWidth(int v)
{
    if (v < 0)
        return;
    SetBevelValue(BorderWidth_, v);
}

void TProgressCyl::setOrientation(TProgressBarOrientation v)
{
    if (v == Orientation_)
        return;
    Orientation_ = v;
    FontOrientation_ = v == pbVertical ? foBottomToTop : foLeftToRight;
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::setFontOrientation(TFontOrientation v)
{
    if (v == FontOrientation_)
        return;
    FontOrientation_ = v;
    UpdateTextResources();
    Invalidate();
}

void TProgressCyl::setShowText(bool v)
{
    if (v == ShowText_)
        return;
    ShowText_ = v;
    UpdateTextResources();
    Invalidate();
}

void TProgressCyl::setText(const QString& v)
{
    if (v == Text_)
        return;
    Text_ = v;
    Invalidate();
}

void TProgressCyl::setTextDone(const QString& v)
{
    if (v == TextDone_)
        return;
    TextDone_ = v;
    Invalidate();
}

void TProgressCyl::setMin(int v)
{
    if (v == Min_)
        return;
    if (v == Max_)
        v = v - 1;
    if (v < Max_) {
        Min_ = v;
        RangeFactor_ = RangeFactorOf(v, Max_);
        if (Position_ < v)
            Position_ = v;
    }
    GeometryUpdate();
}

void TProgressCyl::setMax(int v)
{
    if (v == Max_)
        return;
    if (v == Min_)
        v = v + 1;
    if (v > Min_) {
        Max_ = v;
        RangeFactor_ = RangeFactorOf(Min_, v);
        if (Position_ > v)
            Position_ = v;
    }
    GeometryUpdate();
}

void TProgressCyl::setPosition(int v)
{
    if (v > Max_)
        v = Max_;
    else if (v < Min_)
        v = Min_;
    Position_ = v;
    const TCylProgress p =
        CylProgressOf(Orientation_, width(), height(), InnerInset_, Position_, Min_, Max_, RangeFactor_);
    if (p.D == LastD_ && p.Percent == LastPercent_)
        return;
    LastD_ = p.D;
    LastPercent_ = p.Percent;
    BarEnd_ = p.BarEnd;
    if (Position_ == Max_ && OnProgressDone)
        OnProgressDone(this);
    Invalidate();
}

bool TProgressCyl::IsPropertyStored(const char* name) const
{
    if (std::strcmp(name, "Min") == 0)
        return Min_ != 0;
    return true;
}

QString TProgressCyl::DisplayText() const
{
    return CylTextOf(LastPercent_, Text_, TextDone_);
}

void TProgressCyl::Shade(QImage& img) const
{
    const QPalette& pal = palette();
    const TCylStyleValues& fs = ForeStyle_->Values();
    const TCylStyleValues& bs = BackStyle_->Values();
    const TChannelBases fore = ChannelBasesOf(ColorToRGB(ForeColor_, pal), fs);
    const TChannelBases line = ChannelBasesOf(ColorToRGB(ForeLineColor_, pal), fs);
    const TChannelBases back = ChannelBasesOf(ColorToRGB(BackColor_, pal), bs);
    const int w = img.width(), h = img.height(), in = InnerInset_;
    const auto put = [&img, w, h](int x, int y, TColor c) {
        if (x >= 0 && x < w && y >= 0 && y < h)
            reinterpret_cast<QRgb*>(img.scanLine(y))[x] = ToQRgb(c);
    };

    if (Orientation_ == pbHorizontal) {
        const int innerH = h - 2 * in;
        for (int r = in; r <= h - in - 1; ++r) {
            const int t = r - in;
            const int gF = ShadeDistance(innerH, fs.LightAngle, t);
            const int gB = ShadeDistance(innerH, bs.LightAngle, t);
            const TColor cFore = ShadePixel(gF, VStep_, fs, fore);
            const TColor cLine = ShadePixel(gF, VStep_, fs, line);
            const TColor cBack = ShadePixel(gB, VStep_, bs, back);
            for (int x = in; x <= std::min(BarEnd_, w - 1); ++x)
                put(x, r, cFore);
            put(BarEnd_, r, cLine);
            for (int x = std::max(BarEnd_ + 1, 0); x <= w - in - 1; ++x)
                put(x, r, cBack);
        }
    } else {
        const int innerW = w - 2 * in;
        for (int x = in; x <= w - in - 1; ++x) {
            const int t = x - in;
            const int gF = ShadeDistance(innerW, fs.LightAngle, t);
            const int gB = ShadeDistance(innerW, bs.LightAngle, t);
            const TColor cFore = ShadePixel(gF, HStep_, fs, fore);
            const TColor cLine = ShadePixel(gF, HStep_, fs, line);
            const TColor cBack = ShadePixel(gB, HStep_, bs, back);
            for (int y = in; y <= std::min(BarEnd_, h - 1); ++y)
                put(x, y, cBack);
            put(x, BarEnd_, cLine);
            for (int y = std::max(BarEnd_ + 1, 0); y <= h - in - 1; ++y)
                put(x, y, cFore);
        }
    }
}

void TProgressCyl::WriteText(QImage& img)
{
    const QPalette& pal = palette();
    const QString s = DisplayText();
    QFont f = font();
    f.setWeight(f.bold() ? QFont::Bold : QFont::Normal);
    const QFontMetrics fm(AliasedFont(f));
    const int w = img.width(), h = img.height();
    const QPoint at = CylTextStart(FontOrientation_, w, h, fm.horizontalAdvance(s), fm.height());
    // The left-to-right font is turned by a tenth of a degree, which moves no pixel over the
    // length of a bar's text; it is drawn unturned.
    const int esc = FontOrientation_ == foLeftToRight ? 0 : EscapementOf(FontOrientation_);
    const TRect clip{0, 0, w, h};
    if (FontEffect_ != feInvert) {
        if (FontEffect_ != feNone)
            TextOutGdi(img, at.x() + ShadowOffset_, at.y() + ShadowOffset_, s, f,
                       ColorToRGB(FontShadowColor_, pal), clip, esc);
        TextOutGdi(img, at.x(), at.y(), s, f, ColorToRGB(FontColor_, pal), clip, esc);
        return;
    }
    if (TextBitmap_.size() != img.size())
        TextBitmap_ = MakeFrameImage(w, h, clBlack);
    TextBitmap_.fill(ToQRgb(clBlack));
    TextOutGdi(TextBitmap_, at.x(), at.y(), s, f, clWhite, clip, esc);
    XorCombine(img, TextBitmap_);
}

QImage TProgressCyl::ComposeFrame()
{
    if (!Constructed_ || !GeometryFitsNow())
        return {};
    const QPalette& pal = palette();
    const int w = width(), h = height();
    const TColor color = ColorToRGB(Color_, pal);
    if (Offscreen_.size() != size())
        Offscreen_ = MakeFrameImage(w, h, color);
    Offscreen_.fill(ToQRgb(color));

    Shade(Offscreen_);
    FrameRect(Offscreen_, {InnerInset_, InnerInset_, w - InnerInset_, h - InnerInset_},
              ColorToRGB(BackBorderColor_, pal));

    const TBevelPalette bp = BevelPaletteOf(BevelColor_, ColorToRGB(BevelColor_, pal));
    if (BevelInner_ != bvNone) {
        const TBevelPair b = InnerBevelOf(BevelInner_, BevelOuter_, BorderWidth_, bp, Color_);
        Frame3D(Offscreen_, {OuterInset_, OuterInset_, w - OuterInset_, h - OuterInset_},
                ColorToRGB(b.TopLeft, pal), ColorToRGB(b.BottomRight, pal), BevelWidth_);
    }
    if (BevelOuter_ != bvNone) {
        const TBevelPair b = OuterBevelOf(BevelOuter_, BevelInner_, BorderWidth_, bp, Color_);
        Frame3D(Offscreen_, {0, 0, w, h}, ColorToRGB(b.TopLeft, pal),
                ColorToRGB(b.BottomRight, pal), BevelWidth_);
    }
    if (ShowText_)
        WriteText(Offscreen_);
    return Offscreen_;
}

void TProgressCyl::paintEvent(QPaintEvent*)
{
    const QImage frame = ComposeFrame();
    if (frame.isNull())
        return;
    QPainter p(this);
    p.drawImage(0, 0, frame);
}

void TProgressCyl::resizeEvent(QResizeEvent*)
{
    if (!Constructed_ || !GeometryFitsNow())
        return;
    Offscreen_ = MakeFrameImage(width(), height(), clBlack);
    if (!TextBitmap_.isNull())
        TextBitmap_ = MakeFrameImage(width(), height(), clBlack);
    GeometryUpdate();
    Invalidate();
}

void TProgressCyl::changeEvent(QEvent* event)
{
    // System colours are resolved at every paint; a palette change only needs the repaint.
    if (event->type() == QEvent::PaletteChange)
        Invalidate();
    QWidget::changeEvent(event);
}

void TProgressCyl::enterEvent(QEnterEvent*)
{
    if (OnMouseEnter)
        OnMouseEnter(this);
    Invalidate();
}

void TProgressCyl::leaveEvent(QEvent*)
{
    if (OnMouseLeave)
        OnMouseLeave(this);
    Invalidate();
}
