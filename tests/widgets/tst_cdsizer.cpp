// The disc capacity bar: its layout arithmetic, its property rules and its drawn frame.
#include <QtTest>

#include <set>

#include "WidgetTestUtil.h"
#include "widgets/CDSizer.h"

class TestCDSizer : public QObject {
    Q_OBJECT

private:
    // The bar as the main window configures it.
    static void MainWindowValues(TCDSize& s)
    {
        s.resize(390, 29);
        s.setBarColour(clMoneyGreen);
        s.setMemBarColour(clBlack);
        s.setProgressGap(0);
        s.setMaxMemory(700);
        s.setMaxCDSize(650);
        s.setTickColour(clNavy);
        s.setPalette(wt::KnownPalette());
    }

private slots:
    void initialValues()
    {
        TCDSize s;
        QCOMPARE(s.width(), 90);
        QCOMPARE(s.height(), 20);
        QCOMPARE(s.BarColour(), RGB(192, 192, 192));
        QCOMPARE(s.MemBarColour(), RGB(192, 192, 192));
        QCOMPARE(s.ProgressGap(), 2);
        QCOMPARE(s.MaxCDSize(), 650);
        QCOMPARE(s.MaxMemory(), 750);
        QCOMPARE(s.OverBurnColour(), RGB(255, 0, 0));
        QCOMPARE(s.MemShaded(), 0);
        QCOMPARE(s.TickColour(), RGB(0, 0, 0));
        QVERIFY(!s.OnOverBurn);
        for (const char* p : {"BarColour", "MemBarColour", "ProgressGap", "MaxCDSize", "MaxMemory",
                              "OverBurnColour", "MemShaded", "TickColour"})
            QVERIFY2(!s.IsPropertyStored(p), p);
        s.setMaxMemory(700);
        QVERIFY(s.IsPropertyStored("MaxMemory"));
        // Properties reach the setters by name, as a window layout sets them.
        QVERIFY(s.setProperty("MemShaded", 300));
        QCOMPARE(s.MemShaded(), 300);
    }

    void mainWindowLayout()
    {
        const TCDSizeLayout l = LayoutCDSize(390, 29, 650, 700, 0, 0);
        QVERIFY(l.Horizontal);
        QCOMPARE(l.TickCount, 70);
        QVERIFY(std::abs(l.Spacing - 5.571) < 0.001);
        QCOMPARE(l.CapacityStrip, (TRect{0, 0, 363, 14}));
        QCOMPARE(l.LabelTop, 16);
        std::vector<int> labels;
        for (int i = 1; i <= l.TickCount; ++i) {
            const TCDSizeTick t = CDSizeTickOf(i, l.Spacing, 29);
            QCOMPARE(t.X, int(std::nearbyint(i * (390.0 / 70))));
            QCOMPARE(t.Megabytes, i * 10);
            if (t.Labelled)
                labels.push_back(t.Megabytes);
        }
        QCOMPARE(labels, (std::vector<int>{100, 200, 300, 400, 500, 600, 700}));
        // 10 MB, 50 MB and 100 MB marks.
        QCOMPARE(CDSizeTickOf(1, l.Spacing, 29).Bottom, 14);
        QCOMPARE(CDSizeTickOf(5, l.Spacing, 29).Bottom, 17);
        QCOMPARE(CDSizeTickOf(10, l.Spacing, 29).Bottom, 29);
        QCOMPARE(CDSizeTickOf(70, l.Spacing, 29).X, 390);
        QCOMPARE(CDSizeTickOf(57, l.Spacing, 29).X, 318);   // 317.57
        QCOMPARE(CDSizeLabel(100), QStringLiteral("100 mb"));

        // A DVD's 4,489 MB on a ruler of 100 MB ticks: a label every gigabyte, not a tick a pixel.
        const TCDSizeLayout dvd = LayoutCDSize(390, 29, 4489, 4938, 612, 0, 100);
        QCOMPARE(dvd.TickCount, 49);
        std::vector<int> gigabytes;
        for (int i = 1; i <= dvd.TickCount; ++i)
            if (const TCDSizeTick t = CDSizeTickOf(i, dvd.Spacing, 29, 100); t.Labelled)
                gigabytes.push_back(t.Megabytes);
        QCOMPARE(gigabytes, (std::vector<int>{1000, 2000, 3000, 4000}));
        QCOMPARE(CDSizeTickOf(49, dvd.Spacing, 29, 100).X, 387);   // 4,900 of 4,938 MB
    }

    void tickCounts_data()
    {
        QTest::addColumn<int>("maxMemory");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<double>("spacing");
        QTest::addColumn<int>("labels");
        QTest::newRow("initial 750 on 90 px") << 750 << 90 << 75 << 1.2 << 7;
        QTest::newRow("5 MB rounds half to even") << 5 << 90 << 0 << 180.0 << 0;
        QTest::newRow("15 MB") << 15 << 90 << 2 << 60.0 << 0;
        QTest::newRow("25 MB rounds half to even") << 25 << 100 << 2 << 40.0 << 0;
        QTest::newRow("1000 MB") << 1000 << 200 << 100 << 2.0 << 10;
    }
    void tickCounts()
    {
        QFETCH(int, maxMemory);
        QFETCH(int, width);
        QFETCH(int, ticks);
        QFETCH(double, spacing);
        QFETCH(int, labels);
        const TCDSizeLayout l = LayoutCDSize(width, 20, 650, maxMemory, 0, 2);
        QCOMPARE(l.TickCount, ticks);
        QVERIFY(std::abs(l.Spacing - spacing) < 1e-9);
        int labelled = 0;
        for (int i = 1; i <= l.TickCount; ++i)
            labelled += CDSizeTickOf(i, l.Spacing, 20).Labelled;
        QCOMPARE(labelled, labels);
    }

    void dataStrip_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("mem");
        QTest::addColumn<int>("gap");
        QTest::addColumn<TRect>("strip");
        QTest::newRow("half, no gap") << 390 << 29 << 350 << 0 << TRect{2, 0, 196, 14};
        QTest::newRow("full") << 390 << 29 << 700 << 0 << TRect{2, 0, 391, 14};
        QTest::newRow("gap 2") << 390 << 29 << 350 << 2 << TRect{2, 2, 196, 12};
        // Taller than wide: downwards from the top, sized against the height.
        QTest::newRow("vertical") << 20 << 140 << 350 << 2 << TRect{2, 2, 20, 68};
    }
    void dataStrip()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, mem);
        QFETCH(int, gap);
        QFETCH(TRect, strip);
        const TCDSizeLayout l = LayoutCDSize(width, height, 650, 700, mem, gap);
        QCOMPARE(l.DataStrip, strip);
        QCOMPARE(l.Horizontal, width >= height);
        // The capacity strip and the ruler run along the width whatever the orientation.
        QCOMPARE(l.CapacityStrip, (TRect{0, 0, int(std::nearbyint(650.0 / 700 * width)) + 1, height / 2}));
    }

    void memShadedClamps()
    {
        TCDSize s;
        s.setMaxMemory(700);
        s.setMemShaded(900);
        QCOMPARE(s.MemShaded(), 700);
        s.setMemShaded(-5);
        QCOMPARE(s.MemShaded(), 0);
        QVERIFY(!LayoutCDSize(390, 29, 650, 700, s.MemShaded(), 0).OverBurn);
        // Clamped against MaxMemory at the time; a later change does not reclamp.
        s.setMemShaded(700);
        s.setMaxMemory(500);
        QCOMPARE(s.MemShaded(), 700);
    }

    void repaintRules()
    {
        TCDSize s;
        int n = s.RepaintRequests();
        s.setMaxCDSize(700);
        s.setMaxMemory(800);
        s.setOverBurnColour(clBlue);
        s.setTickColour(clNavy);
        s.setProgressGap(3);
        QCOMPARE(s.RepaintRequests(), n);
        s.setMemShaded(10);
        QCOMPARE(s.RepaintRequests(), ++n);
        s.setBarColour(clRed);
        QCOMPARE(s.RepaintRequests(), ++n);
        s.setMemBarColour(clRed);
        QCOMPARE(s.RepaintRequests(), ++n);
    }

    void overBurnFiresAtEveryPaint()
    {
        TCDSize s;
        MainWindowValues(s);
        QList<QObject*> senders;
        s.OnOverBurn = [&senders](QObject* sender) { senders.append(sender); };
        s.setMemShaded(650);
        s.ComposeFrame();
        QCOMPARE(senders.size(), 0);
        s.setMemShaded(651);
        s.ComposeFrame();
        s.ComposeFrame();
        QCOMPARE(senders.size(), 2);
        QCOMPARE(senders.first(), nullptr);
        // A paint through the window system raises it as well.
        s.grab();
        QCOMPARE(senders.size(), 3);
        // Without a handler the over-burn paint just paints.
        s.OnOverBurn = nullptr;
        QVERIFY(!s.ComposeFrame().isNull());
    }

    void renderedFrame()
    {
        TCDSize s;
        MainWindowValues(s);
        s.setMemShaded(350);
        const TCDSizeLayout l = LayoutCDSize(390, 29, 650, 700, 350, 0);
        std::set<int> tickX;
        for (int i = 1; i <= l.TickCount; ++i)
            tickX.insert(CDSizeTickOf(i, l.Spacing, 29).X);
        QVERIFY(!tickX.count(153) && !tickX.count(300) && !tickX.count(380) && !tickX.count(361) && !tickX.count(363));

        const QImage f = s.ComposeFrame();
        QCOMPARE(f.size(), QSize(390, 29));
        // Before the first paint the outlines are black.
        QCOMPARE(wt::Px(f, 0, 28), clBlack);
        QCOMPARE(wt::Px(f, 389, 20), clBlack);
        QCOMPARE(wt::Px(f, 380, 20), clWhite);          // background
        QCOMPARE(wt::Px(f, 153, 7), clBlack);           // data strip (MemBarColour)
        QCOMPARE(wt::Px(f, 300, 7), clMoneyGreen);      // capacity strip
        QCOMPARE(wt::Px(f, 361, 7), clMoneyGreen);      // 363 px long: x 362 is its edge
        QCOMPARE(wt::Px(f, 363, 7), clWhite);           // beyond it
        QCOMPARE(wt::Px(f, 300, 13), clBlack);          // its bottom edge, row 13
        QCOMPARE(wt::Px(f, 300, 14), clWhite);
        // Ruler: a 10 MB tick stops short of row 14, a 50 MB tick of row 17, a 100 MB tick
        // runs to the bottom.
        QCOMPARE(wt::Px(f, 6, 5), clNavy);
        QCOMPARE(wt::Px(f, 6, 13), clNavy);
        QCOMPARE(wt::Px(f, 6, 14), clWhite);
        QCOMPARE(wt::Px(f, 28, 16), clNavy);
        QCOMPARE(wt::Px(f, 28, 17), clWhite);
        QCOMPARE(wt::Px(f, 390 * 3 / 7, 27), clNavy);
        // Labels are written in the tick colour below the middle.
        int navyBelow = 0;
        for (int y = 16; y < 29; ++y)
            for (int x = 36; x < 54; ++x)
                navyBelow += wt::Px(f, x, y) == clNavy;
        QVERIFY(navyBelow > 5);

        // From the second paint on, outlines take the ruler's colour.
        const QImage g = s.ComposeFrame();
        QCOMPARE(wt::Px(g, 300, 13), clNavy);
        QCOMPARE(wt::Px(g, 0, 28), clNavy);

        s.setMemShaded(700);
        const QImage full = s.ComposeFrame();
        QCOMPARE(wt::Px(full, 380, 7), clRed);          // over the disc: OverBurnColour
        QCOMPARE(wt::Px(full, 389, 7), clRed);          // the strip ends at the right edge
    }

    void extremeValuesStayBounded()
    {
        // A shrunken scale under a large amount, huge capacities and gaps: clipped, no overflow.
        TCDSize s;
        s.setMaxMemory(2147483647);
        s.setMemShaded(2000000000);
        s.setMaxMemory(1);
        s.setMaxCDSize(2147483647);
        s.setProgressGap(-2147483647 - 1);
        QCOMPARE(wt::Px(s.ComposeFrame(), 45, 18), clSilver);   // the data strip covers all
        const TCDSizeLayout l = LayoutCDSize(90, 20, 2147483647, 1, 2000000000, -2147483647 - 1);
        QVERIFY(l.CapacityStrip.Right > 90 && l.DataStrip.Right > 90 && l.DataStrip.Bottom > 20);
        // A scale of many ticks to the pixel paints a solid ruler.
        s.setMaxMemory(2000000);
        s.setProgressGap(2);
        const QImage f = s.ComposeFrame();
        for (int x = 1; x < 90; ++x)
            QCOMPARE(wt::Px(f, x, 19), clBlack);
    }

    void nonPositiveMaxMemoryPaintsBackground()
    {
        TCDSize s;
        s.setMaxMemory(0);
        const QImage f = s.ComposeFrame();
        QCOMPARE(wt::Px(f, 45, 10), clWhite);
        QVERIFY(!LayoutCDSize(90, 20, 650, 0, 0, 2).Scaled);
        QVERIFY(!LayoutCDSize(90, 20, 650, -10, 0, 2).Scaled);
    }
};

QTEST_MAIN(TestCDSizer)
#include "tst_cdsizer.moc"
