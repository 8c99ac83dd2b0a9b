// The cylinder progress bar: shading arithmetic, range and position rules, setter rules and
// the drawn frame.
#include <QtTest>

#include <random>

#include "WidgetTestUtil.h"
#include "widgets/ProgressCyl.h"

namespace {

// The bar as the main window configures it.
void MainWindowBar(TProgressCyl& b)
{
    b.resize(260, 25);
    b.setPalette(wt::KnownPalette());
    b.setProEffect(demoSystem);   // the form's values, see the preset tests
    b.setProEffect(demoSystem);
}

int Channel(TColor c)
{
    return GetRValue(c);
}

}  // namespace

class TestProgressCyl : public QObject {
    Q_OBJECT

private slots:
    void initialValues()
    {
        TProgressCyl b;
        QCOMPARE(b.size(), QSize(150, 22));
        QCOMPARE(b.ForeColor(), clWhite);
        QCOMPARE(b.ForeLineColor(), clHighlight);
        QCOMPARE(b.BackColor(), clBtnFace);
        QCOMPARE(b.BackBorderColor(), clBlack);
        QCOMPARE(b.BevelColor(), clBtnFace);
        QCOMPARE(b.Color(), clBtnFace);
        QCOMPARE(b.FontShadowColor(), clBtnFace);
        QCOMPARE(b.ForeStyle()->Values(), TCylStyleValues{});
        QCOMPARE(b.BackStyle()->Values(), (TCylStyleValues{255, 4, -1, 255, 255, -1, -3}));
        QCOMPARE(b.CylinderEffect(), ceMaximum);
        QCOMPARE(b.BevelOuter(), bvLowered);
        QCOMPARE(b.BevelInner(), bvRaised);
        QCOMPARE(b.BevelWidth(), 1);
        QCOMPARE(b.BorderWidth(), 2);
        QCOMPARE(b.Orientation(), pbHorizontal);
        QCOMPARE(b.Min(), 0);
        QCOMPARE(b.Max(), 100);
        QCOMPARE(b.Position(), 0);
        QCOMPARE(b.Step(), 1);
        QVERIFY(b.StopAtMax());
        QVERIFY(b.ShowText());
        QCOMPARE(b.Text(), QStringLiteral("%"));
        QCOMPARE(b.TextDone(), QStringLiteral("Done"));
        QCOMPARE(b.FontEffect(), feShadowBottomRight);
        QCOMPARE(b.FontOrientation(), foLeftToRight);
        QCOMPARE(b.font().family(), QStringLiteral("Arial"));
        QCOMPARE(b.font().pointSize(), 9);
        QVERIFY(b.font().bold());
        QCOMPARE(b.FontColor(), clBlack);
        QCOMPARE(b.ProEffect(), demoSystem);
        QVERIFY(!b.ApplyingPreset());
        QCOMPARE(b.ShadeLevel(), 255);
        QCOMPARE(b.OuterInset(), 3);
        QCOMPARE(b.InnerInset(), 4);
        // Every value is kept by a form writer except a zero Min.
        QVERIFY(!b.IsPropertyStored("Min"));
        QVERIFY(b.IsPropertyStored("Max"));
        QVERIFY(b.IsPropertyStored("ForeColor"));
        b.setMin(5);
        QVERIFY(b.IsPropertyStored("Min"));
        // Properties reach the setters by name, as a window layout sets them.
        QVERIFY(b.setProperty("ProEffect", QVariant::fromValue(TProgressCyl::peMetalGold)));
        QCOMPARE(b.ProEffect(), peMetalGold);
    }

    void channelBase()
    {
        const TCylStyleValues s;
        QCOMPARE(ChannelBase(255, s), 1.0f);
        QCOMPARE(ChannelBase(0, s), 0.25f);
        QVERIFY(std::abs(ChannelBase(200, s) - 855.0f / 1020) < 1e-6);
        const TChannelBases b = ChannelBasesOf(RGB(255, 0, 200), s);
        QCOMPARE(b.R, 1.0f);
        QCOMPARE(b.G, 0.25f);
        // A metal style darkens towards the middle of its range.
        const TCylStyleValues s6{-100, 4, -1.7f, -100, -100, -1, -1.5f};
        QVERIFY(std::abs(ChannelBase(255, s6) - ((255 * -1.7 - 100) / 4 + 255) / -100) < 1e-5);
    }

    void shadingColumn()
    {
        // Main window bar, white background, initial styles: inner height 17, step 15.
        const TCylStyleValues s;
        const float step = 255 / 17;
        std::vector<int> column;
        for (int t = 0; t < 17; ++t)
            column.push_back(ShadeChannel(ShadeDistance(17, s.LightAngle, t), step, s, 1.0f));
        QCOMPARE(column, (std::vector<int>{180, 195, 210, 225, 240, 255, 240, 225, 210, 195, 180,
                                           165, 150, 135, 120, 105, 90}));
        // Clamped to a byte either way.
        QCOMPARE(ShadeChannel(0, 15, TCylStyleValues{255, 4, -1, 255, 400, -1, -3}, 1.0f), 255);
        QCOMPARE(ShadeChannel(30, 15, s, 1.0f), 0);
        QCOMPARE(ShadeDistance(17, -1.6f, 0), 10);
        QCOMPARE(ShadeDistance(17, 3.0f, 2), 7);
    }

    void positionArithmetic_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<qlonglong>("min");
        QTest::addColumn<qlonglong>("max");
        QTest::addColumn<qlonglong>("position");
        QTest::addColumn<int>("d");
        QTest::addColumn<int>("barEnd");
        QTest::addColumn<int>("percent");
        QTest::newRow("main bar 50") << int(pbHorizontal) << 260 << 25 << 0LL << 100LL << 50LL << 134 << 130 << 50;
        QTest::newRow("main bar 0") << int(pbHorizontal) << 260 << 25 << 0LL << 100LL << 0LL << 8 << 5 << 0;
        QTest::newRow("main bar 100") << int(pbHorizontal) << 260 << 25 << 0LL << 100LL << 100LL << 260 << 256 << 100;
        QTest::newRow("half rounds to even") << int(pbHorizontal) << 260 << 25 << 0LL << 200LL << 1LL << 9 << 5 << 0;
        QTest::newRow("vertical 0") << int(pbVertical) << 25 << 100 << 0LL << 100LL << 0LL << 8 << 96 << 0;
        QTest::newRow("vertical 50") << int(pbVertical) << 25 << 100 << 0LL << 100LL << 50LL << 54 << 50 << 50;
        QTest::newRow("vertical 100") << int(pbVertical) << 25 << 100 << 0LL << 100LL << 100LL << 100 << 4 << 100;
        // The whole 32-bit range: the products are taken wide enough not to wrap.
        QTest::newRow("full range top") << int(pbHorizontal) << 260 << 25 << -2147483648LL << 2147483647LL
                                        << 2147483647LL << 260 << 256 << 100;
        QTest::newRow("full range middle") << int(pbHorizontal) << 260 << 25 << -2147483648LL << 2147483647LL
                                           << 0LL << 134 << 130 << 50;
    }
    void positionArithmetic()
    {
        QFETCH(int, orientation);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(qlonglong, min);
        QFETCH(qlonglong, max);
        QFETCH(qlonglong, position);
        QFETCH(int, d);
        QFETCH(int, barEnd);
        QFETCH(int, percent);
        const TCylProgress p = CylProgressOf(TProgressBarOrientation(orientation), width, height, 4,
                                             position, min, max, RangeFactorOf(min, max));
        QCOMPARE(p.D, d);
        QCOMPARE(p.BarEnd, barEnd);
        QCOMPARE(p.Percent, percent);
    }

    void positionOnTheControl()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setPosition(50);
        QCOMPARE(b.BarD(), 134);
        QCOMPARE(b.BarEnd(), 130);
        QCOMPARE(b.Percent(), 50);
        b.setPosition(0);
        QCOMPARE(b.BarEnd(), 5);
        b.setPosition(100);
        QCOMPARE(b.BarEnd(), 256);
        b.setMin(-2147483647 - 1);
        b.setMax(2147483647);
        b.setPosition(0);
        QCOMPARE(b.BarEnd(), 130);
    }

    void minAndMaxNeverCross()
    {
        TProgressCyl b;
        b.setMin(100);                  // the current Max: Max - 1
        QCOMPARE(b.Min(), 99);
        QCOMPARE(b.Position(), 99);     // raised with it
        b.setMin(150);                  // above Max: nothing stored
        QCOMPARE(b.Min(), 99);
        b.setMax(99);                   // the current Min: Min + 1
        QCOMPARE(b.Max(), 100);
        b.setMax(10);
        QCOMPARE(b.Max(), 100);
        b.setMin(0);
        b.setPosition(80);
        b.setMax(60);
        QCOMPARE(b.Position(), 60);
        QCOMPARE(b.RangeFactor(), 1.0f / 60);

        std::mt19937 rng(7);
        std::uniform_int_distribution<int> v(-6, 6);
        for (int i = 0; i < 2000; ++i) {
            switch (rng() % 3) {
            case 0: b.setMin(v(rng)); break;
            case 1: b.setMax(v(rng)); break;
            default: b.setPosition(v(rng)); break;
            }
            QVERIFY(b.Min() < b.Max());
            QVERIFY(b.Min() <= b.Position() && b.Position() <= b.Max());
        }
    }

    void progressDoneFiringRules()
    {
        TProgressCyl b;
        MainWindowBar(b);
        QList<QObject*> senders;
        b.OnProgressDone = [&senders](QObject* s) { senders.append(s); };
        b.setPosition(150);
        QCOMPARE(b.Position(), 100);
        QCOMPARE(senders.size(), 1);
        QCOMPARE(senders.first(), &b);
        b.setPosition(100);
        QCOMPARE(senders.size(), 1);
        b.setPosition(99);
        b.setPosition(100);
        QCOMPARE(senders.size(), 2);
        b.OnProgressDone = nullptr;
        b.setPosition(0);
        b.setPosition(100);   // unassigned: nothing to call
    }

    void stepsThatChangeNothingDrawNothing()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setMax(100000);
        b.setPosition(0);
        const int n = b.RepaintRequests();
        b.setPosition(1);
        b.setPosition(2);
        QCOMPARE(b.RepaintRequests(), n);
        b.setPosition(500);   // moves the percentage and the bar end
        QCOMPARE(b.RepaintRequests(), n + 1);
    }

    void displayText()
    {
        TProgressCyl b;
        b.setPosition(45);
        QCOMPARE(b.DisplayText(), QStringLiteral("45%"));
        b.setPosition(100);
        QCOMPARE(b.DisplayText(), QStringLiteral("Done"));
        b.setTextDone(QString());
        QCOMPARE(b.DisplayText(), QStringLiteral("100%"));
        QCOMPARE(CylTextOf(7, QStringLiteral(" percent"), QStringLiteral("x")), QStringLiteral("7 percent"));
    }

    void refusedStyleValues()
    {
        TProgressCyl b;
        b.setProEffect(peStdBlue);
        const TCylStyleValues before = b.ForeStyle()->Values();
        b.ForeStyle()->setIntensity(0);
        b.ForeStyle()->setLightAngle(0);
        b.BackStyle()->setRangeRGB(0);
        QCOMPARE(b.ForeStyle()->Values(), before);
        QCOMPARE(b.BackStyle()->RangeRGB(), 153);
        QCOMPARE(b.ProEffect(), peStdBlue);
        b.ForeStyle()->setIntensity(4);     // unchanged value: still no switch
        QCOMPARE(b.ProEffect(), peStdBlue);
        b.ForeStyle()->setLightAngle(-2);
        QCOMPARE(b.ProEffect(), peCustom);
    }

    void whichSettersSwitchToCustom_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("custom");
        QTest::newRow("ForeColor") << "ForeColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("ForeColor same value") << "ForeColor" << QVariant(uint(RGB(0, 107, 215))) << true;
        QTest::newRow("ForeLineColor") << "ForeLineColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("BackColor") << "BackColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("BevelColor") << "BevelColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("BackBorderColor") << "BackBorderColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("BackBorderColor same") << "BackBorderColor" << QVariant(uint(clBlack)) << false;
        QTest::newRow("FontShadowColor") << "FontShadowColor" << QVariant(uint(clRed)) << true;
        QTest::newRow("FontEffect") << "FontEffect" << QVariant::fromValue(TProgressCyl::feNone) << true;
        QTest::newRow("CylinderEffect") << "CylinderEffect" << QVariant::fromValue(TProgressCyl::ceLow) << true;
        QTest::newRow("BevelWidth") << "BevelWidth" << QVariant(2) << false;
        QTest::newRow("BorderWidth") << "BorderWidth" << QVariant(1) << false;
        QTest::newRow("BevelOuter") << "BevelOuter" << QVariant::fromValue(TProgressCyl::bvRaised) << false;
        QTest::newRow("Orientation") << "Orientation" << QVariant::fromValue(TProgressCyl::pbVertical) << false;
        QTest::newRow("ShowText") << "ShowText" << QVariant(false) << false;
        QTest::newRow("Position") << "Position" << QVariant(40) << false;
        QTest::newRow("Text") << "Text" << QVariant(QStringLiteral(" pc")) << false;
    }
    void whichSettersSwitchToCustom()
    {
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(bool, custom);
        TProgressCyl b;
        b.setProEffect(peStdBlue);
        QVERIFY(b.setProperty(property.toLatin1().constData(), value));
        QCOMPARE(b.ProEffect(), custom ? peCustom : peStdBlue);
    }

    void geometryRefusals()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setBevelWidth(6);          // 2 x InnerInset would reach the height
        QCOMPARE(b.BevelWidth(), 1);
        b.setBevelWidth(5);          // InnerInset 12 still leaves one row
        QCOMPARE(b.BevelWidth(), 5);
        QCOMPARE(b.InnerInset(), 12);
        QCOMPARE(b.OuterInset(), 7);
        b.setBorderWidth(3);
        QCOMPARE(b.BorderWidth(), 2);
        b.setBevelWidth(1);
        b.setBevelWidth(0);          // a bevel is at least one pixel wide
        QCOMPARE(b.BevelWidth(), 1);
        b.setBorderWidth(-1);
        QCOMPARE(b.BorderWidth(), 2);
        b.setBorderWidth(2147483647);
        b.setBevelWidth(2147483647);
        QCOMPARE(b.BorderWidth(), 2);
        QCOMPARE(b.BevelWidth(), 1);

        QVERIFY(GeometryFits(10, 10, 1, 2));
        QVERIFY(!GeometryFits(8, 8, 1, 2));
        QVERIFY(!GeometryFits(0, 30, 1, 0));
        // Too small for its bevels: nothing is drawn, nothing breaks.
        b.resize(8, 8);
        QVERIFY(b.ComposeFrame().isNull());
        b.grab();
        b.setCylinderEffect(ceLow);     // inner height 0: no shade step from it
        b.resize(260, 25);
        QVERIFY(!b.ComposeFrame().isNull());
    }

    void shadeSteps()
    {
        TProgressCyl b;
        MainWindowBar(b);
        QCOMPARE(b.VerticalStep(), 15.0f);
        QCOMPARE(b.HorizontalStep(), 1.0f);   // 255 div 252
        b.setCylinderEffect(ceFlat);
        QCOMPARE(b.ShadeLevel(), 1);
        QCOMPARE(b.VerticalStep(), 0.0f);
        const int levels[] = {1, 51, 102, 153, 204, 255};
        for (int e = ceFlat; e <= ceMaximum; ++e)
            QCOMPARE(ShadeLevelOf(TCylinderEffect(e)), levels[e]);
    }

    void orientationResetsFontOrientation()
    {
        TProgressCyl b;
        b.setFontOrientation(foTopToBottom);
        b.setOrientation(pbVertical);
        QCOMPARE(b.FontOrientation(), foBottomToTop);
        b.setFontOrientation(foTopToBottom);
        b.setOrientation(pbHorizontal);
        QCOMPARE(b.FontOrientation(), foLeftToRight);
    }

    void textBitmapLifetime()
    {
        TProgressCyl b;
        QVERIFY(!b.HasTextBitmap());
        b.setFontEffect(feInvert);
        QVERIFY(b.HasTextBitmap());
        b.setShowText(false);
        QVERIFY(!b.HasTextBitmap());
        b.setShowText(true);
        QVERIFY(b.HasTextBitmap());
        b.setFontEffect(feShadowTopLeft);
        QVERIFY(!b.HasTextBitmap());
        QCOMPARE(ShadowOffsetOf(feShadowTopLeft), -1);
        QCOMPARE(ShadowOffsetOf(feShadowBottomRight), 1);
        QCOMPARE(ShadowOffsetOf(feInvert), 0);
        QCOMPARE(EscapementOf(foLeftToRight), 1);
        QCOMPARE(EscapementOf(foTopToBottom), 2700);
        QCOMPARE(EscapementOf(foBottomToTop), 900);
    }

    void bevelColours()
    {
        const TBevelPalette sys = BevelPaletteOf(clBtnFace, wt::Face);
        QCOMPARE(sys.Highlight, clBtnHighlight);
        QCOMPARE(sys.Shadow, clBtnShadow);
        QCOMPARE(sys.Light, cl3DLight);
        QCOMPARE(sys.Dark, cl3DDkShadow);
        const TBevelPalette own = BevelPaletteOf(RGB(100, 200, 30), RGB(100, 200, 30));
        QCOMPARE(own.Highlight, RGB(164, 255, 94));
        QCOMPARE(own.Shadow, RGB(36, 136, 0));
        QCOMPARE(own.Light, own.Highlight);
        QCOMPARE(own.Dark, own.Shadow);

        const TBevelPalette p{1, 2, 3, 4};   // highlight, shadow, light, dark
        const TColor c = 9;
        QCOMPARE(InnerBevelOf(bvLowered, bvLowered, 0, p, c), (TBevelPair{4, 3}));
        QCOMPARE(InnerBevelOf(bvLowered, bvLowered, 2, p, c), (TBevelPair{2, 1}));
        QCOMPARE(InnerBevelOf(bvLowered, bvRaised, 0, p, c), (TBevelPair{2, 1}));
        QCOMPARE(InnerBevelOf(bvRaised, bvRaised, 0, p, c), (TBevelPair{3, 2}));
        QCOMPARE(InnerBevelOf(bvRaised, bvLowered, 2, p, c), (TBevelPair{1, 2}));
        QCOMPARE(InnerBevelOf(bvSpace, bvLowered, 2, p, c), (TBevelPair{9, 9}));
        QCOMPARE(OuterBevelOf(bvLowered, bvRaised, 0, p, c), (TBevelPair{2, 1}));
        QCOMPARE(OuterBevelOf(bvRaised, bvRaised, 0, p, c), (TBevelPair{1, 4}));
        QCOMPARE(OuterBevelOf(bvRaised, bvRaised, 2, p, c), (TBevelPair{1, 2}));
        QCOMPARE(OuterBevelOf(bvRaised, bvLowered, 0, p, c), (TBevelPair{1, 2}));
        QCOMPARE(OuterBevelOf(bvSpace, bvRaised, 0, p, c), (TBevelPair{9, 9}));
    }

    void textStart()
    {
        QCOMPARE(CylTextStart(foLeftToRight, 260, 25, 30, 15), QPoint(115, 6));
        QCOMPARE(CylTextStart(foTopToBottom, 25, 100, 30, 15), QPoint(19, 35));
        QCOMPARE(CylTextStart(foBottomToTop, 25, 100, 30, 15), QPoint(6, 65));
        // div truncates toward zero when the text is larger than the bar.
        QCOMPARE(CylTextStart(foLeftToRight, 9, 4, 30, 15), QPoint(-10, -4));
    }

    void renderedFrame()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setBackColor(clWhite);
        b.setShowText(false);
        b.setPosition(50);
        const QImage f = b.ComposeFrame();
        QCOMPARE(f.size(), QSize(260, 25));
        // Background column: brightest on the sixth row of the bar area (t = 5, row 9).
        for (int y = 5; y <= 19; ++y)
            QCOMPARE(Channel(wt::Px(f, 200, y)), 255 - 15 * std::abs(y - 9));
        QCOMPARE(wt::Px(f, 200, 9), clWhite);
        // Bar (ForeColor clBtnFace) and its leading line (clHighlight).
        QCOMPARE(wt::Px(f, 50, 9), RGB(213, 213, 213));
        QCOMPARE(wt::Px(f, 129, 5), RGB(163, 163, 163));
        QCOMPARE(wt::Px(f, 130, 9), RGB(63, 63, 213));
        QCOMPARE(wt::Px(f, 130, 5), RGB(48, 48, 163));
        QCOMPARE(wt::Px(f, 131, 9), clWhite);
        // The black frame around the bar area, the two bevels and the ring between them.
        QCOMPARE(wt::Px(f, 4, 10), clBlack);
        QCOMPARE(wt::Px(f, 255, 10), clBlack);
        QCOMPARE(wt::Px(f, 100, 4), clBlack);
        QCOMPARE(wt::Px(f, 100, 20), clBlack);
        QCOMPARE(wt::Px(f, 3, 10), wt::BtnHighlight);     // inner bevel, raised
        QCOMPARE(wt::Px(f, 100, 3), wt::BtnHighlight);
        QCOMPARE(wt::Px(f, 256, 10), wt::BtnShadow);
        QCOMPARE(wt::Px(f, 100, 21), wt::BtnShadow);
        QCOMPARE(wt::Px(f, 0, 10), wt::BtnShadow);        // outer bevel, lowered
        QCOMPARE(wt::Px(f, 100, 0), wt::BtnShadow);
        QCOMPARE(wt::Px(f, 259, 10), wt::BtnHighlight);
        QCOMPARE(wt::Px(f, 100, 24), wt::BtnHighlight);
        QCOMPARE(wt::Px(f, 259, 0), wt::BtnHighlight);    // top-right corner: bottom-right colour
        QCOMPARE(wt::Px(f, 1, 10), wt::Face);
        QCOMPARE(wt::Px(f, 2, 10), wt::Face);
        QCOMPARE(wt::Px(f, 100, 1), wt::Face);

        b.setPosition(0);   // only the leading line inside the frame
        const QImage empty = b.ComposeFrame();
        QCOMPARE(wt::Px(empty, 4, 9), clBlack);
        QCOMPARE(wt::Px(empty, 5, 9), RGB(63, 63, 213));
        QCOMPARE(wt::Px(empty, 6, 9), clWhite);
        b.setPosition(100);
        const QImage full = b.ComposeFrame();
        QCOMPARE(wt::Px(full, 5, 9), RGB(213, 213, 213));
        QCOMPARE(wt::Px(full, 254, 9), RGB(213, 213, 213));

        b.setCylinderEffect(ceFlat);   // step 0: flat colours
        b.setPosition(50);
        const QImage flat = b.ComposeFrame();
        QCOMPARE(wt::Px(flat, 200, 5), clWhite);
        QCOMPARE(wt::Px(flat, 200, 19), clWhite);
        QCOMPARE(wt::Px(flat, 50, 5), RGB(213, 213, 213));
        QCOMPARE(wt::Px(flat, 50, 19), RGB(213, 213, 213));

        // The control shows exactly the composed frame.
        const QImage shown = b.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown, b.ComposeFrame());
    }

    void renderedVertical()
    {
        TProgressCyl b;
        b.resize(25, 100);
        b.setPalette(wt::KnownPalette());
        b.setBackColor(clWhite);
        b.setShowText(false);
        b.setOrientation(pbVertical);
        b.setPosition(50);
        QCOMPARE(b.BarEnd(), 50);
        const QImage f = b.ComposeFrame();
        // Columns are shaded, brightest at t = 5; the bar grows upwards from the bottom.
        for (int x = 5; x <= 19; ++x)
            QCOMPARE(Channel(wt::Px(f, x, 30)), 255 - 15 * std::abs(x - 9));
        QCOMPARE(wt::Px(f, 9, 70), RGB(255, 255, 255));   // ForeColor white at g = 0
        QCOMPARE(wt::Px(f, 9, 50), RGB(63, 63, 213));
        QCOMPARE(wt::Px(f, 12, 70), RGB(210, 210, 210));
        QCOMPARE(wt::Px(f, 12, 30), RGB(210, 210, 210));
    }

    void invertedText()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setProEffect(peStdBlue);
        b.setPosition(45);
        b.setShowText(false);
        const QImage plain = b.ComposeFrame();
        b.setShowText(true);
        const QImage text = b.ComposeFrame();
        const wt::XorDiff d = wt::CompareXor(plain, text);
        QVERIFY(d.OnlyInversions);
        QVERIFY(d.Inverted > 10);
        QVERIFY(std::abs((d.Bounds.left() + d.Bounds.right()) / 2 - 130) < 6);
        QVERIFY(d.Bounds.width() > d.Bounds.height());

        // Written bottom to top on a vertical bar.
        b.resize(30, 160);
        b.setOrientation(pbVertical);
        b.setShowText(false);
        const QImage vplain = b.ComposeFrame();
        b.setShowText(true);
        const wt::XorDiff v = wt::CompareXor(vplain, b.ComposeFrame());
        QVERIFY(v.OnlyInversions);
        QVERIFY(v.Inverted > 10);
        QVERIFY(v.Bounds.height() > v.Bounds.width());
        QVERIFY(std::abs((v.Bounds.top() + v.Bounds.bottom()) / 2 - 80) < 6);
    }

    void shadowedText()
    {
        TProgressCyl b;
        MainWindowBar(b);
        b.setFontShadowColor(clRed);
        b.setPosition(45);
        const QImage f = b.ComposeFrame();
        int red = 0, black = 0;
        for (int y = 5; y < 20; ++y)
            for (int x = 100; x < 160; ++x) {
                red += wt::Px(f, x, y) == clRed;
                black += wt::Px(f, x, y) == clBlack;
            }
        QVERIFY(red > 5);
        QVERIFY(black > 5);
        b.setFontEffect(feNone);
        const QImage g = b.ComposeFrame();
        for (int y = 0; y < 25; ++y)
            for (int x = 0; x < 260; ++x)
                QVERIFY(wt::Px(g, x, y) != clRed);
    }

    void colourResolution()
    {
        const QPalette pal = wt::KnownPalette();
        QCOMPARE(ColorToRGB(RGB(1, 2, 3), pal), RGB(1, 2, 3));
        QCOMPARE(ColorToRGB(0x05112233u, pal), 0x00112233u);   // only the top bit is special
        QCOMPARE(ColorToRGB(clBtnFace, pal), wt::Face);
        QCOMPARE(ColorToRGB(clWindow, pal), wt::Window);
        QCOMPARE(ColorToRGB(clHighlight, pal), wt::Highlight);
        QCOMPARE(ColorToRGB(clBtnShadow, pal), wt::BtnShadow);
        QCOMPARE(ColorToRGB(clBtnHighlight, pal), wt::BtnHighlight);
        QCOMPARE(ColorToRGB(cl3DLight, pal), wt::Light3D);
        QCOMPARE(ColorToRGB(cl3DDkShadow, pal), wt::DkShadow);
        QCOMPARE(ColorToRGB(clSystemColor | 99, pal), clBlack);
        QCOMPARE(RGB(255, 0, 0), 0x0000FFu);   // red in the lowest byte
    }

    void systemColoursFollowThePalette()
    {
        TProgressCyl b;
        MainWindowBar(b);
        QCOMPARE(wt::Px(b.ComposeFrame(), 1, 10), wt::Face);
        const int n = b.RepaintRequests();
        QPalette p = wt::KnownPalette();
        p.setColor(QPalette::Button, wt::Q(RGB(10, 20, 30)));
        b.setPalette(p);
        QVERIFY(b.RepaintRequests() > n);
        QCOMPARE(b.ProEffect(), demoSystem);
        QCOMPARE(wt::Px(b.ComposeFrame(), 1, 10), RGB(10, 20, 30));
    }

    void styleAssignmentCopies()
    {
        TProgressCyl b;
        TPCColorStyle mine;
        mine.setIntensityRGB(-50);
        mine.setLightAngle(-1.5f);
        b.setForeStyle(&mine);
        QVERIFY(b.ForeStyle() != &mine);
        QCOMPARE(b.ForeStyle()->IntensityRGB(), -50);
        QCOMPARE(b.ForeStyle()->LightAngle(), -1.5f);
        QCOMPARE(b.ProEffect(), peCustom);
        mine.setIntensityRGB(1);
        QCOMPARE(b.ForeStyle()->IntensityRGB(), -50);
    }

    void pointerEvents()
    {
        TProgressCyl b;
        QList<QObject*> entered, left;
        b.OnMouseEnter = [&entered](QObject* s) { entered.append(s); };
        b.OnMouseLeave = [&left](QObject* s) { left.append(s); };
        const int n = b.RepaintRequests();
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&b, &enter);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&b, &leave);
        QCOMPARE(entered, QList<QObject*>{&b});
        QCOMPARE(left, QList<QObject*>{&b});
        QCOMPARE(b.RepaintRequests(), n + 2);
    }
};

QTEST_MAIN(TestProgressCyl)
#include "tst_progresscyl.moc"
