// The ready-made looks of the cylinder bar, one row per TProEffect value.
#include "widgets/ProgressCyl.h"

#include <array>

namespace {

// The shading parameter sets the looks share:
// IntensityRGB, Intensity, IntensityFactor, RangeRGB, ColorRGB, ColorFactor, LightAngle.
constexpr TCylStyleValues S1{255, 4, -1, 255, 255, -1, -3};
constexpr TCylStyleValues S2{-100, 4, -1.7f, -100, -100, -1, -1.6f};
constexpr TCylStyleValues S3{255, 2, -1, 153, 0, 1, -3};
constexpr TCylStyleValues S4{255, 4, -1, 255, 255, 1, -3};
constexpr TCylStyleValues S5{255, 3, -0.8f, 255, 200, 1, -3};
constexpr TCylStyleValues S6{-100, 4, -1.7f, -100, -100, -1, -1.5f};
constexpr TCylStyleValues S7{-50, 8, -1.5f, -150, -80, -1, -1.5f};
constexpr TCylStyleValues S8{255, 4, -1.5f, 153, 0, 1, -3};
constexpr TCylStyleValues S9{200, 4, -0.5f, 200, 200, -1.2f, -3};
constexpr TCylStyleValues S10{255, 4, -1.5f, 153, 0, 1, -3.2f};
constexpr TCylStyleValues S11{-100, 4, -1.5f, -80, -100, -1, -1.5f};
constexpr TCylStyleValues S12{-100, 4, -1.5f, -80, -100, -1.5f, -1.5f};

constexpr TProEffectPreset Plain(TCylinderEffect ce, TFontEffect fe, TColor fore, TColor back,
                                 TColor line, TCylStyleValues backStyle, TCylStyleValues foreStyle)
{
    return {ce, fe, false, 0, fore, back, line, backStyle, foreStyle, false, bvNone, bvNone, 0, false};
}

constexpr TProEffectPreset Shadowed(TColor shadow, TColor fore, TColor back, TColor line,
                                    TCylStyleValues backStyle, TCylStyleValues foreStyle)
{
    return {ceMaximum, feShadowBottomRight, true, shadow, fore, back, line, backStyle, foreStyle,
            false, bvNone, bvNone, 0, false};
}

constexpr TProEffectPreset Metal(TColor fore)
{
    return Shadowed(clBtnFace, fore, clWhite, clBlack, S6, S6);
}

constexpr TProEffectPreset Glass(TColor fore, TColor back, TColor line, TCylStyleValues foreStyle)
{
    return Plain(ceMaximum, feNone, fore, back, line, S4, foreStyle);
}

constexpr TProEffectPreset Std(TColor fore, TColor back)
{
    return Plain(ceMaximum, feInvert, fore, back, clWhite, S3, S1);
}

constexpr std::array<TProEffectPreset, 36> Presets{{
    // demoSystem
    {ceMaximum, feShadowBottomRight, true, clBtnFace, clBtnFace, clWhite, clHighlight, S1, S1,
     true, bvLowered, bvRaised, 2, true},
    // demoMetal
    {ceMaximum, feShadowBottomRight, true, clWhite, RGB(127, 212, 255), clWhite, clBlack, S2, S2,
     true, bvNone, bvLowered, 2, false},
    // demoSunken
    {ceMaximum, feInvert, true, clBlack, clWhite, RGB(128, 0, 0), RGB(255, 0, 0), S3, S1,
     true, bvNone, bvRaised, 2, true},
    // peCustom: names no look.
    {},
    Glass(RGB(204, 0, 0), clGray, clWhite, S5),                 // peGlassRed
    Glass(RGB(255, 128, 0), clSilver, RGB(128, 0, 0), S4),      // peGlassOrange
    Glass(RGB(206, 206, 0), clSilver, clBlack, S5),             // peGlassYellow
    Glass(RGB(0, 128, 0), clGray, clWhite, S4),                 // peGlassGreen
    Glass(RGB(0, 128, 128), clSilver, RGB(255, 255, 0), S4),    // peGlassCyan
    Glass(RGB(0, 107, 215), clGray, clWhite, S5),               // peGlassBlue
    Glass(RGB(102, 102, 179), clSilver, clBlack, S4),           // peGlassViolet
    Glass(RGB(128, 0, 128), clGray, clWhite, S4),               // peGlassPurple
    Shadowed(clBtnFace, clBtnFace, clWindow, clHighlight, S1, S1),     // peSystem1
    Shadowed(clBtnFace, clBtnFace, clWindow, clHighlight, S6, S7),     // peSystem2
    Shadowed(clBtnFace, clBtnShadow, clBtnFace, clWindow, S1, S1),     // peSystem3
    Shadowed(clBtnFace, clBtnShadow, clBtnFace, clWindow, S6, S6),     // peSystem4
    Plain(ceMaximum, feInvert, clWindow, clHighlight, clHighlight, S3, S1),      // peSystem5
    Plain(ceMaximum, feInvert, clWindow, clHighlight, clHighlight, S8, S6),      // peSystem6
    Plain(ceMaximum, feInvert, clHighlight, clBtnShadow, clWindow, S3, S9),      // peSystem7
    Plain(ceMaximum, feInvert, clHighlight, clBtnShadow, clBtnFace, S10, S11),   // peSystem8
    Plain(ceHigh, feInvert, RGB(185, 0, 0), clWindow, clBlack, S1, S3),          // peUpLoad1
    Plain(ceHigh, feInvert, clBtnShadow, clBtnFace, clBlack, S12, S10),          // peUpLoad2
    Metal(RGB(255, 0, 0)),          // peMetalRed
    Metal(RGB(255, 150, 0)),        // peMetalOrange
    Metal(RGB(255, 255, 0)),        // peMetalYellow
    Metal(RGB(0, 255, 255)),        // peMetalCyan
    Metal(RGB(0, 255, 64)),         // peMetalGreen
    Metal(RGB(127, 212, 255)),      // peMetalLightBlue
    Metal(RGB(0, 155, 230)),        // peMetalBlue
    Metal(RGB(155, 155, 206)),      // peMetalViolet
    Metal(RGB(137, 139, 152)),      // peMetalDarkGray
    Metal(RGB(255, 204, 129)),      // peMetalGold
    Std(RGB(204, 0, 0), RGB(102, 0, 0)),      // peStdRed
    Std(RGB(255, 255, 0), RGB(153, 153, 0)),  // peStdYellow
    Std(RGB(0, 255, 51), RGB(0, 128, 64)),    // peStdGreen
    Std(RGB(0, 107, 215), RGB(29, 48, 99)),   // peStdBlue
}};

}  // namespace

const TProEffectPreset* ProEffectPresetOf(TProEffect p)
{
    if (p == peCustom || p < 0 || static_cast<std::size_t>(p) >= Presets.size())
        return nullptr;
    return &Presets[static_cast<std::size_t>(p)];
}

void TProgressCyl::setProEffect(TProEffect v)
{
    ProEffect_ = v;
    const TProEffectPreset* p = ProEffectPresetOf(v);
    if (!p)
        return;
    // Every setter below repaints at once; hidden, none of them draws.
    ApplyingPreset_ = true;
    hide();
    setFontColor(clBlack);
    setBackBorderColor(clBlack);
    setColor(clBtnFace);
    setBevelColor(clBtnFace);
    setCylinderEffect(p->CylinderEffect);
    setFontEffect(p->FontEffect);
    if (p->SetsFontShadowColor)
        setFontShadowColor(p->FontShadowColor);
    setForeColor(p->ForeColor);
    setBackColor(p->BackColor);
    setForeLineColor(p->ForeLineColor);
    BackStyle_->Assign(p->BackStyle);
    ForeStyle_->Assign(p->ForeStyle);
    if (p->SetsFrame) {
        setBevelOuter(p->BevelOuter);
        setBevelInner(p->BevelInner);
        setBorderWidth(p->BorderWidth);
        setShowText(p->ShowText);
    }
    show();
    ApplyingPreset_ = false;
}
