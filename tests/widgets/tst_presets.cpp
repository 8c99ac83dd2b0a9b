// The 35 looks of the cylinder bar: each sets exactly its row and nothing else.
#include <QtTest>

#include <optional>

#include "WidgetTestUtil.h"
#include "widgets/ProgressCyl.h"

namespace {

// The shading sets, as the catalogue lists them.
const TCylStyleValues S[13] = {
    {},
    {255, 4, -1, 255, 255, -1, -3},            // S1
    {-100, 4, -1.7f, -100, -100, -1, -1.6f},   // S2
    {255, 2, -1, 153, 0, 1, -3},               // S3
    {255, 4, -1, 255, 255, 1, -3},             // S4
    {255, 3, -0.8f, 255, 200, 1, -3},          // S5
    {-100, 4, -1.7f, -100, -100, -1, -1.5f},   // S6
    {-50, 8, -1.5f, -150, -80, -1, -1.5f},     // S7
    {255, 4, -1.5f, 153, 0, 1, -3},            // S8
    {200, 4, -0.5f, 200, 200, -1.2f, -3},      // S9
    {255, 4, -1.5f, 153, 0, 1, -3.2f},         // S10
    {-100, 4, -1.5f, -80, -100, -1, -1.5f},    // S11
    {-100, 4, -1.5f, -80, -100, -1.5f, -1.5f}, // S12
};

struct Row {
    const char* Name;
    TProEffect Effect;
    TCylinderEffect Cylinder;
    TFontEffect Font;
    std::optional<TColor> Shadow;
    TColor Fore, Back, Line;
    int BackStyle, ForeStyle;
};

constexpr TColor white = clWhite, black = clBlack, gray = clGray, silver = clSilver;

const Row Rows[] = {
    {"demoSystem", demoSystem, ceMaximum, feShadowBottomRight, clBtnFace, clBtnFace, white, clHighlight, 1, 1},
    {"demoMetal", demoMetal, ceMaximum, feShadowBottomRight, white, RGB(127, 212, 255), white, black, 2, 2},
    {"demoSunken", demoSunken, ceMaximum, feInvert, black, white, RGB(128, 0, 0), RGB(255, 0, 0), 3, 1},
    {"peGlassRed", peGlassRed, ceMaximum, feNone, {}, RGB(204, 0, 0), gray, white, 4, 5},
    {"peGlassOrange", peGlassOrange, ceMaximum, feNone, {}, RGB(255, 128, 0), silver, RGB(128, 0, 0), 4, 4},
    {"peGlassYellow", peGlassYellow, ceMaximum, feNone, {}, RGB(206, 206, 0), silver, black, 4, 5},
    {"peGlassGreen", peGlassGreen, ceMaximum, feNone, {}, RGB(0, 128, 0), gray, white, 4, 4},
    {"peGlassCyan", peGlassCyan, ceMaximum, feNone, {}, RGB(0, 128, 128), silver, RGB(255, 255, 0), 4, 4},
    {"peGlassBlue", peGlassBlue, ceMaximum, feNone, {}, RGB(0, 107, 215), gray, white, 4, 5},
    {"peGlassViolet", peGlassViolet, ceMaximum, feNone, {}, RGB(102, 102, 179), silver, black, 4, 4},
    {"peGlassPurple", peGlassPurple, ceMaximum, feNone, {}, RGB(128, 0, 128), gray, white, 4, 4},
    {"peSystem1", peSystem1, ceMaximum, feShadowBottomRight, clBtnFace, clBtnFace, clWindow, clHighlight, 1, 1},
    {"peSystem2", peSystem2, ceMaximum, feShadowBottomRight, clBtnFace, clBtnFace, clWindow, clHighlight, 6, 7},
    {"peSystem3", peSystem3, ceMaximum, feShadowBottomRight, clBtnFace, clBtnShadow, clBtnFace, clWindow, 1, 1},
    {"peSystem4", peSystem4, ceMaximum, feShadowBottomRight, clBtnFace, clBtnShadow, clBtnFace, clWindow, 6, 6},
    {"peSystem5", peSystem5, ceMaximum, feInvert, {}, clWindow, clHighlight, clHighlight, 3, 1},
    {"peSystem6", peSystem6, ceMaximum, feInvert, {}, clWindow, clHighlight, clHighlight, 8, 6},
    {"peSystem7", peSystem7, ceMaximum, feInvert, {}, clHighlight, clBtnShadow, clWindow, 3, 9},
    {"peSystem8", peSystem8, ceMaximum, feInvert, {}, clHighlight, clBtnShadow, clBtnFace, 10, 11},
    {"peUpLoad1", peUpLoad1, ceHigh, feInvert, {}, RGB(185, 0, 0), clWindow, black, 1, 3},
    {"peUpLoad2", peUpLoad2, ceHigh, feInvert, {}, clBtnShadow, clBtnFace, black, 12, 10},
    {"peMetalRed", peMetalRed, ceMaximum, feShadowBottomRight, clBtnFace, RGB(255, 0, 0), white, black, 6, 6},
    {"peMetalOrange", peMetalOrange, ceMaximum, feShadowBottomRight, clBtnFace, RGB(255, 150, 0), white, black, 6, 6},
    {"peMetalYellow", peMetalYellow, ceMaximum, feShadowBottomRight, clBtnFace, RGB(255, 255, 0), white, black, 6, 6},
    {"peMetalCyan", peMetalCyan, ceMaximum, feShadowBottomRight, clBtnFace, RGB(0, 255, 255), white, black, 6, 6},
    {"peMetalGreen", peMetalGreen, ceMaximum, feShadowBottomRight, clBtnFace, RGB(0, 255, 64), white, black, 6, 6},
    {"peMetalLightBlue", peMetalLightBlue, ceMaximum, feShadowBottomRight, clBtnFace, RGB(127, 212, 255), white, black, 6, 6},
    {"peMetalBlue", peMetalBlue, ceMaximum, feShadowBottomRight, clBtnFace, RGB(0, 155, 230), white, black, 6, 6},
    {"peMetalViolet", peMetalViolet, ceMaximum, feShadowBottomRight, clBtnFace, RGB(155, 155, 206), white, black, 6, 6},
    {"peMetalDarkGray", peMetalDarkGray, ceMaximum, feShadowBottomRight, clBtnFace, RGB(137, 139, 152), white, black, 6, 6},
    {"peMetalGold", peMetalGold, ceMaximum, feShadowBottomRight, clBtnFace, RGB(255, 204, 129), white, black, 6, 6},
    {"peStdRed", peStdRed, ceMaximum, feInvert, {}, RGB(204, 0, 0), RGB(102, 0, 0), white, 3, 1},
    {"peStdYellow", peStdYellow, ceMaximum, feInvert, {}, RGB(255, 255, 0), RGB(153, 153, 0), white, 3, 1},
    {"peStdGreen", peStdGreen, ceMaximum, feInvert, {}, RGB(0, 255, 51), RGB(0, 128, 64), white, 3, 1},
    {"peStdBlue", peStdBlue, ceMaximum, feInvert, {}, RGB(0, 107, 215), RGB(29, 48, 99), white, 3, 1},
};

constexpr TColor Sentinel = RGB(1, 2, 3);

// Values no preset sets, so that a preset that touches them shows.
void SetSentinels(TProgressCyl& b, bool showText)
{
    b.resize(200, 60);
    b.setFontColor(Sentinel);
    b.setBackBorderColor(Sentinel);
    b.setColor(Sentinel);
    b.setBevelColor(Sentinel);
    b.setFontShadowColor(Sentinel);
    b.setCylinderEffect(ceLow);
    b.setBevelOuter(bvSpace);
    b.setBevelInner(bvSpace);
    b.setBevelWidth(2);
    b.setBorderWidth(1);
    b.setShowText(showText);
    b.setOrientation(pbVertical);
    b.setFontOrientation(foTopToBottom);
    b.setText(QStringLiteral(" pc"));
    b.setTextDone(QStringLiteral("ok"));
    b.setMax(50);
    b.setMin(10);
    b.setPosition(20);
    b.setStep(3);
    b.setStopAtMax(false);
    b.hide();
}

}  // namespace

class TestPresets : public QObject {
    Q_OBJECT

private slots:
    void catalogueCoversEveryLook()
    {
        QCOMPARE(int(std::size(Rows)), 35);
        QCOMPARE(QMetaEnum::fromType<TProgressCyl::TProEffect>().keyCount(), 36);
        QVERIFY(ProEffectPresetOf(peCustom) == nullptr);
        for (const Row& r : Rows)
            QVERIFY(ProEffectPresetOf(r.Effect) != nullptr);
    }

    void appliesExactlyItsRow_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("showTextBefore");
        for (int i = 0; i < int(std::size(Rows)); ++i) {
            QTest::newRow(Rows[i].Name) << i << false;
            QTest::newRow(QByteArray(Rows[i].Name) + " (text shown)") << i << true;
        }
    }
    void appliesExactlyItsRow()
    {
        QFETCH(int, row);
        QFETCH(bool, showTextBefore);
        const Row& r = Rows[row];
        TProgressCyl b;
        b.setPalette(wt::KnownPalette());
        SetSentinels(b, showTextBefore);
        QVERIFY(b.isHidden());

        b.setProEffect(r.Effect);

        QCOMPARE(b.ProEffect(), r.Effect);
        QVERIFY(!b.ApplyingPreset());
        QVERIFY(!b.isHidden());
        QCOMPARE(b.CylinderEffect(), r.Cylinder);
        QCOMPARE(b.FontEffect(), r.Font);
        QCOMPARE(b.FontShadowColor(), r.Shadow.value_or(Sentinel));
        QCOMPARE(b.ForeColor(), r.Fore);
        QCOMPARE(b.BackColor(), r.Back);
        QCOMPARE(b.ForeLineColor(), r.Line);
        QCOMPARE(b.BackStyle()->Values(), S[r.BackStyle]);
        QCOMPARE(b.ForeStyle()->Values(), S[r.ForeStyle]);
        // Common to every look.
        QCOMPARE(b.FontColor(), clBlack);
        QCOMPARE(b.BackBorderColor(), clBlack);
        QCOMPARE(b.Color(), clBtnFace);
        QCOMPARE(b.BevelColor(), clBtnFace);
        QCOMPARE(b.HasTextBitmap(), b.ShowText() && r.Font == feInvert);

        // Bevels, border and text: only the demo looks set them.
        switch (r.Effect) {
        case demoSystem:
            QCOMPARE(b.BevelOuter(), bvLowered);
            QCOMPARE(b.BevelInner(), bvRaised);
            QCOMPARE(b.BorderWidth(), 2);
            QCOMPARE(b.ShowText(), true);
            break;
        case demoMetal:
            QCOMPARE(b.BevelOuter(), bvNone);
            QCOMPARE(b.BevelInner(), bvLowered);
            QCOMPARE(b.BorderWidth(), 2);
            QCOMPARE(b.ShowText(), false);
            break;
        case demoSunken:
            QCOMPARE(b.BevelOuter(), bvNone);
            QCOMPARE(b.BevelInner(), bvRaised);
            QCOMPARE(b.BorderWidth(), 2);
            QCOMPARE(b.ShowText(), true);
            break;
        default:
            QCOMPARE(b.BevelOuter(), bvSpace);
            QCOMPARE(b.BevelInner(), bvSpace);
            QCOMPARE(b.BorderWidth(), 1);
            QCOMPARE(b.ShowText(), showTextBefore);
            break;
        }
        // Never touched by a look.
        QCOMPARE(b.BevelWidth(), 2);
        QCOMPARE(b.Orientation(), pbVertical);
        QCOMPARE(b.FontOrientation(), foTopToBottom);
        QCOMPARE(b.Text(), QStringLiteral(" pc"));
        QCOMPARE(b.TextDone(), QStringLiteral("ok"));
        QCOMPARE(b.Min(), 10);
        QCOMPARE(b.Max(), 50);
        QCOMPARE(b.Position(), 20);
        QCOMPARE(b.Step(), 3);
        QCOMPARE(b.StopAtMax(), false);

        // The look draws.
        QVERIFY(!b.ComposeFrame().isNull());
        // A form that stores Visible false after ProEffect loads hidden.
        b.setVisible(false);
        QVERIFY(b.isHidden());
        // A manual colour change afterwards is a custom look; a bevel width change is not.
        b.setBevelWidth(1);
        QCOMPARE(b.ProEffect(), r.Effect);
        b.setForeColor(r.Fore);
        QCOMPARE(b.ProEffect(), peCustom);
    }

    void customChangesOnlyTheStoredValue()
    {
        TProgressCyl b;
        SetSentinels(b, true);
        const TCylStyleValues fore = b.ForeStyle()->Values();
        const int repaints = b.RepaintRequests();
        b.setProEffect(peCustom);
        QCOMPARE(b.ProEffect(), peCustom);
        QVERIFY(b.isHidden());
        QCOMPARE(b.ForeColor(), clWhite);
        QCOMPARE(b.BackBorderColor(), Sentinel);
        QCOMPARE(b.CylinderEffect(), ceLow);
        QCOMPARE(b.ForeStyle()->Values(), fore);
        QCOMPARE(b.RepaintRequests(), repaints);
    }

    void demoSystemIsTheMainWindowBar()
    {
        TProgressCyl b;
        b.resize(260, 25);
        b.setProEffect(demoSystem);
        QCOMPARE(b.BackBorderColor(), clBlack);
        QCOMPARE(b.BackColor(), clWhite);
        QCOMPARE(b.BackStyle()->Values(), (TCylStyleValues{255, 4, -1, 255, 255, -1, -3}));
        QCOMPARE(b.ForeStyle()->Values(), (TCylStyleValues{255, 4, -1, 255, 255, -1, -3}));
        QCOMPARE(b.BevelColor(), clBtnFace);
        QCOMPARE(b.BevelInner(), bvRaised);
        QCOMPARE(b.BevelOuter(), bvLowered);
        QCOMPARE(b.BevelWidth(), 1);
        QCOMPARE(b.BorderWidth(), 2);
        QCOMPARE(b.Color(), clBtnFace);
        QCOMPARE(b.CylinderEffect(), ceMaximum);
        QCOMPARE(b.FontEffect(), feShadowBottomRight);
        QCOMPARE(b.FontOrientation(), foLeftToRight);
        QCOMPARE(b.FontShadowColor(), clBtnFace);
        QCOMPARE(b.ForeColor(), clBtnFace);
        QCOMPARE(b.ForeLineColor(), clHighlight);
        QCOMPARE(b.Max(), 100);
        QCOMPARE(b.Orientation(), pbHorizontal);
        QCOMPARE(b.Position(), 0);
        QCOMPARE(b.ShowText(), true);
        QCOMPARE(b.Text(), QStringLiteral("%"));
        QCOMPARE(b.TextDone(), QStringLiteral("Done"));
        QCOMPARE(b.Step(), 1);
        QCOMPARE(b.StopAtMax(), true);
        QCOMPARE(b.ProEffect(), demoSystem);
    }
};

QTEST_MAIN(TestPresets)
#include "tst_presets.moc"
