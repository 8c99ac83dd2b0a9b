// TBurnForm: the window a job on a writer reports to. Its handlers are subscribed to the
// writer's events before each job: a newest-first log, three gauges, the sector in the status
// bar, the drive buffer figures, and the main window's cylinder bar. Below them the job's step,
// speed and time left, and a Cancel button that stops the job at its next safe point.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include "app/AppSettings.h"

class TBurnJob;
struct TBurnJobResult;

class QLabel;
class QListWidget;
class QPushButton;
class QStatusBar;
class TCDBurner;
struct TDiscPlan;
class TGauge;
struct TJobProgress;
struct TStickTarget;
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
    // The job's step and percent; its speed, elapsed time and time left; the stop.
    QLabel* StepLabel = nullptr;
    QLabel* TimeLabel = nullptr;
    QPushButton* CancelBtn = nullptr;

    // The writer of the current job; set by the main window, not owned.
    TCDBurner* Burner = nullptr;
    // The options of the next burn; set by the main window.
    TJobChoices Choices;

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

    // The engine job's progress: step, percent, speed and time left.
    void JobProgress(const TJobProgress& Progress);

    // Jobs on Burner. BurnImage checks the image first (a refusal or a declined warning ends it
    // with nothing sent), lets an error of the image file escape to the caller, and returns
    // whether the burn ran to its end.
    bool BurnImage(const QString& ImagePath);
    // Burns tracks 0 .. TrackCount-1 of Burner's track list; returns whether the job ran to
    // its end.
    bool BurnAudio(std::int32_t TrackCount);
    bool BlankDisc();
    // The image onto a USB stick or SD card (the user agreed to erase it): the image and hybrid
    // checks, the write and the read-back, with the same window, options and Cancel.
    bool BurnStick(const QString& ImagePath, const TStickTarget& Stick);

    // True from the start of a job to its end.
    bool JobRunning() const { return Running_; }
    // Stops the running job at its next safe point (the Cancel button, or closing the window
    // after the user agreed); the job's end says what state the disc is in.
    void CancelJob();
    bool CancelRequested() const { return Cancelled_; }
    // The last BurnImage ended before anything reached the drive: the image was refused, or
    // the user would not burn it.
    bool ImageRefused() const { return ImageRefused_; }

signals:
    // After copystats has handled a block: the job's one point of message processing.
    void Progressed(int Number, int Percent);
    // After WaitStatus has handled one call of the writer's wait event.
    void Waited(int Phase, qint64 ElapsedMs);
    // After JobProgress has shown one report of the job.
    void JobProgressed(int Phase, int Percent);

protected:
    // Closing the window during a job asks whether to cancel it; the window stays until the
    // job has ended.
    void closeEvent(QCloseEvent* event) override;

private:
    // Subscribes the handlers to Burner's events for one job (the read-ahead gauge only when
    // the job reads an image) and empties the slots again when it ends, so that a writer never
    // calls into a window that is gone.
    class JobSubscription;

    // The run of one job: the controls of a running job, and the cancel state.
    class Running;
    QWidget* MessageParent();
    TBurnJob MakeJob(const std::string& Image, bool Audio);
    bool SayPlanRefusal(const TBurnJobResult& Result);
    // The text a failed job ends with: the step it stopped at, after a plain sentence for a
    // drive without a disc.
    QString FailureReason() const;

    std::unique_ptr<Ui::TBurnForm> ui;
    QLabel* StatusLabel_ = nullptr;
    // The status lines of the job that runs or ran last.
    std::vector<std::string> JobLines_;
    bool Running_ = false;
    bool Cancelled_ = false;
    bool ImageRefused_ = false;
    TBurnJob* Job_ = nullptr;        // the engine job that runs, if any
    QElapsedTimer JobClock_;
    int ProgressPhase_ = -1;         // the phase whose progress is shown
    bool StickJob_ = false;          // no writer reports the progress: the job does
};

// The progress window, for the main window's commands; null when there is none.
extern TBurnForm* BurnForm;

// The progress texts both progress windows show: what a phase is called ("Writing"), a time
// ("4:05", "--:--" unknown), the pace (its x, or MB/s for a stick), and a wait on the drive
// (its step, then how long it has lasted).
enum class TJobPhase : std::uint8_t;
QString JobPhaseText(TJobPhase Phase);
QString DurationText(double Seconds);
QString JobSpeedText(const TJobProgress& Progress, bool Stick);
QString WaitText(const TWaitInfo& Wait);

// The desktop's burns are the engine's burn job with the options the user chose in the main
// window: verify, speed, simulation and an open session; the main window ejects; each engine
// call opens the drive itself.
struct TBurnJobOptions;
TBurnJobOptions DesktopJobOptions(const TJobChoices& Choices, const std::string& Image, bool Audio);
// The question before a used rewritable disc is blanked for a burn.
QString BlankQuestion(char DriveLetter);
