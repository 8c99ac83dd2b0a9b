#include "app/BurnUnit.h"

#include <algorithm>
#include <stdexcept>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>

#include "app/AppServices.h"
#include "app/Unit1.h"
#include "burner/BurnJob.h"
#include "burner/CDBurner.h"
#include "burner/DiscPlan.h"
#include "app/JobFailure.h"
#include "burner/JobScope.h"
#include "burner/StopRequest.h"
#include "burner/WriteSpeed.h"
#include "stick/StickWriter.h"
#include "scsi/SCSITypes.h"
#include "ui_BurnUnit.h"
#include "widgets/Gauges.h"
#include "widgets/ProgressCyl.h"

TBurnForm* BurnForm = nullptr;

TBurnForm::TBurnForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), ui(new Ui::TBurnForm)
{
    ui->setupUi(this);
    Label5 = ui->Label5;
    ListBox1 = ui->ListBox1;
    Label1 = ui->Label1;
    Gauge1 = ui->Gauge1;
    Label6 = ui->Label6;
    Gauge3 = ui->Gauge3;
    Label2 = ui->Label2;
    Gauge2 = ui->Gauge2;
    Label3 = ui->Label3;
    Label4 = ui->Label4;
    StatusBar1 = ui->StatusBar1;

    // One plain text; a label keeps it where a transient message would not.
    StatusLabel_ = new QLabel(StatusBar1);
    StatusLabel_->setObjectName(QStringLiteral("StatusBar1Text"));
    StatusBar1->addWidget(StatusLabel_, 1);

    // Below the buffer figures, where the window had room: what the job does and how fast, and
    // the one way to stop it.
    StepLabel = new QLabel(this);
    StepLabel->setObjectName(QStringLiteral("StepLabel"));
    StepLabel->setGeometry(14, 352, 270, 16);
    TimeLabel = new QLabel(this);
    TimeLabel->setObjectName(QStringLiteral("TimeLabel"));
    TimeLabel->setGeometry(14, 372, 270, 16);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(288, 360, 80, 25);
    CancelBtn->setEnabled(false);
    connect(CancelBtn, &QPushButton::clicked, this, &TBurnForm::CancelJob);

    setFixedSize(size());
    // Closing it only hides it, and it never keeps the program running.
    setAttribute(Qt::WA_QuitOnClose, false);
    CentreOnScreen(this);
    BurnForm = this;
}

TBurnForm::~TBurnForm()
{
    if (BurnForm == this)
        BurnForm = nullptr;
}

QString TBurnForm::StatusText() const
{
    return StatusLabel_->text();
}

void TBurnForm::copystats(std::int32_t Number, std::int32_t Percent)
{
    QCoreApplication::processEvents();
    Gauge2->setProgress(Percent);
    if (Form1)
        Form1->ProgressBar->setPosition(Percent);
    StatusLabel_->setText(QStringLiteral("Sector : ") + QString::number(Number));
    repaint();
    emit Progressed(Number, Percent);
}

void TBurnForm::CDStatus(const std::string& Text)
{
    JobLines_.push_back(Text);
    ListBox1->insertItem(0, QString::fromStdString(Text));
}

void TBurnForm::WaitStatus(const TWaitInfo& Wait)
{
    const qint64 ms = Wait.Elapsed.count();
    StatusLabel_->setText(WaitText(Wait));
    if (Form1 && !Wait.Step.empty())
        Form1->ShowJobStep(QString::fromStdString(Wait.Action));
    QCoreApplication::processEvents();
    emit Waited(static_cast<int>(Wait.Phase), ms);
}

void TBurnForm::BufferProgress(std::int32_t Percent)
{
    Gauge1->setProgress(Percent);
}

void TBurnForm::FileBufferProgress(std::int32_t Percent)
{
    Gauge3->setProgress(Percent);
}

void TBurnForm::BufferStatus(std::int32_t Length, std::int32_t Free)
{
    Label3->setText(QStringLiteral("Burner Buffer Size : ") + QString::number(Length / 1024) + QStringLiteral(" kb"));
    Label4->setText(QStringLiteral("Burner Free Buffer : ") + QString::number(Free / 1024) + QStringLiteral(" kb"));
}

QWidget* TBurnForm::MessageParent()
{
    // A hidden window's messages belong to the main window.
    if (!isVisible() && Form1)
        return Form1;
    return this;
}

// What the step line calls a phase.
QString JobPhaseText(TJobPhase Phase)
{
    switch (Phase) {
    case TJobPhase::Setup: return QStringLiteral("Preparing");
    case TJobPhase::Checksum: return QStringLiteral("Checking the image");
    case TJobPhase::Check: return QStringLiteral("Checking the image");
    case TJobPhase::Blank: return QStringLiteral("Blanking");
    case TJobPhase::Format: return QStringLiteral("Formatting");
    case TJobPhase::Write: return QStringLiteral("Writing");
    case TJobPhase::Close: return QStringLiteral("Closing");
    case TJobPhase::Verify: return QStringLiteral("Verifying");
    case TJobPhase::Eject: return QStringLiteral("Ejecting");
    }
    return QString();
}

QString DurationText(double Seconds)
{
    if (!(Seconds >= 0))
        return QStringLiteral("--:--");
    const auto total = static_cast<qint64>(Seconds + 0.5);
    if (total >= 3600)
        return QStringLiteral("%1:%2:%3").arg(total / 3600).arg(total / 60 % 60, 2, 10, QChar(u'0')).arg(total % 60, 2, 10, QChar(u'0'));
    return QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QChar(u'0'));
}

QString JobSpeedText(const TJobProgress& Progress, bool Stick)
{
    // A disc's pace in its x; a stick has none: MB/s.
    const double x = Progress.SpeedX;
    const double mbs = kvrate::MegabytesPerSecond(Progress.BlocksPerSecond);
    return Stick   ? (mbs > 0 ? QStringLiteral("%1 MB/s").arg(mbs, 0, 'f', 1) : QStringLiteral("--.- MB/s"))
           : x > 0 ? QStringLiteral("%1x").arg(x, 0, 'f', 1)
                   : QStringLiteral("--.-x");
}

QString WaitText(const TWaitInfo& Wait)
{
    const qint64 ms = Wait.Elapsed.count();
    // The step first; once the wait is noticeable, how long it has lasted.
    if (ms < 1000 && !Wait.Step.empty())
        return QString::fromStdString(Wait.Step);
    return (Wait.Phase == TWaitPhase::Buffer ? QStringLiteral("waiting for the drive's buffer, %1 s")
                                             : QStringLiteral("waiting for the drive, %1 s"))
        .arg(ms / 1000);
}

void TBurnForm::JobProgress(const TJobProgress& Progress)
{
    ProgressPhase_ = static_cast<int>(Progress.Phase);
    // By the sector where there are sectors: the percent gauge is the writer's own count.
    StepLabel->setText(JobPhaseText(Progress.Phase) +
                       (Progress.Sector >= 0 ? QStringLiteral(": sector %1 of %2").arg(Progress.Sector + 1).arg(Progress.Total)
                                             : QStringLiteral(": %1%").arg(Progress.Percent)));
    const QString speed = JobSpeedText(Progress, StickJob_);
    TimeLabel->setText(QStringLiteral("Speed %1   Elapsed %2   Left %3")
                           .arg(Progress.Sector >= 0 ? speed : QStringLiteral("-"))
                           .arg(DurationText(JobClock_.isValid() ? JobClock_.elapsed() / 1000.0 : 0))
                           .arg(DurationText(Progress.SecondsLeft)));
    // The writer's progress (the write, the read-back) moves the gauges and the bar through
    // copystats; the image's checksum, which the job computes itself, moves them here.
    if (Progress.Phase == TJobPhase::Checksum || StickJob_) {
        Gauge2->setProgress(Progress.Percent);
        if (Form1)
            Form1->ProgressBar->setPosition(Progress.Percent);
        if (Progress.Sector >= 0)
            StatusLabel_->setText(QStringLiteral("Sector : ") + QString::number(Progress.Sector));
        QCoreApplication::processEvents();
    }
    emit JobProgressed(static_cast<int>(Progress.Phase), Progress.Percent);
}

QString TBurnForm::FailureReason() const
{
    if (!Burner)
        return QString::fromStdString(BurnFailureText(JobLines_, Err_Unknown));
    return QString::fromStdString(WriterFailureText(JobLines_, Burner->LastOutcome, Burner->LastError));
}

class TBurnForm::JobSubscription {
public:
    JobSubscription(TBurnForm& form, bool fileBuffer) : burner_(*form.Burner)
    {
        form.JobLines_.clear();
        TBurnForm* w = &form;
        burner_.OnProgress = [w](std::int32_t n, std::int32_t p) { w->copystats(n, p); };
        burner_.OnStatus = [w](const std::string& t) { w->CDStatus(t); };
        burner_.OnBufferProgress = [w](std::int32_t p) { w->BufferProgress(p); };
        if (fileBuffer)
            burner_.OnFileBufferProgress = [w](std::int32_t p) { w->FileBufferProgress(p); };
        burner_.OnBufferStatus = [w](std::int32_t l, std::int32_t f) { w->BufferStatus(l, f); };
        burner_.OnWait = [w](const TWaitInfo& wait) { w->WaitStatus(wait); };
        // Often enough that a message posted meanwhile is handled well within a quarter second.
        interval_ = burner_.WaitCallbackInterval;
        burner_.WaitCallbackInterval = std::min(interval_, std::chrono::milliseconds(100));
        kvstop::SetCancelTarget(&burner_.CancelRequested);
    }
    ~JobSubscription()
    {
        kvstop::SetCancelTarget(nullptr);
        burner_.WaitCallbackInterval = interval_;
        UnsubscribeEvents(burner_);
    }
    JobSubscription(const JobSubscription&) = delete;
    JobSubscription& operator=(const JobSubscription&) = delete;

private:
    TCDBurner& burner_;
    std::chrono::milliseconds interval_{0};
};

// The window's state for the life of one job: shown, Cancel enabled, the step lines cleared;
// afterwards Cancel disabled again and the last step left on screen.
class TBurnForm::Running {
public:
    explicit Running(TBurnForm& form) : form_(form)
    {
        form_.Running_ = true;
        form_.Cancelled_ = false;
        form_.ProgressPhase_ = -1;
        form_.JobClock_.start();
        form_.StepLabel->setText(JobPhaseText(TJobPhase::Setup));
        form_.TimeLabel->clear();
        form_.CancelBtn->setEnabled(true);
        form_.show();
        QCoreApplication::processEvents();
    }
    ~Running()
    {
        form_.StickJob_ = false;
        form_.Job_ = nullptr;
        form_.Running_ = false;
        form_.CancelBtn->setEnabled(false);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    TBurnForm& form_;
};

void TBurnForm::CancelJob()
{
    if (!Running_ || Cancelled_)
        return;
    Cancelled_ = true;
    CancelBtn->setEnabled(false);
    StepLabel->setText(QStringLiteral("Cancelling: the job stops at its next safe point"));
    if (Burner)
        Burner->Cancel();
    if (Job_)
        Job_->CheckStop.store(true);
}

void TBurnForm::closeEvent(QCloseEvent* event)
{
    if (!Running_) {
        QWidget::closeEvent(event);
        return;
    }
    // The job keeps this window to report to: it stays open until the job has ended.
    event->ignore();
    if (!Cancelled_ && MessageBoxes().Ask(this, QStringLiteral("A job is running. Cancel it?")))
        CancelJob();
}

TBurnJobOptions DesktopJobOptions(const TJobChoices& Choices, const std::string& Image, bool Audio)
{
    TBurnJobOptions options;
    options.Image = Image;
    options.Verify = !Audio && Choices.Verify && !Choices.Simulate;
    options.Eject = false;
    options.HoldDrive = false;
    options.Simulate = Choices.Simulate;
    options.SpeedGiven = Choices.Speed > 0;
    options.Speed = Choices.Speed;
    options.KeepSessionOpen = Choices.KeepSessionOpen;
    return options;
}

QString BlankQuestion(char DriveLetter)
{
    return QStringLiteral("The disc in %1: is not blank. Blank it and burn?\r\nEverything on it will be erased.")
        .arg(QChar::fromLatin1(DriveLetter));
}

// A used rewritable disc is blanked first only when the user says so.
TBurnJob TBurnForm::MakeJob(const std::string& Image, bool Audio)
{
    TBurnJobOptions options = DesktopJobOptions(Choices, Image, Audio);
    options.StopRequested = [this] { return Cancelled_; };
    options.ConfirmBlank = [this](const TDiscPlan&) {
        return MessageBoxes().Ask(MessageParent(), BlankQuestion(Burner->Info.DriveLetter));
    };
    return TBurnJob(options);
}

// A job refused by its plan has said why in a message box (a blank the user declined says
// nothing more); true for any other end.
bool TBurnForm::SayPlanRefusal(const TBurnJobResult& Result)
{
    if (Result.End != TBurnJobEnd::PlanRefused && Result.End != TBurnJobEnd::CannotSimulate)
        return true;
    if (Result.End == TBurnJobEnd::CannotSimulate)
        MessageBoxes().Show(MessageParent(), QStringLiteral("This burn cannot be simulated: ") +
                                                 QString::fromStdString(Result.Message),
                            IMessageBoxes::Kind::Error);
    else if (!Result.BlankDeclined)
        MessageBoxes().Show(MessageParent(), QString::fromStdString(Result.Plan.Refusal), IMessageBoxes::Kind::Error);
    return false;
}

bool TBurnForm::BurnImage(const QString& ImagePath)
{
    if (!Burner)
        return false;
    Running running(*this);
    JobSubscription subscription(*this, true);
    TBurnJob job = MakeJob(ImagePath.toStdString(), false);
    Job_ = &job;
    ImageRefused_ = false;
    job.OnProgress = [this](const TJobProgress& p) { JobProgress(p); };
    // A damaged, wrong or unbootable image is found before the disc is spent; nothing has
    // reached the drive when it is refused. A missing file is left to the burn, which names it.
    if (QFileInfo(ImagePath).isFile()) {
        kvstop::SetCancelTarget(&job.CheckStop);
        const bool go = job.CheckImage();
        kvstop::SetCancelTarget(&Burner->CancelRequested);
        const std::optional<TImageCheck>& check = job.ImageCheck();
        if (check && Form1 && !check->ChecksumLine.empty())
            Form1->ShowImageCheck(*check);
        if (!go) {
            ImageRefused_ = true;
            if (job.Result().End == TBurnJobEnd::CheckStopped)
                MessageBoxes().Show(MessageParent(), QStringLiteral("Burn cancelled.\r\n") +
                                                         QString::fromStdString(CancelledJobText(job.Result(), false)),
                                    IMessageBoxes::Kind::Information);
            else if (check)
                MessageBoxes().Show(MessageParent(), QString::fromStdString(check->Message), IMessageBoxes::Kind::Error);
            return false;
        }
        if (check && !check->Warning.empty() &&
            !MessageBoxes().Ask(MessageParent(), QString::fromStdString(check->Warning) +
                                                     QStringLiteral("\r\n\r\nBurn it all the same?"))) {
            ImageRefused_ = true;
            return false;
        }
    }
    const bool burned = job.Burn(*Burner);
    const TBurnJobResult& r = job.Result();
    if (!SayPlanRefusal(r))
        return false;
    // An image that could not be read escapes to the caller, which names the file.
    if (r.Raised)
        throw std::runtime_error(r.Message);
    const std::optional<TImageCheck>& check = job.ImageCheck();
    const bool bootable = !check || check->Inspection.Bootable;
    if (burned) {
        ShowMessage(QString::fromStdString(BurnCompleteText(r, bootable, Choices.Simulate, job.Published())),
                    MessageParent());
    } else if (Cancelled_ && r.Step == TJobStep::Interrupted) {
        MessageBoxes().Show(MessageParent(), QStringLiteral("Burn cancelled.\r\n") +
                                                 QString::fromStdString(CancelledJobText(r, true)),
                            IMessageBoxes::Kind::Information);
    } else {
        // A burn that stopped is never reported as a finished disc: the step it stopped at, or
        // how the disc read back, is said here.
        const std::string readBack = ReadBackFailureText(r);
        MessageBoxes().Show(MessageParent(), QString::fromStdString(CreationErrorText(r.Plan)) + QStringLiteral("\r\n") +
                                                 (readBack.empty() ? FailureReason() : QString::fromStdString(readBack)),
                            IMessageBoxes::Kind::Error);
    }
    return burned;
}

bool TBurnForm::BurnAudio(std::int32_t TrackCount)
{
    if (!Burner)
        return false;
    Running running(*this);
    JobSubscription subscription(*this, true);
    TBurnJob job = MakeJob(std::string(), true);
    Job_ = &job;
    job.OnProgress = [this](const TJobProgress& p) { JobProgress(p); };
    const bool burned = job.BurnAudio(*Burner, TrackCount);
    const TBurnJobResult& r = job.Result();
    if (!SayPlanRefusal(r))
        return false;
    if (r.Raised)
        throw std::runtime_error(r.Message);
    // Only a job that ran to its end is reported as finished.
    if (burned)
        ShowMessage(Choices.Simulate ? QString::fromUtf8(kSimulationFinished) : QStringLiteral("Audio Tracks Finished!"), this);
    else if (Cancelled_ && r.Step == TJobStep::Interrupted)
        MessageBoxes().Show(this, QStringLiteral("Burn cancelled.\r\n") + QString::fromStdString(CancelledJobText(r, true)),
                            IMessageBoxes::Kind::Information);
    else
        MessageBoxes().Show(this, QStringLiteral("Error writing audio tracks.\r\n") + FailureReason(),
                            IMessageBoxes::Kind::Error);
    return burned;
}

bool TBurnForm::BlankDisc()
{
    if (!Burner)
        return false;
    Running running(*this);
    JobSubscription subscription(*this, false);
    // A disc still spinning up is waited for, as before a burn.
    const bool sent = WaitForDriveBeforeBurn(*Burner) == Err_None;
    const bool blanked = sent && Burner->Blank(0, 0);
    if (blanked) {
        ShowMessage(QStringLiteral("Blanking Finished!"), this);
        return true;
    }
    if (Burner->LastOutcome.Step == TJobStep::Interrupted) {
        // A drive cannot be stopped once it blanks: only the waiting stopped.
        // A drive that blanks takes no other command: its tray is unlocked once it has finished.
        const QString tray = Burner->TrayLockedByUs()
                                 ? QStringLiteral(" The tray stays locked until then; it is unlocked when the drive is ready.")
                                 : QStringLiteral(" The tray is unlocked.");
        MessageBoxes().Show(this, QStringLiteral("Blank cancelled.\r\n") + QString::fromStdString(CancelledBlankText(sent)) + tray,
                            IMessageBoxes::Kind::Information);
        return false;
    }
    // A sentence the user can act on, then the drive's answer by name.
    QString text = QString::fromStdString(ScsiErrorToText(Burner->LastOutcome.Error != Err_None ? Burner->LastOutcome.Error
                                                                                             : Burner->LastError));
    if (NoDiscOutcome(Burner->LastOutcome))
        text = QStringLiteral("No disc in the drive.\r\n") + text;
    else if (Burner->LastOutcome.Step == TJobStep::Medium)
        text = QStringLiteral("This disc is not rewritable.\r\n") + text;
    MessageBoxes().Show(this, text, IMessageBoxes::Kind::Error);
    return false;
}

bool TBurnForm::BurnStick(const QString& ImagePath, const TStickTarget& Stick)
{
    Running running(*this);
    StickJob_ = true;
    JobLines_.clear();
    TBurnJob job = MakeJob(ImagePath.toStdString(), false);
    Job_ = &job;
    job.OnProgress = [this](const TJobProgress& p) { JobProgress(p); };
    job.OnStatus = [this](TJobPhase, const std::string& text) { CDStatus(text); };
    const QString kind = QString::fromStdString(StickKind(Stick));
    const QString failed = QStringLiteral("Error creating the ") + kind + QStringLiteral(".\r\n");
    kvstop::SetCancelTarget(&job.CheckStop);
    const bool go = job.CheckImage();
    const std::optional<TImageCheck>& check = job.ImageCheck();
    if (!go || (check && !check->Warning.empty() &&
                !MessageBoxes().Ask(this, QString::fromStdString(check->Warning) + QStringLiteral("\r\n\r\nBurn it all the same?")))) {
        kvstop::SetCancelTarget(nullptr);
        if (!go && job.Result().End == TBurnJobEnd::CheckStopped)
            MessageBoxes().Show(this, QStringLiteral("Burn cancelled.\r\nNothing was written."), IMessageBoxes::Kind::Information);
        else if (!go && check)
            MessageBoxes().Show(this, failed + QString::fromStdString(check->Message), IMessageBoxes::Kind::Error);
        else if (!go)
            MessageBoxes().Show(this, failed + QStringLiteral("Image file ") + ImagePath + QStringLiteral(": ") +
                                          QString::fromStdString(job.Result().ImageOpenError),
                                IMessageBoxes::Kind::Error);
        return false;
    }
    const bool burned = job.BurnStick(Stick);
    kvstop::SetCancelTarget(nullptr);
    const TBurnJobResult& r = job.Result();
    if (burned) {
        ShowMessage(QString::fromStdString(StickCompleteText(r, Stick, !check || check->Inspection.Bootable, job.Published())), this);
    } else if (r.Step == TJobStep::Interrupted) {
        MessageBoxes().Show(this, QStringLiteral("Burn cancelled.\r\n") + QString::fromStdString(CancelledStickText(r, Stick)),
                            IMessageBoxes::Kind::Information);
    } else {
        const std::string readBack = ReadBackFailureText(r);
        MessageBoxes().Show(this, failed + QString::fromStdString(readBack.empty() ? r.Message : readBack),
                            IMessageBoxes::Kind::Error);
    }
    return burned;
}
