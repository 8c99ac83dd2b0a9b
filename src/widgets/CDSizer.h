// TCDSize: a bar comparing the amount of data to burn with the capacity of a disc, on a ruler
// marked in megabytes. The data strip turns to OverBurnColour, and OnOverBurn is raised at every
// paint, while the data exceeds the disc.
#pragma once

#include <functional>

#include <QImage>
#include <QWidget>

#include "widgets/Colors.h"
#include "widgets/GdiCanvas.h"

using TNotifyEvent = std::function<void(QObject* Sender)>;

// Everything a paint derives from the properties, kept apart from the drawing.
struct TCDSizeTick {
    int X = 0;
    int Bottom = 0;       // the line runs from (X, 0) down to, not including, this row
    bool Labelled = false;
    int Megabytes = 0;
};

struct TCDSizeLayout {
    bool Horizontal = true;
    int TickCount = 0;
    double Spacing = 0;          // pixels per tick (10 MB unless the ruler counts larger steps)
    TRect Background;
    TRect CapacityStrip;
    TRect DataStrip;
    bool OverBurn = false;       // MemShaded > MaxCDSize
    int LabelTop = 0;
    bool Scaled = true;          // false when MaxMemory leaves no scale to draw
};

// tickMegabytes: what one tick of the ruler counts; 10 on a CD's scale, more for a scale of
// gigabytes, which would otherwise draw a tick to every pixel.
TCDSizeLayout LayoutCDSize(int width, int height, int maxCDSize, int maxMemory, int memShaded,
                           int progressGap, int tickMegabytes = 10);
// Tick i (1 .. TickCount) of the ruler.
TCDSizeTick CDSizeTickOf(int i, double spacing, int height, int tickMegabytes = 10);

// Text of a long tick's label.
QString CDSizeLabel(int megabytes);

class TCDSize : public QWidget {
    Q_OBJECT
    Q_PROPERTY(uint BarColour READ BarColour WRITE setBarColour RESET resetBarColour)
    Q_PROPERTY(uint MemBarColour READ MemBarColour WRITE setMemBarColour RESET resetMemBarColour)
    Q_PROPERTY(int ProgressGap READ ProgressGap WRITE setProgressGap RESET resetProgressGap)
    Q_PROPERTY(int MaxCDSize READ MaxCDSize WRITE setMaxCDSize RESET resetMaxCDSize)
    Q_PROPERTY(int MaxMemory READ MaxMemory WRITE setMaxMemory RESET resetMaxMemory)
    Q_PROPERTY(uint OverBurnColour READ OverBurnColour WRITE setOverBurnColour RESET resetOverBurnColour)
    Q_PROPERTY(int MemShaded READ MemShaded WRITE setMemShaded RESET resetMemShaded)
    Q_PROPERTY(uint TickColour READ TickColour WRITE setTickColour RESET resetTickColour)

public:
    static constexpr TColor DefaultBarColour = clSilver;
    static constexpr TColor DefaultMemBarColour = clSilver;
    static constexpr int DefaultProgressGap = 2;
    static constexpr int DefaultMaxCDSize = 650;
    static constexpr int DefaultMaxMemory = 750;
    static constexpr TColor DefaultOverBurnColour = clRed;
    static constexpr int DefaultMemShaded = 0;
    static constexpr TColor DefaultTickColour = clBlack;
    static constexpr int DefaultWidth = 90;
    static constexpr int DefaultHeight = 20;

    explicit TCDSize(QWidget* parent = nullptr);

    TColor BarColour() const { return BarColour_; }
    TColor MemBarColour() const { return MemBarColour_; }
    int ProgressGap() const { return ProgressGap_; }
    int MaxCDSize() const { return MaxCDSize_; }
    int MaxMemory() const { return MaxMemory_; }
    // Megabytes a tick of the ruler counts (10); a label every ten ticks.
    int TickMegabytes() const { return TickMegabytes_; }
    void setTickMegabytes(int v) { TickMegabytes_ = v > 0 ? v : 10; }
    TColor OverBurnColour() const { return OverBurnColour_; }
    int MemShaded() const { return MemShaded_; }
    TColor TickColour() const { return TickColour_; }

    void setBarColour(TColor v);
    void setMemBarColour(TColor v);
    void setProgressGap(int v) { ProgressGap_ = v; }
    void setMaxCDSize(int v) { MaxCDSize_ = v; }
    void setMaxMemory(int v) { MaxMemory_ = v; }
    void setOverBurnColour(TColor v) { OverBurnColour_ = v; }
    void setMemShaded(int v);
    void setTickColour(TColor v) { TickColour_ = v; }

    void resetBarColour() { setBarColour(DefaultBarColour); }
    void resetMemBarColour() { setMemBarColour(DefaultMemBarColour); }
    void resetProgressGap() { setProgressGap(DefaultProgressGap); }
    void resetMaxCDSize() { setMaxCDSize(DefaultMaxCDSize); }
    void resetMaxMemory() { setMaxMemory(DefaultMaxMemory); }
    void resetOverBurnColour() { setOverBurnColour(DefaultOverBurnColour); }
    void resetMemShaded() { setMemShaded(DefaultMemShaded); }
    void resetTickColour() { setTickColour(DefaultTickColour); }

    // Whether a form writer keeps the property: not when it equals its declared default.
    bool IsPropertyStored(const char* name) const;

    // Called at every paint while the data exceeds the disc, with no sender.
    TNotifyEvent OnOverBurn;

    // Draws the current frame; also raises OnOverBurn as a paint does.
    QImage ComposeFrame();

    // Immediate repaints the control asked for (a hidden control still counts its requests).
    int RepaintRequests() const { return RepaintRequests_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Invalidate();

    TColor BarColour_ = DefaultBarColour;
    TColor MemBarColour_ = DefaultMemBarColour;
    int ProgressGap_ = DefaultProgressGap;
    int MaxCDSize_ = DefaultMaxCDSize;
    int MaxMemory_ = DefaultMaxMemory;
    int TickMegabytes_ = 10;
    TColor OverBurnColour_ = DefaultOverBurnColour;
    int MemShaded_ = DefaultMemShaded;
    TColor TickColour_ = DefaultTickColour;
    // The outline colour the canvas still holds from the previous paint's ruler.
    TColor CanvasPen_ = clBlack;
    int RepaintRequests_ = 0;
};
