// TBurnForm: the window a job on a writer reports to. Its handlers are subscribed to the
// writer's events before each job: a newest-first log, three gauges, the sector in the status
// bar, the drive buffer figures, and the main window's cylinder bar.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

class TBurnJob;
struct TBurnJobResult;

class QLabel;
class QListWidget;
class QStatusBar;
class TCDBurner;
struct TDiscPlan;
class TGauge;
struct TWaitInfo;

namespace Ui {
class TBurnForm;
}

class TBurnForm : public QWidget {
    Q_OBJECT
public:
    explicit TBurnForm(QWidget* parent = nullptr);
    ~TBurnForm() override;

    // Components, named as in the layout.
    QLabel* Label5 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QLabel* Label1 = nullptr;
    TGauge* Gauge1 = nullptr;
    QLabel* Label6 = nullptr;
    TGauge* Gauge3 = nullptr;
    QLabel* Label2 = nullptr;
    TGauge* Gauge2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    // The writer of the current job; set by the main window, not owned.
    TCDBurner* Burner = nullptr;

    QString StatusText() const;

    // Handlers of the writer's events.
    void copystats(std::int32_t Number, std::int32_t Percent);
    void CDStatus(const std::string& Text);
    void BufferProgress(std::int32_t Percent);
    void FileBufferProgress(std::int32_t Percent);
    void BufferStatus(std::int32_t Length, std::int32_t Free);
    // While the job waits on the drive: pending window messages are handled, the status bar
    // shows the step and then how long the wait has lasted, the main window's bar the step.
    void WaitStatus(const TWaitInfo& Wait);

    // Jobs on Burner. BurnImage lets an error of the image file escape to the caller; it
    // returns whether the burn ran to its end.
    bool BurnImage(const QString& ImagePath);
    // Burns tracks 0 .. TrackCount-1 of Burner's track list; returns whether the job ran to
    // its end.
    bool BurnAudio(std::int32_t TrackCount);
    bool BlankDisc();

signals:
    // After copystats has handled a block: the job's one point of message processing.
    void Progressed(int Number, int Percent);
    // After WaitStatus has handled one call of the writer's wait event.
    void Waited(int Phase, qint64 ElapsedMs);

private:
    // Subscribes the handlers to Burner's events for one job (the read-ahead gauge only when
    // the job reads an image) and empties the slots again when it ends, so that a writer never
    // calls into a window that is gone.
    class JobSubscription;

    QWidget* MessageParent();
    TBurnJob MakeJob(const std::string& Image);
    bool SayPlanRefusal(const TBurnJobResult& Result);
    // The text a failed job ends with: the step it stopped at, after a plain sentence for a
    // drive without a disc.
    QString FailureReason() const;

    std::unique_ptr<Ui::TBurnForm> ui;
    QLabel* StatusLabel_ = nullptr;
    // The status lines of the job that runs or ran last.
    std::vector<std::string> JobLines_;
};

// The progress window, for the main window's commands; null when there is none.
extern TBurnForm* BurnForm;
