#include "app/BurnUnit.h"

#include <algorithm>
#include <stdexcept>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QStatusBar>

#include "app/AppServices.h"
#include "app/Unit1.h"
#include "burner/BurnJob.h"
#include "burner/CDBurner.h"
#include "burner/DiscPlan.h"
#include "app/JobFailure.h"
#include "burner/JobScope.h"
#include "burner/StopRequest.h"
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
    // The step first; once the wait is noticeable, how long it has lasted.
    if (ms < 1000 && !Wait.Step.empty())
        StatusLabel_->setText(QString::fromStdString(Wait.Step));
    else
        StatusLabel_->setText((Wait.Phase == TWaitPhase::Buffer ? QStringLiteral("waiting for the drive's buffer, %1 s")
                                                                : QStringLiteral("waiting for the drive, %1 s"))
                                  .arg(ms / 1000));
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
    // Hidden during an image burn: the message then belongs to the main window.
    if (!isVisible() && Form1)
        return Form1;
    return this;
}

QString TBurnForm::FailureReason() const
{
    const QString reason = QString::fromStdString(BurnFailureText(JobLines_, Burner ? Burner->LastError : Err_Unknown));
    if (Burner && NoDiscOutcome(Burner->LastOutcome))
        return QStringLiteral("No disc in the drive.\r\n") + reason;
    return reason;
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

// The desktop's burns are the engine's burn job with what this program has always done: no
// verify, no eject (the main window ejects after an image burn), each engine call opening the
// drive itself, and a used rewritable disc blanked first only when the user says so.
TBurnJob TBurnForm::MakeJob(const std::string& Image)
{
    TBurnJobOptions options;
    options.Image = Image;
    options.CheckImage = false;
    options.Verify = false;
    options.Eject = false;
    options.HoldDrive = false;
    options.ConfirmBlank = [this](const TDiscPlan&) {
        return MessageBoxes().Ask(MessageParent(), QStringLiteral("The disc in %1: is not blank. Blank it and burn?")
                                                       .arg(QChar::fromLatin1(Burner->Info.DriveLetter)));
    };
    return TBurnJob(options);
}

// A job refused by its plan has said why in a message box (a blank the user declined says
// nothing more); true for any other end.
bool TBurnForm::SayPlanRefusal(const TBurnJobResult& Result)
{
    if (Result.End != TBurnJobEnd::PlanRefused)
        return true;
    if (!Result.BlankDeclined)
        MessageBoxes().Show(MessageParent(), QString::fromStdString(Result.Plan.Refusal), IMessageBoxes::Kind::Error);
    return false;
}

bool TBurnForm::BurnImage(const QString& ImagePath)
{
    if (!Burner)
        return false;
    JobSubscription subscription(*this, true);
    TBurnJob job = MakeJob(ImagePath.toStdString());
    const bool burned = job.Burn(*Burner);
    if (!SayPlanRefusal(job.Result()))
        return false;
    // An image that could not be read escapes to the caller, which names the file.
    if (job.Result().Raised)
        throw std::runtime_error(job.Result().Message);
    if (burned) {
        ShowMessage(QStringLiteral("CD Creation Complete!\r\nBe sure your computer can boot from your CD drive."),
                    MessageParent());
    } else {
        // A burn that stopped is never reported as a finished disc; the window is hidden
        // during an image burn, so the step it stopped at is said here.
        MessageBoxes().Show(MessageParent(), QStringLiteral("Error creating CD.\r\n") + FailureReason(),
                            IMessageBoxes::Kind::Error);
    }
    return burned;
}

bool TBurnForm::BurnAudio(std::int32_t TrackCount)
{
    if (!Burner)
        return false;
    JobSubscription subscription(*this, true);
    TBurnJob job = MakeJob(std::string());
    const bool burned = job.BurnAudio(*Burner, TrackCount);
    if (!SayPlanRefusal(job.Result()))
        return false;
    if (job.Result().Raised)
        throw std::runtime_error(job.Result().Message);
    // Only a job that ran to its end is reported as finished.
    if (burned)
        ShowMessage(QStringLiteral("Audio Tracks Finished!"), this);
    else
        MessageBoxes().Show(this, QStringLiteral("Error writing audio tracks.\r\n") + FailureReason(),
                            IMessageBoxes::Kind::Error);
    return burned;
}

bool TBurnForm::BlankDisc()
{
    if (!Burner)
        return false;
    JobSubscription subscription(*this, false);
    // A disc still spinning up is waited for, as before a burn.
    const bool blanked = WaitForDriveBeforeBurn(*Burner) == Err_None && Burner->Blank(0, 0);
    if (blanked) {
        ShowMessage(QStringLiteral("Blanking Finished!"), this);
        return true;
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
