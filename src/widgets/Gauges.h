// TGauge: a progress value between MinValue and MaxValue shown as text only, a horizontal or
// vertical bar, a pie or a needle dial, optionally with the percentage written over it in
// exclusive-or so that it stays readable over the filled and the unfilled part.
#pragma once

#include <stdexcept>
#include <string>

#include <QImage>
#include <QWidget>

#include "widgets/Colors.h"
#include "widgets/GdiCanvas.h"

// The invalid-operation error of the range setters; the only error the gauge raises.
class EInvalidOperation : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Off-screen bitmap with the one extra operation the gauge needs.
class TBltBitmap {
public:
    // Take the template's size and fill everything with the window-frame system colour.
    void MakeLike(const QImage& tmpl, const QPalette& palette);
    QImage& Image() { return Image_; }
    const QImage& Image() const { return Image_; }

private:
    QImage Image_;
};

// Shared arithmetic, truncating toward zero.
int PercentOf(long long part, long long whole);
int ScaleByPercent(int percent, int size);

// The figures of one paint, apart from the drawing. Left/Top/Right/Bottom are the edges of the
// paint rectangle.
struct TGaugeBar {
    bool Filled = false;
    TRect Rect;
};
TGaugeBar HorizontalBarOf(TRect paint, int percent);
TGaugeBar VerticalBarOf(TRect paint, int percent);

struct TGaugePie {
    TRect Ellipse;
    bool Wedge = false;
    int StartX = 0, StartY = 0;   // the radial the wedge starts from (counterclockwise)
    int EndX = 0, EndY = 0;       // twelve o'clock
};
TGaugePie PieOf(TRect paint, bool singleBorder, int percent);

struct TGaugeNeedle {
    TRect Ellipse;
    int ArcStartX = 0, ArcStartY = 0, ArcEndX = 0, ArcEndY = 0;
    int BaseY = 0, BaseX0 = 0, BaseX1 = 0;   // the line under the dial
    bool Needle = false;
    int FromX = 0, FromY = 0, ToX = 0, ToY = 0;
};
TGaugeNeedle NeedleOf(TRect paint, bool singleBorder, int controlWidth, int percent);

// Top-left corner of the percentage text.
QPoint GaugeTextOrigin(TRect paint, int textWidth, int textHeight);

class TGauge : public QWidget {
    Q_OBJECT
public:
    enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
    Q_ENUM(TGaugeKind)
    enum TBorderStyle { bsNone, bsSingle };
    Q_ENUM(TBorderStyle)

private:
    Q_PROPERTY(TGaugeKind Kind READ Kind WRITE setKind RESET resetKind)
    Q_PROPERTY(bool ShowText READ ShowText WRITE setShowText RESET resetShowText)
    Q_PROPERTY(TBorderStyle BorderStyle READ BorderStyle WRITE setBorderStyle RESET resetBorderStyle)
    Q_PROPERTY(uint ForeColor READ ForeColor WRITE setForeColor RESET resetForeColor)
    Q_PROPERTY(uint BackColor READ BackColor WRITE setBackColor RESET resetBackColor)
    Q_PROPERTY(int MinValue READ MinValue WRITE setMinValue RESET resetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE setMaxValue RESET resetMaxValue)
    Q_PROPERTY(int Progress READ Progress WRITE setProgress)
    Q_PROPERTY(uint Color READ Color WRITE setColor RESET resetColor)
    Q_PROPERTY(int PercentDone READ PercentDone STORED false)

public:
    static constexpr TGaugeKind DefaultKind = gkHorizontalBar;
    static constexpr bool DefaultShowText = true;
    static constexpr TBorderStyle DefaultBorderStyle = bsSingle;
    static constexpr TColor DefaultForeColor = clBlack;
    static constexpr TColor DefaultBackColor = clWhite;
    static constexpr int DefaultMinValue = 0;
    static constexpr int DefaultMaxValue = 100;
    static constexpr TColor DefaultColor = clWindow;

    explicit TGauge(QWidget* parent = nullptr);

    TGaugeKind Kind() const { return Kind_; }
    bool ShowText() const { return ShowText_; }
    TBorderStyle BorderStyle() const { return BorderStyle_; }
    TColor ForeColor() const { return ForeColor_; }
    TColor BackColor() const { return BackColor_; }
    int MinValue() const { return MinValue_; }
    int MaxValue() const { return MaxValue_; }
    int Progress() const { return Progress_; }
    TColor Color() const { return Color_; }
    int PercentDone() const;

    void setKind(TGaugeKind v);
    void setShowText(bool v);
    void setBorderStyle(TBorderStyle v);
    void setForeColor(TColor v);
    void setBackColor(TColor v);
    // Throw EInvalidOperation ("Value must be between %d and %d") when the range would cross,
    // unless the gauge is being loaded.
    void setMinValue(int v);
    void setMaxValue(int v);
    void setProgress(int v);
    void setColor(TColor v);

    void resetKind() { setKind(DefaultKind); }
    void resetShowText() { setShowText(DefaultShowText); }
    void resetBorderStyle() { setBorderStyle(DefaultBorderStyle); }
    void resetForeColor() { setForeColor(DefaultForeColor); }
    void resetBackColor() { setBackColor(DefaultBackColor); }
    void resetMinValue() { setMinValue(DefaultMinValue); }
    void resetMaxValue() { setMaxValue(DefaultMaxValue); }
    void resetColor() { setColor(DefaultColor); }

    // While loading from a stored form the range check is skipped, so properties may arrive in
    // any order.
    void BeginLoading() { Loading_ = true; }
    void EndLoading() { Loading_ = false; }
    bool Loading() const { return Loading_; }

    // Whether a form writer keeps the property: Progress always, the others when they differ
    // from their declared default.
    bool IsPropertyStored(const char* name) const;

    // The paint rectangle: the whole control, one pixel in on every side with the single border.
    TRect PaintRect() const;
    QString PercentText() const;
    QImage ComposeFrame() const;
    int RepaintRequests() const { return RepaintRequests_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Invalidate();
    void DrawKind(QImage& overlay, TRect paint) const;

    TGaugeKind Kind_ = DefaultKind;
    bool ShowText_ = DefaultShowText;
    TBorderStyle BorderStyle_ = DefaultBorderStyle;
    TColor ForeColor_ = DefaultForeColor;
    TColor BackColor_ = DefaultBackColor;
    int MinValue_ = DefaultMinValue;
    int MaxValue_ = DefaultMaxValue;
    int Progress_ = 0;
    TColor Color_ = DefaultColor;
    bool Loading_ = false;
    int RepaintRequests_ = 0;
};

using TGaugeKind = TGauge::TGaugeKind;
using enum TGauge::TGaugeKind;
