#include "app/Unit1.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include <cmath>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QTimer>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>

#include "app/AppServices.h"
#include "app/Banner.h"
#include "app/BurnUnit.h"
#include "app/JobFailure.h"
#include "app/MultiBurn.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "burner/DiscPlan.h"
#include "burner/DriveAccess.h"
#include "burner/WriteSpeed.h"
#include "stick/StickDiscovery.h"
#include "burner/RescueImage.h"
#include "burner/WaveTracks.h"
#include "burner/WriteParameters.h"
#include "burner/ImageCheck.h"
#include "burner/JobScope.h"
#include "scsi/SCSITypes.h"
#include "ui_Unit1.h"
#include "widgets/CDSizer.h"
#include "widgets/ProgressCyl.h"

TForm1* Form1 = nullptr;
int TForm1::DefaultDiscPollInterval = 2000;
std::vector<TStickTarget> TForm1::VirtualSticks;

namespace {

const char* const kNoBurners = "No CD burners found on this computer.";

// The lines of a report as one message, each followed by a carriage return and line feed.
QString JoinReport(const std::vector<std::string>& lines)
{
    QString text;
    for (const auto& line : lines)
        text += QString::fromStdString(line) + QStringLiteral("\r\n");
    return text;
}

}  // namespace

// Disables every drive command for the life of a job and puts them back afterwards. The burn
// button keeps the state it had unless the command sets it itself.
class TForm1::JobScope {
public:
    explicit JobScope(TForm1& form) : form_(form), burnBtnEnabled_(form.BurnBtn->isEnabled())
    {
        form_.JobRunning_ = true;
        form_.SetDriveCommandsEnabled(false);
        // Each job starts its bar from 0, and it says "Done" only when the job has ended.
        textDone_ = form_.ProgressBar->TextDone();
        form_.ProgressBar->setPosition(form_.ProgressBar->Min());
        form_.ProgressBar->setTextDone(QString());
    }
    ~JobScope()
    {
        form_.ProgressBar->setTextDone(textDone_);
        form_.JobRunning_ = false;
        form_.SetDriveCommandsEnabled(true);
        form_.BurnBtn->setEnabled(burnBtnEnabled_);
    }
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;
    void KeepBurnButton(bool enabled) { burnBtnEnabled_ = enabled; }

private:
    TForm1& form_;
    bool burnBtnEnabled_;
    QString textDone_;
};

TForm1::TForm1(const QString& ProgramFolder, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      ui(new Ui::TForm1),
      ProgramFolder_(ProgramFolder)
{
    if (ProgramFolder_.isEmpty())
        ProgramFolder_ = QString::fromStdString(::ProgramFolder());
    if (!ProgramFolder_.endsWith(u'/'))
        ProgramFolder_ += u'/';

    ui->setupUi(this);
    ClientArea = ui->ClientArea;
    Panel2 = ui->Panel2;
    Label1 = ui->Label1;
    DriveCombo = ui->DriveCombo;
    BurnBtn = ui->BurnBtn;
    Image1 = ui->Image1;
    ProgressBar = ui->ProgressBar;
    CDSize1 = ui->CDSize1;
    PageControl1 = ui->PageControl1;
    TabSheet6 = ui->TabSheet6;
    ReadTocListView = ui->ReadTocListView;
    TabSheet1 = ui->TabSheet1;
    TrackListBox = ui->TrackListBox;
    StatusBar = ui->StatusBar;
    MainMenu1 = ui->MainMenu1;
    File1 = ui->File1;
    Options1 = ui->Options1;
    Functions1 = ui->Functions1;
    ISOFunctions1 = ui->ISOFunctions1;
    AddTrackToTrackList1 = ui->AddTrackToTrackList1;
    CDCapabilities1 = ui->CDCapabilities1;
    ShowReadWriteSpeeds1 = ui->ShowReadWriteSpeeds1;
    ShowWriterParameters1 = ui->ShowWriterParameters1;
    GetCDDVDStructure1 = ui->GetCDDVDStructure1;
    ViewTOC1 = ui->ViewTOC1;
    GetBufferBits1 = ui->GetBufferBits1;
    SetWriteModetoCDDA1 = ui->SetWriteModetoCDDA1;
    SetWriteModetoDataWrite1 = ui->SetWriteModetoDataWrite1;
    SaveCDToISOImage1 = ui->SaveCDToISOImage1;
    BurnISOToCD1 = ui->BurnISOToCD1;
    BurnWaveFileToCD1 = ui->BurnWaveFileToCD1;
    FormatCD1 = ui->FormatCD1;
    BlankCD1 = ui->BlankCD1;
    CreateISO9660File1 = ui->CreateISO9660File1;

    // The client area: Panel2 fills it above the status bar, white, and covers CDSize1.
    ClientArea->setFixedSize(483, 183);
    QPalette white = Panel2->palette();
    white.setColor(QPalette::Window, Qt::white);
    Panel2->setPalette(white);
    Panel2->raise();
    Image1->setPixmap(QPixmap::fromImage(DrawBanner(Image1->size())));
    ProgressBar->raise();
    BurnBtn->setIcon(BurnGlyph());
    BurnBtn->setIconSize(QSize(16, 16));
    const int tocWidths[] = {30, 40, 75, 350};
    for (int c = 0; c < 4; ++c)
        ReadTocListView->setColumnWidth(c, tocWidths[c]);
    ReadTocListView->horizontalHeader()->setSectionsClickable(false);
    StatusBar->setFixedHeight(19);
    StatusLabel_ = new QLabel(StatusBar);
    StatusLabel_->setObjectName(QStringLiteral("StatusBarText"));
    StatusBar->addWidget(StatusLabel_, 1);
    // Single fixed border: the window has exactly the size of its contents.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    connect(BurnBtn, &QPushButton::clicked, this, &TForm1::BurnISOToCD1Click);
    connect(BurnISOToCD1, &QAction::triggered, this, &TForm1::BurnISOToCD1Click);
    connect(BurnWaveFileToCD1, &QAction::triggered, this, &TForm1::BurnWaveFileToCD1Click);
    connect(CDCapabilities1, &QAction::triggered, this, &TForm1::CDCapabilities1Click);
    connect(ShowReadWriteSpeeds1, &QAction::triggered, this, &TForm1::ShowReadWriteSpeeds1Click);
    connect(ShowWriterParameters1, &QAction::triggered, this, &TForm1::ShowWriterParameters1Click);
    connect(ViewTOC1, &QAction::triggered, this, &TForm1::ViewTOC1Click);
    connect(GetCDDVDStructure1, &QAction::triggered, this, &TForm1::GetCDDVDStructure1Click);
    connect(GetBufferBits1, &QAction::triggered, this, &TForm1::GetBufferBits1Click);
    connect(SetWriteModetoCDDA1, &QAction::triggered, this, &TForm1::SetWriteModetoCDDA1Click);
    connect(SetWriteModetoDataWrite1, &QAction::triggered, this, &TForm1::SetWriteModetoDataWrite1Click);
    connect(BlankCD1, &QAction::triggered, this, &TForm1::BlankCD1Click);
    connect(DriveCombo, &QComboBox::currentIndexChanged, this, &TForm1::ShowDriveAccessHint);
    CDSize1->OnOverBurn = [this](QObject*) { CDSize1OverBurn(); };
    CreateJobMenus();
    setAcceptDrops(true);

    adjustSize();
    CentreOnScreen(this);
    Form1 = this;
    FormCreate();
}

TForm1::~TForm1()
{
    FormDestroy();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::FormCreate()
{
    BurnerList = std::make_unique<TCDBurnerList>();
    for (int i = 0; i < BurnerList->Count(); ++i) {
        TCDBurnerInfo info;
        BurnerList->Burners(i)->GetInfo(info);
        DriveCombo->addItem(QString::fromStdString(DriveBoxEntry(info)));
    }
    // After the writers: the removable drives an image can be written to, never the system's.
    Sticks = VirtualSticks;
    for (const TBlockDisk& disk : OfferedSticks())
        Sticks.push_back(StickTargetOf(disk));
    for (const TStickTarget& stick : Sticks)
        DriveCombo->addItem(QStringLiteral("%1  [ %2 ]").arg(QString::fromStdString(stick.DevicePath),
                                                            QString::fromStdString(stick.Description)));
    if (BurnerList->Count() == 0)
        MessageBoxes().Show(this, QString::fromUtf8(kNoBurners), IMessageBoxes::Kind::Information);
    if (DriveCombo->count() == 0)
        return;
    DriveCombo->setCurrentIndex(0);
    ShowDriveAccessHint();
    BurnBtn->setEnabled(RescueImagePresent(ProgramFolder_.toStdString()));
    // The image chosen in an earlier run, while it is still there; its checksum is checked when
    // it is burnt, not at every start.
    const QString last = LoadLastImage();
    if (!last.isEmpty() && QFileInfo(last).isFile())
        ChooseImage(last, false);
    else
        ShowImageCheck(TImageCheck());
    connect(DriveCombo, &QComboBox::currentIndexChanged, this, &TForm1::RefreshDisc);
    RefreshDisc();
    SetDiscPollInterval(DefaultDiscPollInterval);
}

void TForm1::FormDestroy()
{
    if (BurnForm && BurnerList)
        BurnForm->Burner = nullptr;
    BurnerList.reset();
}

QString TForm1::StatusText() const
{
    return StatusLabel_->text();
}

void TForm1::ShowLastResult()
{
    TCDBurner* burner = BurnerList ? BurnerList->Burners(DriveCombo->currentIndex()) : nullptr;
    if (!burner)
        return;
    StatusLabel_->setText(QString::fromStdString(ScsiErrorToText(burner->LastError)));
    StatusLabel_->setToolTip(QString());
    AccessHintShown_ = false;
    StatusBar->repaint();
}

void TForm1::ShowJobStep(const QString& Action)
{
    // The step's action, "Closing Session", as the engine gives it without its label.
    ProgressBar->setTextDone(Action);
}

void TForm1::ShowDriveAccessHint()
{
    if (!BurnerList)
        return;
    const TDriveAccessProblem problem = DriveAccessProblem(*BurnerList, DriveCombo->currentIndex());
    if (!problem.Exists()) {
        if (AccessHintShown_) {
            StatusLabel_->clear();
            StatusLabel_->setToolTip(QString());
            AccessHintShown_ = false;
        }
        return;
    }
    QString text = QString::fromStdString(problem.Reason);
    if (!problem.Advice.empty())
        text += QStringLiteral(". ") + QString::fromStdString(problem.Advice);
    // One line in the bar; the tool tip keeps the advice as written.
    StatusLabel_->setText(text.simplified());
    StatusLabel_->setToolTip(text);
    AccessHintShown_ = true;
}

std::vector<QAction*> TForm1::DriveActions() const
{
    return {CDCapabilities1, ShowReadWriteSpeeds1, ShowWriterParameters1, GetCDDVDStructure1,
            ViewTOC1,        GetBufferBits1,       SetWriteModetoCDDA1,   SetWriteModetoDataWrite1,
            BurnISOToCD1,    BurnWaveFileToCD1,    BlankCD1,              BurnOntoSeveralDrives1};
}

void TForm1::SetDriveCommandsEnabled(bool Enabled)
{
    for (QAction* action : DriveActions())
        action->setEnabled(Enabled);
    BurnBtn->setEnabled(Enabled);
    DriveCombo->setEnabled(Enabled);
}

const TStickTarget* TForm1::SelectedStick() const
{
    const int i = DriveCombo->currentIndex() - (BurnerList ? BurnerList->Count() : 0);
    return i >= 0 && i < static_cast<int>(Sticks.size()) ? &Sticks[static_cast<std::size_t>(i)] : nullptr;
}

TCDBurner* TForm1::SelectedBurner()
{
    if (JobRunning_)
        return nullptr;
    if (const TStickTarget* stick = SelectedStick()) {
        MessageBoxes().Show(this, QString::fromStdString(stick->Description) +
                                      QStringLiteral(" is a removable drive, not a CD writer: only the burn writes to it."),
                            IMessageBoxes::Kind::Information);
        return nullptr;
    }
    TCDBurner* burner = BurnerList ? BurnerList->Burners(DriveCombo->currentIndex()) : nullptr;
    if (!burner) {
        MessageBoxes().Show(this, QString::fromUtf8(kNoBurners), IMessageBoxes::Kind::Information);
        return nullptr;
    }
    // Nothing reaches a drive another program holds (a mounted disc, another burner), not even
    // a report's query: its commands would come between that program's.
    const TDeviceHold hold(burner->Info);
    if (hold.InUse()) {
        MessageBoxes().Show(this, QString::fromStdString(hold.InUseText()), IMessageBoxes::Kind::Error);
        return nullptr;
    }
    return burner;
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (JobRunning_) {
        event->ignore();
        StatusLabel_->setText(QStringLiteral("The job must end before the program can close."));
        StatusLabel_->setToolTip(QString());
        AccessHintShown_ = false;
        return;
    }
    QMainWindow::closeEvent(event);
}

// Burn image command ----------------------------------------------------------------------------

QString TForm1::ImageToBurn() const
{
    return ChosenImage_.isEmpty() ? QString::fromStdString(RescueImagePath(ProgramFolder_.toStdString())) : ChosenImage_;
}

void TForm1::BurnISOToCD1Click()
{
    if (JobRunning_)
        return;
    if (SelectedStick()) {
        BurnOntoStick();
        return;
    }
    TCDBurner* burner = SelectedBurner();
    if (!burner || !BurnForm)
        return;

    ImagePath = ImageToBurn();
    // Whole megabytes, rounded toward zero (a missing file's -1 gives 0).
    CDSize1->setMemShaded(static_cast<int>(FileSizeOf(ImagePath.toStdString()) / 1048576));

    BurnForm->Burner = burner;
    BurnForm->Choices = Choices();
    bool touched = true;
    {
        JobScope job(*this);
        ProgressBar->show();
        try {
            BurnForm->BurnImage(ImagePath);
            // A damaged, wrong or unbootable image is found before the disc is spent: nothing
            // reached the drive, and the disc stays in.
            touched = !BurnForm->ImageRefused();
        } catch (const std::exception& e) {
            // The image the command looked for, and why it could not be read.
            const QString why = QFileInfo::exists(ImagePath) ? QString::fromLocal8Bit(e.what())
                                                             : QStringLiteral("the file does not exist");
            MessageBoxes().Show(this, QStringLiteral("Error creating CD.\r\nImage file ") + ImagePath + QStringLiteral(": ") + why,
                                IMessageBoxes::Kind::Error);
        }
        ProgressBar->hide();
        job.KeepBurnButton(true);
    }
    if (touched && BurnForm->Choices.Eject)
        burner->Eject(true);
    // The next poll asks the drive again in full: the disc has changed.
    PolledReady_ = -1;
}

void TForm1::BurnOntoStick()
{
    const TStickTarget stick = *SelectedStick();
    if (!BurnForm)
        return;
    ImagePath = ImageToBurn();
    CDSize1->setMemShaded(static_cast<int>(std::max<std::int64_t>(0, FileSizeOf(ImagePath.toStdString())) / 1048576));
    if (!StickMayBeErased(stick))
        return;
    BurnForm->Burner = nullptr;
    BurnForm->Choices = Choices();
    {
        JobScope job(*this);
        ProgressBar->show();
        BurnForm->BurnStick(ImagePath, stick);
        ProgressBar->hide();
        job.KeepBurnButton(true);
    }
}

bool TForm1::StickMayBeErased(const TStickTarget& stick)
{
    // A stick whose partitions are mounted is refused by the kernel's exclusive open; the
    // program unmounts nothing by itself.
    if (!stick.IsFile) {
        const TBlockDisk disk = StickForPath(stick.DevicePath);
        if (!disk.Offered) {
            MessageBoxes().Show(this, QStringLiteral("Cannot burn onto ") + QString::fromStdString(stick.DevicePath) +
                                          QStringLiteral(": ") + QString::fromStdString(disk.Refusal) + u'.',
                                IMessageBoxes::Kind::Error);
            return false;
        }
        QStringList mounts;
        for (const auto& part : disk.Partitions)
            for (const auto& point : part.MountPoints)
                mounts << QString::fromStdString(part.DevicePath + " on " + point);
        for (const auto& point : disk.MountPoints)
            mounts << QString::fromStdString(disk.DevicePath + " on " + point);
        if (!mounts.isEmpty()) {
            MessageBoxes().Show(this, QString::fromStdString(stick.Description) + QStringLiteral(" has mounted partitions (") +
                                          mounts.join(QStringLiteral(", ")) +
                                          QStringLiteral("). Unmount them first; nothing was written."),
                                IMessageBoxes::Kind::Error);
            return false;
        }
    }
    return MessageBoxes().Ask(this, QStringLiteral("Everything on ") + QString::fromStdString(stick.Description) +
                                        QStringLiteral(" will be erased.\r\n\r\nBurn the image onto it?"));
}

// Several drives at once ----------------------------------------------------------------------

void TForm1::BurnOntoSeveralDrives1Click()
{
    if (JobRunning_)
        return;
    if (DriveCombo->count() == 0) {
        MessageBoxes().Show(this, QString::fromUtf8(kNoBurners), IMessageBoxes::Kind::Information);
        return;
    }
    const std::int64_t size = FileSizeOf(ImageToBurn().toStdString());
    TTargetsDialog dialog(*this, size > 0 ? (size + 2047) / 2048 : -1);
    if (dialog.exec() == QDialog::Accepted)
        BurnOntoTargets(dialog.Checked());
}

TMultiBurnForm* TForm1::SeveralForm()
{
    if (!SeveralForm_)
        SeveralForm_ = new TMultiBurnForm(this);
    return SeveralForm_;
}

bool TForm1::BurnOntoTargets(const std::vector<int>& Entries)
{
    if (JobRunning_ || !BurnerList || Entries.empty())
        return false;
    ImagePath = ImageToBurn();
    if (!QFileInfo(ImagePath).isFile()) {
        MessageBoxes().Show(this, QStringLiteral("Cannot burn ") + ImagePath + QStringLiteral(": it is not a file that can be read."),
                            IMessageBoxes::Kind::Error);
        return false;
    }
    CDSize1->setMemShaded(static_cast<int>(FileSizeOf(ImagePath.toStdString()) / 1048576));
    std::vector<TBurnTarget> targets;
    for (const int entry : Entries) {
        TBurnTarget target;
        if (entry < BurnerList->Count()) {
            target.Writer = BurnerList->Burners(entry);
            if (!target.Writer)
                continue;
            // Nothing reaches a drive another program holds, as for one drive.
            const TDeviceHold hold(target.Writer->Info);
            if (hold.InUse()) {
                MessageBoxes().Show(this, QString::fromStdString(hold.InUseText()), IMessageBoxes::Kind::Error);
                return false;
            }
            target.Name = std::string(1, target.Writer->Info.DriveLetter) + ":";
        } else if (const std::size_t s = static_cast<std::size_t>(entry - BurnerList->Count()); s < Sticks.size()) {
            // A stick the user would not have erased is left out; the others go on.
            if (!StickMayBeErased(Sticks[s]))
                continue;
            target.Name = Sticks[s].DevicePath;
            target.Stick = Sticks[s];
        } else {
            continue;
        }
        targets.push_back(std::move(target));
    }
    if (targets.empty())
        return false;
    std::vector<TCDBurner*> writers;
    for (const TBurnTarget& t : targets)
        if (t.Writer)
            writers.push_back(t.Writer);

    TMultiBurnForm& form = *SeveralForm();
    form.Choices = Choices();
    bool all = false;
    {
        JobScope job(*this);
        all = form.Burn(ImagePath, std::move(targets));
        job.KeepBurnButton(true);
    }
    // As after a burn onto one drive: every disc the burns reached comes out.
    if (!form.ImageRefused() && form.Choices.Eject)
        for (TCDBurner* writer : writers)
            writer->Eject(true);
    PolledReady_ = -1;
    return all;
}

void TForm1::BurnImageFile1Click()
{
    if (JobRunning_)
        return;
    const QStringList files = FileDialogs().OpenFiles(this, QStringLiteral("Burn Image File"),
                                                      QStringLiteral("Disc images (*.iso *.img);;All files (*)"));
    // The burn checks the image itself: it is hashed once, right before the disc is written.
    if (!files.isEmpty() && ChooseImage(files.front(), false))
        BurnISOToCD1Click();
}

namespace {

bool IsImageFile(const QUrl& url)
{
    const QString path = url.toLocalFile();
    return !path.isEmpty() && (path.endsWith(QStringLiteral(".iso"), Qt::CaseInsensitive) ||
                               path.endsWith(QStringLiteral(".img"), Qt::CaseInsensitive));
}

QString MiB(std::int64_t bytes)
{
    // A small image keeps a decimal, so that it never reads as nothing.
    if (bytes < 100 * 1048576)
        return QStringLiteral("%1 MiB").arg(static_cast<double>(bytes) / 1048576, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(bytes / 1048576);
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (!JobRunning_ && data->hasUrls() && data->urls().size() == 1 && IsImageFile(data->urls().front()))
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (JobRunning_ || !data->hasUrls() || data->urls().size() != 1 || !IsImageFile(data->urls().front()))
        return;
    event->acceptProposedAction();
    // Handled after the drop has returned: the check may take a while and shows its progress.
    const QString path = data->urls().front().toLocalFile();
    QTimer::singleShot(0, this, [this, path] { ChooseImage(path); });
}

bool TForm1::ChooseImage(const QString& Path, bool Check)
{
    if (JobRunning_)
        return false;
    const QFileInfo info(Path);
    if (!info.isFile() || !info.isReadable()) {
        MessageBoxes().Show(this, QStringLiteral("Cannot burn ") + Path + QStringLiteral(": it is not a file that can be read."),
                            IMessageBoxes::Kind::Error);
        return false;
    }
    ChosenImage_ = info.absoluteFilePath();
    SaveLastImage(ChosenImage_);
    OverBurnSaid_ = false;
    if (DriveCombo->count() > 0)
        BurnBtn->setEnabled(true);
    TImageCheck check;
    if (Check) {
        const QString before = StatusLabel_->text();
        check = CheckImageBeforeBurn(ChosenImage_.toStdString(), TImageCheckOptions(),
                                     [this](std::int64_t done, std::int64_t total) {
                                         StatusLabel_->setText(QStringLiteral("Checking the image checksum : %1 %")
                                                                   .arg(total > 0 ? static_cast<int>(done * 100 / total) : 100));
                                         QApplication::processEvents();
                                         return true;
                                     });
        StatusLabel_->setText(before);
        if (check.Refused())
            MessageBoxes().Show(this, QString::fromStdString(check.Message), IMessageBoxes::Kind::Error);
    } else {
        check.Inspection = InspectImage(ChosenImage_.toStdString());
        check.Published = FindPublishedDigest(ChosenImage_.toStdString());
    }
    ShowImageCheck(check);
    return true;
}

void TForm1::ShowImageCheck(const TImageCheck& Check)
{
    const QString path = ImageToBurn();
    const QFileInfo info(path);
    TImageInspection inspection = Check.Inspection;
    TPublishedDigest published = Check.Published;
    if (!inspection.Opened && info.isFile()) {
        inspection = InspectImage(path.toStdString());
        published = FindPublishedDigest(path.toStdString());
    }
    QString name = info.fileName();
    if (ChosenImage_.isEmpty())
        name += QStringLiteral(" (rescue image)");
    if (!info.isFile()) {
        ImageLabel->setText(QStringLiteral("No image: choose one with File, Burn Image File..."));
        ImageLabel->setToolTip(QString());
        ShowCapacity();
        return;
    }
    QStringList facts;
    if (inspection.Format == TImageFormat::NotIso)
        facts << QStringLiteral("not ISO 9660");
    else
        facts << (inspection.Bootable ? QStringLiteral("bootable") : QStringLiteral("not bootable"));
    const QString sum = QString::fromUtf8(DigestName(published.Kind));
    if (Check.Verdict == TImageVerdict::ChecksumMismatch)
        facts << sum + QStringLiteral(" does not match");
    else if (!Check.ActualHex.empty() && published.Found)
        facts << sum + QStringLiteral(" OK");
    else if (published.Found)
        facts << sum + QStringLiteral(" found");
    else
        facts << QStringLiteral("no checksum");
    // The name (shortened in its middle) and size on the first line, what it is on the second.
    const QFontMetrics metrics(ImageLabel->font());
    const QString size = QStringLiteral(", ") + MiB(inspection.Size);
    ImageLabel->setText(metrics.elidedText(name, Qt::ElideMiddle, ImageLabel->width() - metrics.horizontalAdvance(size)) +
                        size + u'\n' + metrics.elidedText(facts.join(QStringLiteral(", ")), Qt::ElideRight, ImageLabel->width()));
    ImageLabel->setToolTip(path + (published.Found ? QStringLiteral("\nChecksum: ") + QString::fromStdString(published.Source)
                                                   : QString()));
    ShowCapacity();
}

void TForm1::ShowCapacity()
{
    if (DiscCapacityMiB_ < 0) {
        // No disc known: the bar is as the window's layout has it, under the panel.
        CDSize1->setMaxCDSize(TCDSize::DefaultMaxCDSize);
        CDSize1->setMaxMemory(700);
        CDSize1->setTickMegabytes(10);
        CDSize1->lower();
        return;
    }
    const std::int64_t size = FileSizeOf(ImageToBurn().toStdString());
    const int image = size > 0 ? static_cast<int>(size / 1048576) : 0;
    const int disc = static_cast<int>(DiscCapacityMiB_);
    // The scale runs a tenth past the larger of disc and image, so that both ends show, in
    // ticks of 10 MB on a CD's scale and of 100 MB or 1 GB on larger ones.
    const int scale = std::max(disc, image) + std::max(disc, image) / 10 + 1;
    CDSize1->setTickMegabytes(scale <= 1000 ? 10 : scale <= 10000 ? 100 : 1000);
    CDSize1->setMaxCDSize(disc);
    CDSize1->setMaxMemory(scale);
    CDSize1->setMemShaded(image);
    CDSize1->raise();
    ProgressBar->raise();
    CDSize1->update();
}

TJobChoices TForm1::Choices() const
{
    TJobChoices c;
    c.Verify = VerifyAfterBurning1->isChecked();
    c.Simulate = SimulateBurn1->isChecked();
    c.Eject = EjectWhenDone1->isChecked();
    c.KeepSessionOpen = LeaveSessionOpen1->isChecked();
    c.Speed = Speed_;
    return c;
}

void TForm1::SaveChoices()
{
    SaveJobChoices(Choices());
}

void TForm1::CreateJobMenus()
{
    BurnImageFile1 = new QAction(QStringLiteral("Burn Image File..."), this);
    BurnImageFile1->setObjectName(QStringLiteral("BurnImageFile1"));
    File1->insertAction(AddTrackToTrackList1, BurnImageFile1);
    File1->insertSeparator(AddTrackToTrackList1);
    connect(BurnImageFile1, &QAction::triggered, this, &TForm1::BurnImageFile1Click);
    File1->addSeparator();
    BurnOntoSeveralDrives1 = File1->addAction(QStringLiteral("Burn Onto Several Drives..."));
    BurnOntoSeveralDrives1->setObjectName(QStringLiteral("BurnOntoSeveralDrives1"));
    connect(BurnOntoSeveralDrives1, &QAction::triggered, this, &TForm1::BurnOntoSeveralDrives1Click);

    const TJobChoices saved = LoadJobChoices();
    Options1->addSeparator();
    const auto checkable = [this](const char* name, const QString& text, bool on) {
        auto* action = Options1->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(true);
        action->setChecked(on);
        connect(action, &QAction::toggled, this, &TForm1::SaveChoices);
        return action;
    };
    VerifyAfterBurning1 = checkable("VerifyAfterBurning1", QStringLiteral("Verify After Burning"), saved.Verify);
    SimulateBurn1 = checkable("SimulateBurn1", QStringLiteral("Simulate Burn (Test Write)"), saved.Simulate);
    EjectWhenDone1 = checkable("EjectWhenDone1", QStringLiteral("Eject When Done"), saved.Eject);
    LeaveSessionOpen1 = checkable("LeaveSessionOpen1", QStringLiteral("Leave Session Open"), saved.KeepSessionOpen);
    WriteSpeed1 = Options1->addMenu(QStringLiteral("Write Speed"));
    WriteSpeed1->setObjectName(QStringLiteral("WriteSpeed1"));
    Speed_ = saved.Speed;
    FillSpeedMenu({});

    Functions1->addSeparator();
    DiscInformation1 = Functions1->addAction(QStringLiteral("Disc Information"));
    DiscInformation1->setObjectName(QStringLiteral("DiscInformation1"));
    connect(DiscInformation1, &QAction::triggered, this, &TForm1::DiscInformation1Click);

    // The two labels share the panel's free row beside the burn button.
    ImageLabel = new QLabel(Panel2);
    ImageLabel->setObjectName(QStringLiteral("ImageLabel"));
    ImageLabel->setGeometry(8, 50, 164, 30);
    DiscLabel = new QLabel(Panel2);
    DiscLabel->setObjectName(QStringLiteral("DiscLabel"));
    DiscLabel->setGeometry(313, 50, 164, 30);
    DiscLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    for (QLabel* label : {ImageLabel, DiscLabel}) {
        label->setWordWrap(false);
        label->raise();
    }
    DiscPoll_ = new QTimer(this);
    connect(DiscPoll_, &QTimer::timeout, this, &TForm1::PollDisc);
}

void TForm1::FillSpeedMenu(const std::vector<std::uint32_t>& OfferedX)
{
    WriteSpeed1->clear();
    auto* group = new QActionGroup(WriteSpeed1);
    std::vector<std::uint32_t> speeds{0};
    speeds.insert(speeds.end(), OfferedX.begin(), OfferedX.end());
    // A speed chosen for another disc stays offered: the drive takes the nearest it can.
    if (Speed_ != 0 && std::find(speeds.begin(), speeds.end(), Speed_) == speeds.end())
        speeds.push_back(Speed_);
    for (const std::uint32_t x : speeds) {
        QAction* action = WriteSpeed1->addAction(x == 0 ? QStringLiteral("Maximum") : QStringLiteral("%1x").arg(x));
        action->setCheckable(true);
        action->setChecked(x == Speed_);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, x] {
            Speed_ = x;
            SaveChoices();
        });
    }
}

void TForm1::SetDiscPollInterval(int Milliseconds)
{
    DiscPoll_->stop();
    if (Milliseconds > 0)
        DiscPoll_->start(Milliseconds);
}

void TForm1::RefreshDisc()
{
    if (JobRunning_ || !BurnerList || !DiscLabel)
        return;
    DiscCapacityMiB_ = -1;
    DiscIsCD_ = true;
    PolledReady_ = -1;
    if (const TStickTarget* stick = SelectedStick()) {
        // A stick holds what it holds: its size is its room.
        DiscLabel->setText(QString::fromStdString(StickKind(*stick)) + u'\n' + MiB(stick->SizeBytes));
        DiscCapacityMiB_ = stick->SizeBytes / 1048576;
        FillSpeedMenu({});
        ShowCapacity();
        return;
    }
    TCDBurner* burner = BurnerList->Burners(DriveCombo->currentIndex());
    if (!burner || DriveAccessProblem(*BurnerList, DriveCombo->currentIndex()).Exists()) {
        DiscLabel->clear();
        ShowCapacity();
        return;
    }
    // Another program's drive hears nothing from us, not even a question.
    const TDeviceHold hold(burner->Info);
    if (hold.InUse()) {
        DiscLabel->setText(QStringLiteral("In use by another\nprogram"));
        ShowCapacity();
        return;
    }
    const TScsiError ready = burner->WaitUntilReady(std::chrono::milliseconds(0));
    PolledReady_ = ready == Err_None ? 1 : 0;
    std::vector<std::uint32_t> offered;
    if (ready != Err_None) {
        DiscLabel->setText(QString::fromStdString(NotReadyLine(*burner)));
    } else {
        const TDiscPlan disc = ProbeDisc(*burner);
        const QStringList parts = QString::fromStdString(DiscSummaryLine(disc)).split(QStringLiteral(", "));
        // Medium and state on the first line, the room on the second.
        DiscLabel->setText(parts.size() > 2 ? parts.mid(0, parts.size() - 1).join(QStringLiteral(", ")) + u'\n' + parts.back()
                                            : parts.join(QStringLiteral(", ")));
        DiscCapacityMiB_ = disc.Capacity >= 0 ? disc.Capacity / 512 : -1;
        DiscIsCD_ = !disc.Medium || disc.Medium->family == kvcat::Family::CD;
        TScsiError error = Err_None;
        const double perX = disc.Medium ? KBsPerX(disc.Medium->family) : KBsPerX(kvcat::Family::CD);
        for (const std::uint32_t kbs : OfferedWriteSpeeds(*burner, error)) {
            const auto x = static_cast<std::uint32_t>(std::lround(kbs / perX));
            if (x > 0 && std::find(offered.begin(), offered.end(), x) == offered.end())
                offered.push_back(x);
        }
    }
    FillSpeedMenu(offered);
    OverBurnSaid_ = false;
    ShowCapacity();
}

void TForm1::PollDisc()
{
    // Never during a job, and never under an open dialog: its owner waits on the drive.
    if (JobRunning_ || !BurnerList || QApplication::activeModalWidget() || QApplication::activePopupWidget())
        return;
    // A tray a cancelled blank left locked (the drive took no command while it blanked) is
    // released as soon as the drive takes one again.
    for (int i = 0; i < BurnerList->Count(); ++i)
        if (TCDBurner* b = BurnerList->Burners(i); b && b->TrayLockedByUs())
            b->UnlockMedium();
    TCDBurner* burner = BurnerList->Burners(DriveCombo->currentIndex());
    if (!burner || PolledReady_ < 0) {
        RefreshDisc();
        return;
    }
    const TDeviceHold hold(burner->Info);
    if (hold.InUse())
        return;
    const int ready = burner->WaitUntilReady(std::chrono::milliseconds(0)) == Err_None ? 1 : 0;
    if (ready != PolledReady_)
        RefreshDisc();
}

void TForm1::DiscInformation1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    if (const TScsiError ready = burner->WaitUntilReady(std::chrono::seconds(10)); ready != Err_None) {
        MessageBoxes().Show(this, burner->NoDiscSensed() ? QStringLiteral("No disc in the drive.")
                                         : QStringLiteral("The drive is not ready: ") + QString::fromStdString(ScsiErrorToText(ready)),
                            IMessageBoxes::Kind::Information);
        return;
    }
    std::vector<std::string> lines = DiscInfoLines(ProbeDisc(*burner));
    ShowMessage(JoinReport(lines), this);
}

// Audio burn command ----------------------------------------------------------------------------

void TForm1::BurnWaveFileToCD1Click()
{
    if (JobRunning_)
        return;
    TCDBurner* burner = SelectedBurner();
    if (!burner || !BurnForm)
        return;
    // Nothing else in the program fills the list: the files are asked for here.
    if (burner->Tracks.Count() == 0 && !AddChosenWaveFiles(*burner))
        return;
    const int count = burner->Tracks.Count();
    // Whole MiB per track, summed; the bar is covered, so nothing refuses the sum.
    std::uint32_t megabytes = 0;
    for (int t = 0; t < count; ++t)
        megabytes += burner->Tracks.Items(t).CDTrack()->DataSize() >> 20;
    CDSize1->setMemShaded(static_cast<int>(megabytes));
    BurnForm->Burner = burner;
    BurnForm->Choices = Choices();
    BurnForm->show();
    if (count > 0) {
        JobScope job(*this);
        BurnForm->BurnAudio(count);
    }
    PolledReady_ = -1;
}

bool TForm1::AddChosenWaveFiles(TCDBurner& Burner)
{
    const QStringList files = FileDialogs().OpenFiles(this, QStringLiteral("Burn Wave File To CD"),
                                                      QStringLiteral("Wave files (*.wav *.wave);;All files (*)"));
    if (files.isEmpty())
        return false;
    QStringList refused;
    for (const QString& file : files) {
        const std::string name = file.toStdString();
        try {
            TCDTrack& track = *AddWaveFileTrack(Burner.Tracks, name).CDTrack();
            if (!track.IsValid() || track.AvailableDataSize() == 0)
                refused << file + QStringLiteral(": not a wave file with samples");
            else if (!IsCDAudioFormat(track))
                refused << file + QStringLiteral(": ") + QString::fromStdString(track.FormatText()) +
                               QStringLiteral(", not CD audio (PCM 44.100 kHz, 16 Bit, Stereo); it would play as noise");
        } catch (const std::exception& e) {
            refused << file + QStringLiteral(": ") + QString::fromLocal8Bit(e.what());
        }
    }
    if (refused.isEmpty())
        return true;
    // All or nothing: a disc with some of the chosen tracks missing is not what was asked for.
    Burner.Tracks.Clear();
    MessageBoxes().Show(this, QStringLiteral("These files cannot be burnt as audio tracks:\r\n") + refused.join(QStringLiteral("\r\n")),
                        IMessageBoxes::Kind::Error);
    return false;
}

// Information commands --------------------------------------------------------------------------

void TForm1::CDCapabilities1Click()
{
    if (TCDBurner* burner = SelectedBurner())
        ShowMessage(JoinReport(burner->GetCapabilitiesReport()), this);
}

void TForm1::ShowReadWriteSpeeds1Click()
{
    if (TCDBurner* burner = SelectedBurner())
        ShowMessage(JoinReport(burner->GetSpeedsReport()), this);
}

void TForm1::ShowWriterParameters1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    std::string text;
    burner->GetWriterParameters(text);
    ShowMessage(QString::fromStdString(text), this);
    ShowLastResult();
}

void TForm1::ViewTOC1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    TScsiTOC toc;
    burner->ReadTOC(toc);
    ReadTocListView->setRowCount(0);
    if (toc.EntryCount <= 0)
        return;
    const int count = std::min<int>(toc.EntryCount, static_cast<int>(std::size(toc.Entries)));
    for (int i = 0; i < count; ++i) {
        const TScsiTOCEntry& entry = toc.Entries[i];
        const QString cells[] = {QString::number(i), QString::number(entry.TrackNumber),
                                 QString::number(static_cast<std::uint32_t>(entry.StartLBA)),
                                 QString::fromStdString(SetToText(entry.Flags))};
        ReadTocListView->insertRow(i);
        for (int c = 0; c < 4; ++c)
            ReadTocListView->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
}

void TForm1::GetCDDVDStructure1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    TScsiDVDLayerDescriptorInfo info;
    burner->GetDVDStructure(info);
    const std::string text = "Book Type     : " + info.BookType + "\n\r" + "Track Density : " + info.TrackDensity +
                             "\n\r" + "Disc Size     : " + info.DiscSize + "\n\r" + "Maximum Rate  : " +
                             info.MaximumRate + "\n\r" + "Linear Density: " + info.LinearDensity + "\n\r" +
                             "Layer Type    : " + info.LayerType + "\n\r";
    ShowMessage(QString::fromStdString(text), this);
}

void TForm1::GetBufferBits1Click()
{
    if (TCDBurner* burner = SelectedBurner())
        burner->GetBufferFillPercent();
}

void TForm1::SetWriteModetoCDDA1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    SetWriteMode(*burner, kCDDAWriteParameters);
    ShowWriteModeResult();
}

void TForm1::SetWriteModetoDataWrite1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    SetWriteMode(*burner, kDataWriteParameters);
    ShowWriteModeResult();
}

void TForm1::BlankCD1Click()
{
    if (JobRunning_)
        return;
    TCDBurner* burner = SelectedBurner();
    if (!burner || !BurnForm)
        return;
    BurnForm->Burner = burner;
    BurnForm->show();
    {
        JobScope job(*this);
        BurnForm->BlankDisc();
    }
    PolledReady_ = -1;
}

void TForm1::ShowWriteModeResult()
{
    ShowLastResult();
    TCDBurner* burner = BurnerList ? BurnerList->Burners(DriveCombo->currentIndex()) : nullptr;
    if (!burner || burner->LastError == Err_None || DiscIsCD_)
        return;
    // A DVD or BD drive refuses the CD write parameters page: that is no fault of the drive.
    StatusLabel_->setText(QStringLiteral("Write modes are CD settings; this disc is written without them (") +
                          QString::fromStdString(ScsiErrorToText(burner->LastError)) + u')');
}

void TForm1::CDSize1OverBurn()
{
    // Raised at every paint while the image is larger than the disc: said once for an image and
    // a disc, and never from inside the paint.
    if (OverBurnSaid_)
        return;
    OverBurnSaid_ = true;
    QTimer::singleShot(0, this, [this] { ShowMessage(QStringLiteral("Size of data is too big!"), this); });
}
