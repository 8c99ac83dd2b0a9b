// TProgressCyl: a progress bar shaded row by row (or column by column) like a lit cylinder,
// framed by an outer and an inner bevel, with the percentage or a completion text written over
// it. Bar and background shading come from two TPCColorStyle objects; ProEffect selects one of
// 35 ready-made looks (see ProgressCylPresets.cpp).
#pragma once

#include <functional>

#include <QImage>
#include <QObject>
#include <QString>
#include <QWidget>

#include "widgets/Colors.h"
#include "widgets/GdiCanvas.h"

class TProgressCyl;

// The seven shading parameters as plain values, for the arithmetic and the preset table.
struct TCylStyleValues {
    int IntensityRGB = 255;
    float Intensity = 4.0f;
    float IntensityFactor = -1.0f;
    int RangeRGB = 255;
    int ColorRGB = 255;
    float ColorFactor = -1.0f;
    float LightAngle = -3.0f;
    friend bool operator==(const TCylStyleValues&, const TCylStyleValues&) = default;
};

// Shading parameters of the bar or of the background. Owned by one TProgressCyl, which it tells
// about every accepted change.
class TPCColorStyle : public QObject {
    Q_OBJECT
    Q_PROPERTY(int IntensityRGB READ IntensityRGB WRITE setIntensityRGB)
    Q_PROPERTY(float Intensity READ Intensity WRITE setIntensity)
    Q_PROPERTY(float IntensityFactor READ IntensityFactor WRITE setIntensityFactor)
    Q_PROPERTY(int RangeRGB READ RangeRGB WRITE setRangeRGB)
    Q_PROPERTY(int ColorRGB READ ColorRGB WRITE setColorRGB)
    Q_PROPERTY(float ColorFactor READ ColorFactor WRITE setColorFactor)
    Q_PROPERTY(float LightAngle READ LightAngle WRITE setLightAngle)

public:
    explicit TPCColorStyle(TProgressCyl* owner = nullptr);

    int IntensityRGB() const { return V_.IntensityRGB; }
    float Intensity() const { return V_.Intensity; }
    float IntensityFactor() const { return V_.IntensityFactor; }
    int RangeRGB() const { return V_.RangeRGB; }
    int ColorRGB() const { return V_.ColorRGB; }
    float ColorFactor() const { return V_.ColorFactor; }
    float LightAngle() const { return V_.LightAngle; }
    const TCylStyleValues& Values() const { return V_; }

    void setIntensityRGB(int v);
    void setIntensity(float v);          // 0 is refused
    void setIntensityFactor(float v);
    void setRangeRGB(int v);             // 0 is refused
    void setColorRGB(int v);
    void setColorFactor(float v);
    void setLightAngle(float v);         // 0 is refused

    // Copies the seven values through the setters.
    void Assign(const TPCColorStyle& source);
    void Assign(const TCylStyleValues& values);

private:
    void Changed();

    TProgressCyl* Owner_;
    TCylStyleValues V_;
};

using TNotifyEvent = std::function<void(QObject* Sender)>;

class TProgressCyl : public QWidget {
    Q_OBJECT
public:
    enum TCylinderEffect { ceFlat, ceUltraLow, ceLow, ceMedium, ceHigh, ceMaximum };
    Q_ENUM(TCylinderEffect)
    enum TFontEffect { feNone, feInvert, feShadowTopLeft, feShadowBottomRight };
    Q_ENUM(TFontEffect)
    enum TFontOrientation { foLeftToRight, foTopToBottom, foBottomToTop };
    Q_ENUM(TFontOrientation)
    enum TProgressBarOrientation { pbHorizontal, pbVertical };
    Q_ENUM(TProgressBarOrientation)
    enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
    Q_ENUM(TBevelCut)
    enum TProEffect {
        demoSystem, demoMetal, demoSunken, peCustom,
        peGlassRed, peGlassOrange, peGlassYellow, peGlassGreen, peGlassCyan, peGlassBlue,
        peGlassViolet, peGlassPurple,
        peSystem1, peSystem2, peSystem3, peSystem4, peSystem5, peSystem6, peSystem7, peSystem8,
        peUpLoad1, peUpLoad2,
        peMetalRed, peMetalOrange, peMetalYellow, peMetalCyan, peMetalGreen, peMetalLightBlue,
        peMetalBlue, peMetalViolet, peMetalDarkGray, peMetalGold,
        peStdRed, peStdYellow, peStdGreen, peStdBlue
    };
    Q_ENUM(TProEffect)

private:
    Q_PROPERTY(uint ForeColor READ ForeColor WRITE setForeColor)
    Q_PROPERTY(uint ForeLineColor READ ForeLineColor WRITE setForeLineColor)
    Q_PROPERTY(uint BackColor READ BackColor WRITE setBackColor)
    Q_PROPERTY(uint BackBorderColor READ BackBorderColor WRITE setBackBorderColor)
    Q_PROPERTY(uint BevelColor READ BevelColor WRITE setBevelColor)
    Q_PROPERTY(uint Color READ Color WRITE setColor)
    Q_PROPERTY(uint FontShadowColor READ FontShadowColor WRITE setFontShadowColor)
    Q_PROPERTY(uint FontColor READ FontColor WRITE setFontColor)
    Q_PROPERTY(TPCColorStyle* ForeStyle READ ForeStyle WRITE setForeStyle)
    Q_PROPERTY(TPCColorStyle* BackStyle READ BackStyle WRITE setBackStyle)
    Q_PROPERTY(TCylinderEffect CylinderEffect READ CylinderEffect WRITE setCylinderEffect)
    Q_PROPERTY(TBevelCut BevelOuter READ BevelOuter WRITE setBevelOuter)
    Q_PROPERTY(TBevelCut BevelInner READ BevelInner WRITE setBevelInner)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE setBevelWidth)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE setBorderWidth)
    Q_PROPERTY(TProgressBarOrientation Orientation READ Orientation WRITE setOrientation)
    Q_PROPERTY(int Min READ Min WRITE setMin RESET resetMin)
    Q_PROPERTY(int Max READ Max WRITE setMax)
    Q_PROPERTY(int Position READ Position WRITE setPosition)
    Q_PROPERTY(int Step READ Step WRITE setStep)
    Q_PROPERTY(bool StopAtMax READ StopAtMax WRITE setStopAtMax)
    Q_PROPERTY(bool ShowText READ ShowText WRITE setShowText)
    Q_PROPERTY(QString Text READ Text WRITE setText)
    Q_PROPERTY(QString TextDone READ TextDone WRITE setTextDone)
    Q_PROPERTY(TFontEffect FontEffect READ FontEffect WRITE setFontEffect)
    Q_PROPERTY(TFontOrientation FontOrientation READ FontOrientation WRITE setFontOrientation)
    Q_PROPERTY(TProEffect ProEffect READ ProEffect WRITE setProEffect)

public:
    explicit TProgressCyl(QWidget* parent = nullptr);
    ~TProgressCyl() override;

    TColor ForeColor() const { return ForeColor_; }
    TColor ForeLineColor() const { return ForeLineColor_; }
    TColor BackColor() const { return BackColor_; }
    TColor BackBorderColor() const { return BackBorderColor_; }
    TColor BevelColor() const { return BevelColor_; }
    TColor Color() const { return Color_; }
    TColor FontShadowColor() const { return FontShadowColor_; }
    TColor FontColor() const { return FontColor_; }
    TPCColorStyle* ForeStyle() const { return ForeStyle_; }
    TPCColorStyle* BackStyle() const { return BackStyle_; }
    TCylinderEffect CylinderEffect() const { return CylinderEffect_; }
    TBevelCut BevelOuter() const { return BevelOuter_; }
    TBevelCut BevelInner() const { return BevelInner_; }
    int BevelWidth() const { return BevelWidth_; }
    int BorderWidth() const { return BorderWidth_; }
    TProgressBarOrientation Orientation() const { return Orientation_; }
    int Min() const { return Min_; }
    int Max() const { return Max_; }
    int Position() const { return Position_; }
    int Step() const { return Step_; }
    bool StopAtMax() const { return StopAtMax_; }
    bool ShowText() const { return ShowText_; }
    QString Text() const { return Text_; }
    QString TextDone() const { return TextDone_; }
    TFontEffect FontEffect() const { return FontEffect_; }
    TFontOrientation FontOrientation() const { return FontOrientation_; }
    TProEffect ProEffect() const { return ProEffect_; }

    void setForeColor(TColor v);
    void setForeLineColor(TColor v);
    void setBackColor(TColor v);
    void setBackBorderColor(TColor v);
    void setBevelColor(TColor v);
    void setColor(TColor v);
    void setFontShadowColor(TColor v);
    void setFontColor(TColor v);
    void setForeStyle(TPCColorStyle* v);
    void setBackStyle(TPCColorStyle* v);
    void setCylinderEffect(TCylinderEffect v);
    void setBevelOuter(TBevelCut v);
    void setBevelInner(TBevelCut v);
    void setBevelWidth(int v);
    void setBorderWidth(int v);
    void setOrientation(TProgressBarOrientation v);
    void setMin(int v);
    void setMax(int v);
    void setPosition(int v);
    void setStep(int v) { Step_ = v; }
    void setStopAtMax(bool v) { StopAtMax_ = v; }
    void setShowText(bool v);
    void setText(const QString& v);
    void setTextDone(const QString& v);
    void setFontEffect(TFontEffect v);
    void setFontOrientation(TFontOrientation v);
    void setProEffect(TProEffect v);
    void resetMin() { setMin(0); }

    // Whether a form writer keeps the property: everything except Min when it is 0.
    bool IsPropertyStored(const char* name) const;

    // Derived state.
    int OuterInset() const { return OuterInset_; }
    int InnerInset() const { return InnerInset_; }
    int ShadeLevel() const { return ShadeLevel_; }
    float HorizontalStep() const { return HStep_; }
    float VerticalStep() const { return VStep_; }
    float RangeFactor() const { return RangeFactor_; }
    int Percent() const { return LastPercent_; }
    int BarEnd() const { return BarEnd_; }
    int BarD() const { return LastD_; }
    bool ApplyingPreset() const { return ApplyingPreset_; }
    bool HasTextBitmap() const { return !TextBitmap_.isNull(); }
    QString DisplayText() const;

    TNotifyEvent OnProgressDone;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseLeave;

    // Draws the current frame into the off-screen bitmap and returns it; a null image when the
    // control is not yet constructed or too small for its bevels and border.
    QImage ComposeFrame();
    int RepaintRequests() const { return RepaintRequests_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    friend class TPCColorStyle;
    void StyleChanged();
    void MarkCustom();
    void Invalidate();
    void GeometryUpdate();
    void UpdateTextResources();
    bool GeometryFitsNow() const;
    void SetBevelValue(int& field, int v);
    void Shade(QImage& img) const;
    void WriteText(QImage& img);

    TColor ForeColor_ = clWhite;
    TColor ForeLineColor_ = clHighlight;
    TColor BackColor_ = clBtnFace;
    TColor BackBorderColor_ = clBlack;
    TColor BevelColor_ = clBtnFace;
    TColor Color_ = clBtnFace;
    TColor FontShadowColor_ = clBtnFace;
    TColor FontColor_ = clBlack;
    TPCColorStyle* ForeStyle_ = nullptr;
    TPCColorStyle* BackStyle_ = nullptr;
    TCylinderEffect CylinderEffect_ = ceMaximum;
    TBevelCut BevelOuter_ = bvLowered;
    TBevelCut BevelInner_ = bvRaised;
    int BevelWidth_ = 1;
    int BorderWidth_ = 2;
    TProgressBarOrientation Orientation_ = pbHorizontal;
    int Min_ = 0;
    int Max_ = 100;
    int Position_ = 0;
    int Step_ = 1;
    bool StopAtMax_ = true;
    bool ShowText_ = true;
    QString Text_ = QStringLiteral("%");
    QString TextDone_ = QStringLiteral("Done");
    TFontEffect FontEffect_ = feShadowBottomRight;
    TFontOrientation FontOrientation_ = foLeftToRight;
    TProEffect ProEffect_ = demoSystem;

    bool Constructed_ = false;
    bool ApplyingPreset_ = true;
    int ShadeLevel_ = 255;
    int ShadowOffset_ = 1;
    int OuterInset_ = 3;
    int InnerInset_ = 4;
    float HStep_ = 0;
    float VStep_ = 0;
    float RangeFactor_ = 0.01f;
    int LastD_ = -2147483647 - 1;
    int LastPercent_ = -1;
    int BarEnd_ = 0;
    QImage Offscreen_;
    QImage TextBitmap_;
    int RepaintRequests_ = 0;
};

using TCylinderEffect = TProgressCyl::TCylinderEffect;
using TFontEffect = TProgressCyl::TFontEffect;
using TFontOrientation = TProgressCyl::TFontOrientation;
using TProEffect = TProgressCyl::TProEffect;
using TBevelCut = TProgressCyl::TBevelCut;
using TProgressBarOrientation = TProgressCyl::TProgressBarOrientation;
using enum TProgressCyl::TCylinderEffect;
using enum TProgressCyl::TFontEffect;
using enum TProgressCyl::TFontOrientation;
using enum TProgressCyl::TProEffect;
using enum TProgressCyl::TBevelCut;
using enum TProgressCyl::TProgressBarOrientation;

// ---- The arithmetic of the bar, apart from the drawing ----

int ShadeLevelOf(TCylinderEffect e);
int ShadowOffsetOf(TFontEffect e);
// Escapement and orientation of the text font, in tenths of a degree.
int EscapementOf(TFontOrientation o);

// ((c * IntensityFactor + IntensityRGB) / Intensity + c) / RangeRGB, for one channel c of a
// resolved colour.
float ChannelBase(int c, const TCylStyleValues& s);
struct TChannelBases {
    float R = 0, G = 0, B = 0;
};
TChannelBases ChannelBasesOf(TColor rgb, const TCylStyleValues& s);

// Distance g of a row (or column) t from the brightest line: |trunc(innerSize / LightAngle) + t|.
int ShadeDistance(int innerSize, float lightAngle, int t);
// One channel of a shaded pixel: trunc((g * step * ColorFactor + ColorRGB) * base), 0..255.
int ShadeChannel(int g, float step, const TCylStyleValues& s, float base);
TColor ShadePixel(int g, float step, const TCylStyleValues& s, const TChannelBases& b);

struct TCylInsets {
    int Outer = 0;
    int Inner = 0;
};
TCylInsets InsetsOf(int bevelWidth, int borderWidth);
bool GeometryFits(int width, int height, int bevelWidth, int borderWidth);

float RangeFactorOf(long long min, long long max);
struct TCylProgress {
    int D = 0;
    int Percent = 0;
    int BarEnd = 0;
};
TCylProgress CylProgressOf(TProgressBarOrientation o, int width, int height, int innerInset,
                           long long position, long long min, long long max, float k);

struct TBevelPalette {
    TColor Highlight = 0, Shadow = 0, Light = 0, Dark = 0;
};
// bevelRGB is BevelColor resolved; clBtnFace itself stands for the system's own 3-D colours.
TBevelPalette BevelPaletteOf(TColor bevelColor, TColor bevelRGB);
struct TBevelPair {
    TColor TopLeft = 0, BottomRight = 0;
    friend bool operator==(const TBevelPair&, const TBevelPair&) = default;
};
TBevelPair InnerBevelOf(TBevelCut inner, TBevelCut outer, int borderWidth, const TBevelPalette& p,
                        TColor color);
TBevelPair OuterBevelOf(TBevelCut outer, TBevelCut inner, int borderWidth, const TBevelPalette& p,
                        TColor color);

QPoint CylTextStart(TFontOrientation o, int width, int height, int textWidth, int textHeight);
QString CylTextOf(int percent, const QString& text, const QString& textDone);

// ---- The preset catalogue ----

struct TProEffectPreset {
    TCylinderEffect CylinderEffect;
    TFontEffect FontEffect;
    bool SetsFontShadowColor;
    TColor FontShadowColor;
    TColor ForeColor;
    TColor BackColor;
    TColor ForeLineColor;
    TCylStyleValues BackStyle;
    TCylStyleValues ForeStyle;
    bool SetsFrame;           // the demo presets also set bevels, border and text
    TBevelCut BevelOuter;
    TBevelCut BevelInner;
    int BorderWidth;
    bool ShowText;
};
// The row of a preset; nullptr for peCustom.
const TProEffectPreset* ProEffectPresetOf(TProEffect p);
