// Helpers shared by the widget tests: a palette with known system colours and pixel access in
// the controls' colour layout.
#pragma once

#include <QImage>
#include <QPalette>

#include "widgets/Colors.h"
#include "widgets/GdiCanvas.h"

Q_DECLARE_METATYPE(TRect)

inline char* toString(const TRect& r)
{
    return qstrdup(QStringLiteral("(%1, %2)-(%3, %4)")
                       .arg(r.Left).arg(r.Top).arg(r.Right).arg(r.Bottom).toUtf8().constData());
}

namespace wt {

constexpr TColor Face = RGB(200, 200, 200);        // clBtnFace
constexpr TColor Window = RGB(250, 250, 240);      // clWindow
constexpr TColor Highlight = RGB(0, 0, 200);       // clHighlight
constexpr TColor BtnHighlight = RGB(255, 255, 250);
constexpr TColor BtnShadow = RGB(128, 120, 128);
constexpr TColor Light3D = RGB(230, 230, 230);
constexpr TColor DkShadow = RGB(40, 40, 40);

inline QColor Q(TColor c)
{
    return QColor::fromRgb(ToQRgb(c));
}

inline QPalette KnownPalette()
{
    QPalette p;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Button, Q(Face));
        p.setColor(group, QPalette::Base, Q(Window));
        p.setColor(group, QPalette::Highlight, Q(Highlight));
        p.setColor(group, QPalette::Light, Q(BtnHighlight));
        p.setColor(group, QPalette::Dark, Q(BtnShadow));
        p.setColor(group, QPalette::Midlight, Q(Light3D));
        p.setColor(group, QPalette::Shadow, Q(DkShadow));
    }
    return p;
}

inline TColor Px(const QImage& img, int x, int y)
{
    return FromQRgb(img.pixel(x, y));
}

inline TColor Inverted(TColor c)
{
    return RGB(255 - GetRValue(c), 255 - GetGValue(c), 255 - GetBValue(c));
}

// Compares a frame drawn with exclusive-or text against the same frame without it: every pixel
// must be unchanged or exactly inverted. Returns the number of inverted pixels and their bounds.
struct XorDiff {
    bool OnlyInversions = true;
    int Inverted = 0;
    QRect Bounds;
};

inline XorDiff CompareXor(const QImage& plain, const QImage& withText)
{
    XorDiff d;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            const TColor a = Px(plain, x, y), b = Px(withText, x, y);
            if (a == b)
                continue;
            if (b != wt::Inverted(a))
                d.OnlyInversions = false;
            ++d.Inverted;
            d.Bounds |= QRect(x, y, 1, 1);
        }
    return d;
}

}  // namespace wt
