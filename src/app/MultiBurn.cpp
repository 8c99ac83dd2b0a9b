#include "app/MultiBurn.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/AppServices.h"
#include "app/BurnUnit.h"
#include "app/JobFailure.h"
#include "app/Unit1.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "burner/DiscPlan.h"
#include "burner/DriveAccess.h"
#include "burner/JobScope.h"
#include "burner/StopRequest.h"
#include "scsi/SCSITypes.h"

namespace {

const char* const kTitle = "Burn Onto Several Drives";
// Room for a result such as "failed: Error creating CD. Error : Write Error at sector 8000" on
// one line; a longer one wraps within its row.
constexpr int kResultWidth = 420;

}  // namespace

// The dialog ----------------------------------------------------------------------------------

TTargetsDialog::TTargetsDialog(TForm1& Main, std::int64_t ImageBlocks) : QDialog(&Main)
{
    setObjectName(QStringLiteral("TargetsDialog"));
    setWindowTitle(QString::fromUtf8(kTitle));
    auto* layout = new QVBoxLayout(this);
    ImageLabel = new QLabel(this);
    ImageLabel->setObjectName(QStringLiteral("ImageLabel"));
    ImageLabel->setText(QStringLiteral("Burn %1 onto every drive checked below:").arg(QFileInfo(Main.ImageToBurn()).fileName()));
    layout->addWidget(ImageLabel);
    TargetList = new QListWidget(this);
    TargetList->setObjectName(QStringLiteral("TargetList"));
    layout->addWidget(TargetList);
    BlankWritersBox = new QCheckBox(QStringLiteral("Every writer with a blank disc"), this);
    BlankWritersBox->setObjectName(QStringLiteral("BlankWritersBox"));
    layout->addWidget(BlankWritersBox);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    OkBtn = buttons->button(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Each writer as the drive box names it, with what its disc is; the idle ones only are
    // asked, as the main window's own disc poll asks.
    const int writers = Main.BurnerList ? Main.BurnerList->Count() : 0;
    for (int i = 0; i < writers; ++i) {
        TCDBurner* burner = Main.BurnerList->Burners(i);
        QString disc;
        bool usable = false;
        bool canBurn = false;
        const TDriveAccessProblem problem = DriveAccessProblem(*Main.BurnerList, i);
        if (problem.Exists()) {
            disc = QString::fromStdString(problem.Reason);
        } else if (const TDeviceHold hold(burner->Info); hold.InUse()) {
            disc = QString::fromStdString(hold.InUseText());
        } else if (burner->WaitUntilReady(std::chrono::milliseconds(0)) != Err_None) {
            usable = true;
            disc = QString::fromStdString(NotReadyLine(*burner));
        } else {
            usable = true;
            // The burn's own verdict decides whether the disc takes the image as it is (it
            // writes and says nothing); the probe alone only describes the disc.
            const TDiscPlan plan = JudgeBurn(*burner, ImageBlocks);
            disc = QString::fromStdString(DiscSummaryLine(plan));
            canBurn = plan.CanBurn();
        }
        CanBurn_.push_back(canBurn);
        auto* item = new QListWidgetItem(Main.DriveCombo->itemText(i) + QStringLiteral("  \u2014  ") + disc, TargetList);
        item->setData(Qt::UserRole, i);
        item->setFlags(usable ? Qt::ItemIsUserCheckable | Qt::ItemIsEnabled : Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    // The sticks as the drive box lists them, after the writers.
    for (int i = writers; i < Main.DriveCombo->count(); ++i) {
        auto* item = new QListWidgetItem(Main.DriveCombo->itemText(i), TargetList);
        item->setData(Qt::UserRole, i);
        item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        item->setCheckState(Qt::Unchecked);
    }
    connect(BlankWritersBox, &QCheckBox::toggled, this, &TTargetsDialog::TakeBlankWriters);
    connect(TargetList, &QListWidget::itemChanged, this, &TTargetsDialog::UpdateOk);
    UpdateOk();

    // Every entry readable on one line.
    TargetList->setMinimumWidth(std::max(480, TargetList->sizeHintForColumn(0) + 32));
    TargetList->setMinimumHeight(std::clamp(TargetList->count(), 3, 12) * TargetList->sizeHintForRow(0) + 8);
    adjustSize();
}

bool TTargetsDialog::CanTakeImage(int Index) const
{
    return Index >= 0 && Index < static_cast<int>(CanBurn_.size()) && CanBurn_[static_cast<std::size_t>(Index)];
}

void TTargetsDialog::TakeBlankWriters(bool On)
{
    for (int i = 0; i < static_cast<int>(CanBurn_.size()); ++i) {
        QListWidgetItem* item = TargetList->item(i);
        if (CanTakeImage(i))
            item->setCheckState(On ? Qt::Checked : Qt::Unchecked);
        else if (On)
            item->setCheckState(Qt::Unchecked);
    }
}

void TTargetsDialog::UpdateOk()
{
    OkBtn->setEnabled(!Checked().empty());
}

std::vector<int> TTargetsDialog::Checked() const
{
    std::vector<int> entries;
    for (int i = 0; i < TargetList->count(); ++i) {
        const QListWidgetItem* item = TargetList->item(i);
        if (item->checkState() == Qt::Checked && (item->flags() & Qt::ItemIsEnabled))
            entries.push_back(item->data(Qt::UserRole).toInt());
    }
    return entries;
}

// The progress window ---------------------------------------------------------------------------

TMultiBurnForm::TMultiBurnForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("MultiBurnForm"));
    setWindowTitle(QString::fromUtf8(kTitle));
    auto* layout = new QVBoxLayout(this);
    ImageLabel = new QLabel(this);
    ImageLabel->setObjectName(QStringLiteral("ImageLabel"));
    layout->addWidget(ImageLabel);
    Rows = new QTableWidget(0, ColumnCount, this);
    Rows->setObjectName(QStringLiteral("Rows"));
    Rows->setHorizontalHeaderLabels(
        {QStringLiteral("Target"), QStringLiteral("Step"), QStringLiteral("Progress"), QStringLiteral("Speed"),
         QStringLiteral("Drive Buffer"), QStringLiteral("Result")});
    Rows->verticalHeader()->hide();
    Rows->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Rows->setSelectionMode(QAbstractItemView::NoSelection);
    Rows->setFocusPolicy(Qt::NoFocus);
    Rows->setWordWrap(true);
    Rows->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Rows->horizontalHeader()->setSectionsClickable(false);
    Rows->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {70, 210, 110, 64, 82};
    for (int c = 0; c < ColResult; ++c)
        Rows->setColumnWidth(c, widths[c]);
    layout->addWidget(Rows);
    auto* bottom = new QHBoxLayout;
    TimeLabel = new QLabel(this);
    TimeLabel->setObjectName(QStringLiteral("TimeLabel"));
    bottom->addWidget(TimeLabel, 1);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setEnabled(false);
    bottom->addWidget(CancelBtn);
    layout->addLayout(bottom);
    connect(CancelBtn, &QPushButton::clicked, this, &TMultiBurnForm::AskToCancel);
    // Closing it only hides it, and it never keeps the program running.
    setAttribute(Qt::WA_QuitOnClose, false);
}

TMultiBurnForm::~TMultiBurnForm() = default;

void TMultiBurnForm::SetCell(std::size_t Target, int Column, const QString& Text)
{
    QTableWidgetItem* item = Rows->item(static_cast<int>(Target), Column);
    if (!item) {
        item = new QTableWidgetItem;
        Rows->setItem(static_cast<int>(Target), Column, item);
    }
    item->setText(Text);
}

void TMultiBurnForm::StartRows(const std::vector<TBurnTarget>& Targets)
{
    Rows->setRowCount(0);
    Rows->setRowCount(static_cast<int>(Targets.size()));
    for (std::size_t i = 0; i < Targets.size(); ++i) {
        SetCell(i, ColTarget, QString::fromStdString(Targets[i].Name));
        Rows->item(static_cast<int>(i), ColTarget)
            ->setToolTip(Targets[i].Stick ? QString::fromStdString(Targets[i].Stick->Description)
                                          : QString::fromStdString(DriveBoxEntry(Targets[i].Writer->Info)));
        SetCell(i, ColStep, JobPhaseText(TJobPhase::Setup));
        auto* bar = new QProgressBar(Rows);
        bar->setRange(0, 100);
        bar->setValue(0);
        Rows->setCellWidget(static_cast<int>(i), ColProgress, bar);
        SetCell(i, ColSpeed, QStringLiteral("-"));
        SetCell(i, ColBuffer, QStringLiteral("-"));
        SetCell(i, ColResult, QString());
    }
    FitRows();
}

void TMultiBurnForm::FitRows()
{
    // Every row in sight without scrolling, and every column at its width.
    int height = Rows->horizontalHeader()->sizeHint().height() + 2 * Rows->frameWidth();
    for (int r = 0; r < Rows->rowCount(); ++r)
        height += Rows->rowHeight(r);
    Rows->setFixedHeight(height);
    int width = 2 * Rows->frameWidth() + kResultWidth;
    for (int c = 0; c < ColResult; ++c)
        width += Rows->columnWidth(c);
    Rows->setMinimumWidth(width);
    adjustSize();
}

void TMultiBurnForm::ShowProgress(std::size_t Target, const TJobProgress& Progress)
{
    const int row = static_cast<int>(Target);
    SetCell(Target, ColStep,
            JobPhaseText(Progress.Phase) +
                (Progress.Sector >= 0 ? QStringLiteral(": sector %1 of %2").arg(Progress.Sector + 1).arg(Progress.Total)
                                      : QStringLiteral(": %1%").arg(Progress.Percent)));
    if (auto* bar = qobject_cast<QProgressBar*>(Rows->cellWidget(row, ColProgress)))
        bar->setValue(Progress.Percent);
    // The last pace and buffer fill measured stay in sight until there are newer ones.
    const bool stick = Set_ && Set_->Target(Target).Stick.has_value();
    if (Progress.Sector >= 0 && (Progress.SpeedX > 0 || (stick && Progress.BlocksPerSecond > 0)))
        SetCell(Target, ColSpeed, JobSpeedText(Progress, stick));
    if (Progress.DriveBuffer >= 0)
        SetCell(Target, ColBuffer, QStringLiteral("%1%").arg(Progress.DriveBuffer));
    emit TargetProgressed(row, static_cast<int>(Progress.Phase), Progress.Percent);
}

void TMultiBurnForm::ShowEnd(std::size_t Target)
{
    const TBurnTarget& target = Set_->Target(Target);
    const TBurnJobResult& r = Set_->Job(Target).Result();
    // The writer is its job's alone until the job has ended: its last outcome is read only now.
    const TJobOutcome outcome = target.Writer ? target.Writer->LastOutcome : r.Outcome;
    const TScsiError lastError = target.Writer ? target.Writer->LastError : r.LastError;
    Results_[Target] = TargetResultOf(r, Lines_[Target], target.Stick ? &*target.Stick : nullptr, outcome, lastError,
                                      Choices.Simulate, Cancelled_ || Set_->StopFlag.load());
    const TTargetResult& result = Results_[Target];
    const int row = static_cast<int>(Target);
    SetCell(Target, ColStep, result.End == TTargetEnd::Done        ? QStringLiteral("Done")
                             : result.End == TTargetEnd::Cancelled ? QStringLiteral("Cancelled")
                                                                   : QStringLiteral("Failed"));
    if (auto* bar = qobject_cast<QProgressBar*>(Rows->cellWidget(row, ColProgress)); bar && result.End == TTargetEnd::Done)
        bar->setValue(100);
    SetCell(Target, ColResult, QString::fromStdString(result.Text));
    Rows->item(row, ColResult)->setToolTip(QString::fromStdString(result.Text));
    Rows->resizeRowToContents(row);
    FitRows();
    emit TargetEnded(row);
}

void TMultiBurnForm::ShowSummary()
{
    QStringList lines;
    bool failed = false;
    bool cancelled = false;
    for (std::size_t i = 0; i < Results_.size(); ++i) {
        // "D: done", "/dev/sdb: done".
        const std::string& name = Set_->Target(i).Name;
        lines << QString::fromStdString(name + (name.ends_with(':') ? " " : ": ") + Results_[i].Text);
        failed = failed || Results_[i].End == TTargetEnd::Failed;
        cancelled = cancelled || Results_[i].End == TTargetEnd::Cancelled;
    }
    Summary_ = lines.join(QStringLiteral("\r\n"));
    MessageBoxes().Show(this, Summary_, failed      ? IMessageBoxes::Kind::Error
                                        : cancelled ? IMessageBoxes::Kind::Information
                                                    : IMessageBoxes::Kind::Plain);
}

void TMultiBurnForm::AskToCancel()
{
    if (!Running_ || Cancelled_)
        return;
    if (!MessageBoxes().Ask(this, QStringLiteral("The burns are running. Cancel all of them?")))
        return;
    // Asked again after the answer: the burns may have ended meanwhile.
    if (!Running_ || Cancelled_ || !Set_)
        return;
    Cancelled_ = true;
    CancelBtn->setEnabled(false);
    TimeLabel->setText(QStringLiteral("Cancelling: every burn stops at its next safe point"));
    Set_->Stop();
}

void TMultiBurnForm::closeEvent(QCloseEvent* event)
{
    if (!Running_) {
        QWidget::closeEvent(event);
        return;
    }
    // The jobs report to this window: it stays open until all of them have ended.
    event->ignore();
    AskToCancel();
}

bool TMultiBurnForm::Burn(const QString& ImagePath, std::vector<TBurnTarget> Targets)
{
    ImageRefused_ = false;
    Cancelled_ = false;
    Summary_.clear();
    if (Targets.empty())
        return false;
    Lines_.assign(Targets.size(), {});
    Results_.assign(Targets.size(), TTargetResult());
    StartRows(Targets);
    ImageLabel->setText(QStringLiteral("%1 onto %2 targets at once").arg(QFileInfo(ImagePath).fileName()).arg(Targets.size()));
    TBurnJobSet set(DesktopJobOptions(Choices, ImagePath.toStdString(), false), std::move(Targets));

    // The window's state for the life of the burns.
    struct Running {
        TMultiBurnForm& Form;
        Running(TMultiBurnForm& form, TBurnJobSet& set) : Form(form)
        {
            Form.Set_ = &set;
            Form.Running_ = true;
            Form.Clock_.start();
            Form.TimeLabel->clear();
            Form.CancelBtn->setEnabled(true);
            Form.show();
            Form.raise();
            QCoreApplication::processEvents();
        }
        ~Running()
        {
            Form.Set_ = nullptr;
            Form.Running_ = false;
            Form.CancelBtn->setEnabled(false);
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running(*this, set);

    // The image is checked once for every target, before any drive is asked anything; a
    // refusal, or a warning the user would not burn past, ends it here as for one drive.
    set.OnProgress = [this](std::size_t, const TJobProgress& p) {
        TimeLabel->setText(QStringLiteral("%1: %2%").arg(JobPhaseText(p.Phase)).arg(p.Percent));
        QCoreApplication::processEvents();
    };
    kvstop::SetCancelTarget(&set.CheckStop());
    const bool go = set.CheckImage();
    kvstop::SetCancelTarget(nullptr);
    const std::optional<TImageCheck>& check = set.Job(0).ImageCheck();
    if (check && Form1 && !check->ChecksumLine.empty())
        Form1->ShowImageCheck(*check);
    if (!go) {
        ImageRefused_ = true;
        if (set.Job(0).Result().End == TBurnJobEnd::CheckStopped)
            MessageBoxes().Show(this, QStringLiteral("Burn cancelled.\r\n") +
                                          QString::fromStdString(CancelledJobText(set.Job(0).Result(), false)),
                                IMessageBoxes::Kind::Information);
        else if (check)
            MessageBoxes().Show(this, QString::fromStdString(check->Message), IMessageBoxes::Kind::Error);
        return false;
    }
    if (check && !check->Warning.empty() &&
        !MessageBoxes().Ask(this, QString::fromStdString(check->Warning) + QStringLiteral("\r\n\r\nBurn it all the same?"))) {
        ImageRefused_ = true;
        return false;
    }

    set.OnStatus = [this](std::size_t i, TJobPhase, const std::string& text) {
        Lines_[i].push_back(text);
        Rows->item(static_cast<int>(i), ColStep)->setToolTip(QString::fromStdString(text));
    };
    set.OnProgress = [this](std::size_t i, const TJobProgress& p) { ShowProgress(i, p); };
    set.OnPhase = [this](std::size_t i, TJobPhase phase) { SetCell(i, ColStep, JobPhaseText(phase)); };
    set.OnWait = [this](std::size_t i, const TWaitInfo& wait) { SetCell(i, ColStep, WaitText(wait)); };
    set.OnEnded = [this](std::size_t i) { ShowEnd(i); };
    set.OnConfirmBlank = [this, &set](std::size_t i, const TDiscPlan&) {
        return MessageBoxes().Ask(this, BlankQuestion(set.Target(i).Writer->Info.DriveLetter));
    };
    // The window lives on the thread that runs the set: its messages are handled here.
    set.OnIdle = [this] {
        if (!Cancelled_)
            TimeLabel->setText(QStringLiteral("Elapsed %1").arg(DurationText(Clock_.elapsed() / 1000.0)));
        QCoreApplication::processEvents();
    };
    // Ctrl-C and SIGTERM stop every burn; the set passes the request on from this thread.
    kvstop::SetCancelTarget(&set.StopFlag);
    const bool all = set.Run();
    kvstop::SetCancelTarget(nullptr);
    ShowSummary();
    return all;
}
