// The gauge: percentage arithmetic, range rules, repaint economy and the drawn forms.
#include <QtTest>

#include "WidgetTestUtil.h"
#include "widgets/Gauges.h"

class TestGauge : public QObject {
    Q_OBJECT

private:
    static QString RangeError(TGauge& g, bool min, int v)
    {
        try {
            if (min)
                g.setMinValue(v);
            else
                g.setMaxValue(v);
        } catch (const EInvalidOperation& e) {
            return QString::fromStdString(e.what());
        }
        return {};
    }

private slots:
    void initialValues()
    {
        TGauge g;
        QCOMPARE(g.size(), QSize(100, 100));
        QCOMPARE(g.Kind(), gkHorizontalBar);
        QVERIFY(g.ShowText());
        QCOMPARE(g.BorderStyle(), TGauge::bsSingle);
        QCOMPARE(g.ForeColor(), clBlack);
        QCOMPARE(g.BackColor(), clWhite);
        QCOMPARE(g.MinValue(), 0);
        QCOMPARE(g.MaxValue(), 100);
        QCOMPARE(g.Progress(), 0);
        QCOMPARE(g.Color(), clWindow);
        for (const char* p : {"Kind", "ShowText", "BorderStyle", "ForeColor", "BackColor",
                              "MinValue", "MaxValue", "Color"})
            QVERIFY2(!g.IsPropertyStored(p), p);
        QVERIFY(g.IsPropertyStored("Progress"));   // always kept
        g.setForeColor(clNavy);
        QVERIFY(g.IsPropertyStored("ForeColor"));
        QVERIFY(g.setProperty("Kind", QVariant::fromValue(TGauge::gkPie)));
        QCOMPARE(g.Kind(), gkPie);
    }

    void percentArithmetic_data()
    {
        QTest::addColumn<qlonglong>("part");
        QTest::addColumn<qlonglong>("whole");
        QTest::addColumn<int>("percent");
        QTest::newRow("45 of 100") << 45LL << 100LL << 45;
        QTest::newRow("1 of 3 truncates") << 1LL << 3LL << 33;
        QTest::newRow("2 of 3 truncates") << 2LL << 3LL << 66;
        QTest::newRow("empty range") << 7LL << 0LL << 0;
        QTest::newRow("toward zero") << -1LL << 3LL << -33;
        QTest::newRow("full 32-bit range") << 4294967295LL << 4294967295LL << 100;
    }
    void percentArithmetic()
    {
        QFETCH(qlonglong, part);
        QFETCH(qlonglong, whole);
        QFETCH(int, percent);
        QCOMPARE(PercentOf(part, whole), percent);
    }

    void scaleByPercent()
    {
        QCOMPARE(ScaleByPercent(45, 99), 44);
        QCOMPARE(ScaleByPercent(100, 99), 99);
        QCOMPARE(ScaleByPercent(0, 99), 0);
        QCOMPARE(ScaleByPercent(33, 10), 3);
    }

    void percentDone()
    {
        TGauge g;
        g.setProgress(45);
        QCOMPARE(g.PercentDone(), 45);
        QCOMPARE(g.PercentText(), QStringLiteral("45%"));
        g.setMaxValue(3);
        QCOMPARE(g.Progress(), 3);
        g.setProgress(1);
        QCOMPARE(g.PercentDone(), 33);
        g.setMaxValue(5);
        g.setMinValue(5);
        QCOMPARE(g.PercentDone(), 0);
        g.setProgress(-100);
        QCOMPARE(g.Progress(), 5);
        QCOMPARE(g.PercentDone(), 0);
    }

    void progressClamps()
    {
        TGauge g;
        g.setProgress(-10);
        QCOMPARE(g.Progress(), 0);
        g.setProgress(150);
        QCOMPARE(g.Progress(), 100);
        g.setProgress(40);
        g.setMinValue(60);      // raising the minimum carries Progress along
        QCOMPARE(g.Progress(), 60);
        g.setMaxValue(70);
        g.setProgress(70);
        g.setMaxValue(65);      // lowering the maximum too
        QCOMPARE(g.Progress(), 65);
    }

    void rangeErrors()
    {
        TGauge g;
        QCOMPARE(RangeError(g, true, 200),
                 QStringLiteral("Value must be between -2147483647 and 99"));
        QCOMPARE(g.MinValue(), 0);
        QCOMPARE(RangeError(g, false, -1),
                 QStringLiteral("Value must be between 1 and 2147483647"));
        QCOMPARE(g.MaxValue(), 100);
        // Equal ends are allowed.
        QCOMPARE(RangeError(g, true, 100), QString());
        QCOMPARE(g.MinValue(), 100);
        QCOMPARE(RangeError(g, false, 100), QString());   // unchanged: nothing happens
        // While a stored form loads the ends may arrive in any order.
        TGauge h;
        h.BeginLoading();
        h.setMinValue(500);
        h.setMaxValue(1000);
        h.EndLoading();
        QCOMPARE(h.MinValue(), 500);
        QCOMPARE(h.MaxValue(), 1000);
        // Nothing else raises.
        h.setProgress(-2147483647 - 1);
        h.setProgress(2147483647);
        QCOMPARE(h.Progress(), 1000);
    }

    void repaintsOnlyWhenThePercentMoves()
    {
        TGauge g;
        g.setMaxValue(1000);
        const int before = g.RepaintRequests();
        for (int v = 1; v <= 9; ++v)
            g.setProgress(v);
        QCOMPARE(g.RepaintRequests(), before);
        g.setProgress(10);
        QCOMPARE(g.RepaintRequests(), before + 1);
        g.setProgress(10);
        QCOMPARE(g.RepaintRequests(), before + 1);
        // Setters repaint only when the value changes.
        g.setKind(gkHorizontalBar);
        g.setForeColor(clBlack);
        g.setShowText(true);
        QCOMPARE(g.RepaintRequests(), before + 1);
        g.setKind(gkPie);
        g.setBackColor(clRed);
        g.setBorderStyle(TGauge::bsNone);
        QCOMPARE(g.RepaintRequests(), before + 4);
    }

    void barGeometry()
    {
        // 100 px wide with the single border: W 99, filled from x 1 up to, not including, 44.
        const TGaugeBar h = HorizontalBarOf({1, 1, 99, 99}, 45);
        QVERIFY(h.Filled);
        QCOMPARE(h.Rect, (TRect{1, 1, 44, 99}));
        QVERIFY(!HorizontalBarOf({1, 1, 99, 99}, 0).Filled);
        QCOMPARE(HorizontalBarOf({0, 0, 100, 20}, 100).Rect, (TRect{0, 0, 101, 21}));
        // Vertical at 100 %: the border fills the whole inside, without it the top row stays.
        QCOMPARE(VerticalBarOf({1, 1, 99, 99}, 100).Rect, (TRect{1, 1, 99, 99}));
        QCOMPARE(VerticalBarOf({0, 0, 100, 100}, 100).Rect, (TRect{0, 1, 101, 101}));
        QCOMPARE(VerticalBarOf({1, 1, 99, 99}, 50).Rect, (TRect{1, 50, 99, 99}));
    }

    void pieAndNeedleGeometry()
    {
        QVERIFY(!PieOf({1, 1, 99, 99}, true, 0).Wedge);
        const TGaugePie q = PieOf({1, 1, 99, 99}, true, 25);
        QCOMPARE(q.Ellipse, (TRect{1, 1, 99, 99}));
        QVERIFY(q.Wedge);
        QCOMPARE(QPoint(q.StartX, q.StartY), QPoint(98, 49));   // three o'clock
        QCOMPARE(QPoint(q.EndX, q.EndY), QPoint(49, 0));        // twelve o'clock
        const TPieAngles a = PieAnglesOf(q.Ellipse, q.StartX, q.StartY, q.EndX, q.EndY);
        QVERIFY(std::abs(a.Start) < 2.0);
        QVERIFY(std::abs(a.Span - 90) < 2.0);
        // 100 %: start and end coincide, the whole ellipse.
        const TGaugePie f = PieOf({1, 1, 99, 99}, true, 100);
        QCOMPARE(QPoint(f.StartX, f.StartY), QPoint(f.EndX, f.EndY));
        QCOMPARE(PieAnglesOf(f.Ellipse, f.StartX, f.StartY, f.EndX, f.EndY).Span, 360.0);
        const TGaugePie half = PieOf({0, 0, 100, 100}, false, 50);
        QCOMPARE(QPoint(half.StartX, half.StartY), QPoint(50, 100));   // six o'clock

        const TGaugeNeedle n0 = NeedleOf({1, 1, 99, 99}, true, 100, 0);
        QVERIFY(!n0.Needle);
        QCOMPARE(n0.Ellipse, (TRect{1, 1, 99, 197}));
        QCOMPARE(QPoint(n0.ArcStartX, n0.ArcStartY), QPoint(100, 98));
        QCOMPARE(QPoint(n0.ArcEndX, n0.ArcEndY), QPoint(1, 98));
        QCOMPARE(n0.BaseY, 99);
        const TGaugeNeedle up = NeedleOf({1, 1, 99, 99}, true, 100, 50);
        QCOMPARE(QPoint(up.FromX, up.FromY), QPoint(50, 98));
        QCOMPARE(QPoint(up.ToX, up.ToY), QPoint(50, 0));
        const TGaugeNeedle right = NeedleOf({1, 1, 99, 99}, true, 100, 100);
        QCOMPARE(QPoint(right.ToX, right.ToY), QPoint(100, 98));
        const TGaugeNeedle left = NeedleOf({1, 1, 99, 99}, true, 100, 1);
        QVERIFY(left.ToX < 2 && left.ToY > 90);
    }

    void textOrigin()
    {
        QCOMPARE(GaugeTextOrigin({1, 1, 99, 99}, 21, 13), QPoint(39, 43));
        QCOMPARE(GaugeTextOrigin({0, 0, 348, 17}, 20, 14), QPoint(164, 2));
    }

    void renderedBar()
    {
        TGauge g;
        g.setPalette(wt::KnownPalette());
        g.setForeColor(clNavy);
        g.setShowText(false);
        g.setProgress(45);
        const QImage f = g.ComposeFrame();
        QCOMPARE(f.size(), QSize(100, 100));
        for (int i = 0; i < 100; ++i) {     // the one-pixel black border
            QCOMPARE(wt::Px(f, i, 0), clBlack);
            QCOMPARE(wt::Px(f, i, 99), clBlack);
            QCOMPARE(wt::Px(f, 0, i), clBlack);
            QCOMPARE(wt::Px(f, 99, i), clBlack);
        }
        QCOMPARE(wt::Px(f, 1, 50), clNavy);
        QCOMPARE(wt::Px(f, 43, 1), clNavy);
        QCOMPARE(wt::Px(f, 43, 98), clNavy);
        QCOMPARE(wt::Px(f, 44, 50), clWhite);
        QCOMPARE(wt::Px(f, 98, 50), clWhite);

        g.setBorderStyle(TGauge::bsNone);
        g.setKind(gkVerticalBar);
        g.setProgress(100);
        const QImage v = g.ComposeFrame();
        QCOMPARE(wt::Px(v, 50, 0), clWhite);    // top row unfilled without the border
        QCOMPARE(wt::Px(v, 50, 1), clNavy);
        QCOMPARE(wt::Px(v, 99, 99), clNavy);

        // The control shows exactly the composed frame.
        const QImage shown = g.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown, v);
    }

    void textIsExclusiveOr()
    {
        TGauge g;
        g.resize(348, 17);
        g.setPalette(wt::KnownPalette());
        g.setForeColor(clNavy);
        g.setProgress(50);
        g.setShowText(false);
        const QImage plain = g.ComposeFrame();
        g.setShowText(true);
        const QImage text = g.ComposeFrame();
        const wt::XorDiff d = wt::CompareXor(plain, text);
        QVERIFY(d.OnlyInversions);
        QVERIFY(d.Inverted > 10);
        // Inside the paint rectangle, around the middle, over both the filled and the empty part.
        QVERIFY(QRect(1, 1, 346, 15).contains(d.Bounds));
        QVERIFY(d.Bounds.left() < 174 && d.Bounds.right() >= 174);
        QVERIFY(std::abs((d.Bounds.left() + d.Bounds.right()) / 2 - 174) < 6);
    }

    void renderedPieAndNeedle()
    {
        TGauge g;
        g.setPalette(wt::KnownPalette());
        g.setShowText(false);
        g.setForeColor(clNavy);
        g.setKind(gkPie);
        const QImage empty = g.ComposeFrame();
        QCOMPARE(wt::Px(empty, 3, 3), wt::Window);    // Color around the ellipse
        QCOMPARE(wt::Px(empty, 50, 50), clWhite);     // BackColor inside
        QCOMPARE(wt::Px(empty, 50, 1), clNavy);       // outline
        g.setProgress(25);
        const QImage quarter = g.ComposeFrame();
        QCOMPARE(wt::Px(quarter, 70, 30), clNavy);    // upper right quarter
        QCOMPARE(wt::Px(quarter, 30, 30), clWhite);
        QCOMPARE(wt::Px(quarter, 70, 70), clWhite);
        QCOMPARE(wt::Px(quarter, 30, 70), clWhite);

        g.setKind(gkNeedle);
        g.setProgress(50);
        const QImage needle = g.ComposeFrame();
        QCOMPARE(wt::Px(needle, 50, 60), clNavy);     // straight up
        QCOMPARE(wt::Px(needle, 30, 60), clWhite);    // dial face
        QCOMPARE(wt::Px(needle, 3, 3), wt::Window);   // above the dial
    }
};

QTEST_MAIN(TestGauge)
#include "tst_gauge.moc"
