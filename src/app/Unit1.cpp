#include "app/Unit1.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QComboBox>
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
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "burner/DriveAccess.h"
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
    if (DriveCombo->count() == 0) {
        MessageBoxes().Show(this, QString::fromUtf8(kNoBurners), IMessageBoxes::Kind::Information);
        return;
    }
    DriveCombo->setCurrentIndex(0);
    ShowDriveAccessHint();
    BurnBtn->setEnabled(RescueImagePresent(ProgramFolder_.toStdString()));
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
            BurnISOToCD1,    BurnWaveFileToCD1,    BlankCD1};
}

void TForm1::SetDriveCommandsEnabled(bool Enabled)
{
    for (QAction* action : DriveActions())
        action->setEnabled(Enabled);
    BurnBtn->setEnabled(Enabled);
    DriveCombo->setEnabled(Enabled);
}

TCDBurner* TForm1::SelectedBurner()
{
    if (JobRunning_)
        return nullptr;
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

void TForm1::BurnISOToCD1Click()
{
    if (JobRunning_)
        return;
    TCDBurner* burner = SelectedBurner();
    if (!burner || !BurnForm)
        return;

    ImagePath = QString::fromStdString(RescueImagePath(ProgramFolder_.toStdString()));
    // Whole megabytes, rounded toward zero (a missing file's -1 gives 0).
    CDSize1->setMemShaded(static_cast<int>(FileSizeOf(ImagePath.toStdString()) / 1048576));

    BurnForm->Burner = burner;
    {
        JobScope job(*this);
        // A damaged, wrong or unbootable image is found before the disc is spent; nothing
        // has reached the drive when it is refused.
        if (!ImageReadyToBurn(ImagePath)) {
            job.KeepBurnButton(true);
            return;
        }
        ProgressBar->show();
        try {
            BurnForm->BurnImage(ImagePath);
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
    burner->Eject(true);
}

// Audio burn command ----------------------------------------------------------------------------

bool TForm1::ImageReadyToBurn(const QString& Path)
{
    if (!QFileInfo(Path).isFile())
        return true;   // the burn says "Error creating CD." as it always has
    const QString before = StatusLabel_->text();
    const TImageCheck check =
        CheckImageBeforeBurn(Path.toStdString(), TImageCheckOptions(), [this](std::int64_t done, std::int64_t total) {
            StatusLabel_->setText(QStringLiteral("Checking the image checksum : %1 %")
                                      .arg(total > 0 ? static_cast<int>(done * 100 / total) : 100));
            QApplication::processEvents();
            return true;
        });
    StatusLabel_->setText(check.ChecksumLine.empty() ? before : QString::fromStdString(check.ChecksumLine));
    if (check.Refused()) {
        MessageBoxes().Show(this, QString::fromStdString(check.Message), IMessageBoxes::Kind::Error);
        return false;
    }
    if (!check.Warning.empty())
        return MessageBoxes().Ask(this, QString::fromStdString(check.Warning) + QStringLiteral("\r\n\r\nBurn it all the same?"));
    return true;
}

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
    BurnForm->show();
    if (count > 0) {
        JobScope job(*this);
        BurnForm->BurnAudio(count);
    }
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
    ShowLastResult();
}

void TForm1::SetWriteModetoDataWrite1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner)
        return;
    SetWriteMode(*burner, kDataWriteParameters);
    ShowLastResult();
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
    JobScope job(*this);
    BurnForm->BlankDisc();
}

void TForm1::CDSize1OverBurn()
{
    ShowMessage(QStringLiteral("Size of data is too big!"), this);
}
