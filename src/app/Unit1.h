// TForm1: the main window. It holds the writer list, offers the writers in its drive box and
// carries the menus; every command acts on the writer at the drive box's current index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QMainWindow>
#include <QString>

#include "app/AppSettings.h"
#include "stick/StickWriter.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QMenuBar;
class QPushButton;
class QStatusBar;
class QTableWidget;
class QTabWidget;
class QTimer;
struct TImageCheck;
class TCDBurner;
class TCDBurnerList;
class TCDSize;
class TMultiBurnForm;
class TProgressCyl;

namespace Ui {
class TForm1;
}

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // ProgramFolder is where the rescue image is looked for, with its trailing separator;
    // empty means the program's own folder. Construction runs FormCreate.
    explicit TForm1(const QString& ProgramFolder = QString(), QWidget* parent = nullptr);
    // Runs FormDestroy.
    ~TForm1() override;

    // Components, named as in the layout.
    QWidget* ClientArea = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* DriveCombo = nullptr;
    QPushButton* BurnBtn = nullptr;
    QLabel* Image1 = nullptr;
    TProgressCyl* ProgressBar = nullptr;
    TCDSize* CDSize1 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet6 = nullptr;
    QTableWidget* ReadTocListView = nullptr;
    QWidget* TabSheet1 = nullptr;
    QListWidget* TrackListBox = nullptr;
    QStatusBar* StatusBar = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QMenu* File1 = nullptr;
    QMenu* Options1 = nullptr;
    QMenu* Functions1 = nullptr;
    QMenu* ISOFunctions1 = nullptr;
    QAction* AddTrackToTrackList1 = nullptr;
    QAction* CDCapabilities1 = nullptr;
    QAction* ShowReadWriteSpeeds1 = nullptr;
    QAction* ShowWriterParameters1 = nullptr;
    QAction* GetCDDVDStructure1 = nullptr;
    QAction* ViewTOC1 = nullptr;
    QAction* GetBufferBits1 = nullptr;
    QAction* SetWriteModetoCDDA1 = nullptr;
    QAction* SetWriteModetoDataWrite1 = nullptr;
    QAction* SaveCDToISOImage1 = nullptr;
    QAction* BurnISOToCD1 = nullptr;
    QAction* BurnWaveFileToCD1 = nullptr;
    QAction* FormatCD1 = nullptr;
    QAction* BlankCD1 = nullptr;
    QAction* CreateISO9660File1 = nullptr;
    // Beyond the first design's menus: the user's own image, the options of a burn, and the
    // disc in the drive.
    QAction* BurnImageFile1 = nullptr;
    QAction* VerifyAfterBurning1 = nullptr;
    QAction* SimulateBurn1 = nullptr;
    QAction* EjectWhenDone1 = nullptr;
    QAction* LeaveSessionOpen1 = nullptr;
    QMenu* WriteSpeed1 = nullptr;
    QAction* DiscInformation1 = nullptr;
    // After the file menu's first items: one image onto several drives at once.
    QAction* BurnOntoSeveralDrives1 = nullptr;
    // On the panel beside the burn button: the chosen image, and the disc in the drive.
    QLabel* ImageLabel = nullptr;
    QLabel* DiscLabel = nullptr;

    // Every writer found at start; index i is entry i of DriveCombo. Null after FormDestroy.
    std::unique_ptr<TCDBurnerList> BurnerList;
    // The USB sticks and SD cards found at start, after the writers in DriveCombo: entry
    // BurnerList->Count() + i is stick i. Only the burn writes to them.
    std::vector<TStickTarget> Sticks;
    // Virtual sticks (--virtual-stick) the next window lists before the kernel's.
    static std::vector<TStickTarget> VirtualSticks;
    // The stick at the drive box's index; null for a writer.
    const TStickTarget* SelectedStick() const;
    // The image chosen by the last burn command; empty until then.
    QString ImagePath;

    // The image the user chose (file menu, a drop, the command line, or remembered); empty:
    // the rescue image. Checks it (its checksum with progress in the status bar when Check is
    // set), names it on the panel and remembers it. False, with a message, for a file that
    // cannot be read.
    bool ChooseImage(const QString& Path, bool Check = true);
    const QString& ChosenImage() const { return ChosenImage_; }
    // The image the next burn takes: the chosen one, else the rescue image.
    QString ImageToBurn() const;
    // Burns ImageToBurn onto the drive box entries given (writers and sticks) at once, with the
    // options of the menus; each stick only after the question a single stick burn asks.
    // Returns whether every target succeeded.
    bool BurnOntoTargets(const std::vector<int>& Entries);
    // The progress window of a burn onto several targets (made at its first use).
    TMultiBurnForm* SeveralForm();
    // Shows a finished image check on the panel (a burn's check too).
    void ShowImageCheck(const TImageCheck& Check);
    // The options of a burn, as the menus show them.
    TJobChoices Choices() const;
    // Asks the selected writer what disc it holds and shows it (never during a job).
    void RefreshDisc();
    // How often the drive is asked for a disc change while idle; 0 stops it. New windows take
    // the default (tests set it to 0).
    void SetDiscPollInterval(int Milliseconds);
    static int DefaultDiscPollInterval;

    const QString& ProgramFolder() const { return ProgramFolder_; }
    // The status bar's one text.
    QString StatusText() const;
    // True while a burn or blank runs; drive commands are disabled meanwhile.
    bool JobRunning() const { return JobRunning_; }
    // The menu items and controls that reach a drive.
    std::vector<QAction*> DriveActions() const;

    void FormCreate();
    void FormDestroy();
    // The selected writer's LastError, by name, in the status bar.
    void ShowLastResult();
    // The step a job waits in, on the cylinder bar in place of its completion text: the bar
    // reads "Done" only once the job has ended.
    void ShowJobStep(const QString& Action);

public slots:
    void BurnISOToCD1Click();
    void BurnWaveFileToCD1Click();
    void CDCapabilities1Click();
    void ShowReadWriteSpeeds1Click();
    void ShowWriterParameters1Click();
    void ViewTOC1Click();
    void GetCDDVDStructure1Click();
    void GetBufferBits1Click();
    void SetWriteModetoCDDA1Click();
    void SetWriteModetoDataWrite1Click();
    void BlankCD1Click();
    void CDSize1OverBurn();
    void BurnImageFile1Click();
    void DiscInformation1Click();
    void BurnOntoSeveralDrives1Click();

protected:
    // A close while a job runs is refused: the job's writer would be freed under it.
    void closeEvent(QCloseEvent* event) override;
    // A disc image dropped on the window becomes the chosen image.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The writer at the drive box's index. With none, says so and returns null: a command
    // then does nothing else.
    TCDBurner* SelectedBurner();
    // For an empty track list: asks for wave files and adds them as tracks titled after the
    // files, in the order chosen. False (nothing added) when none was chosen or one cannot be
    // burnt as CD audio; the message then says which and why.
    bool AddChosenWaveFiles(TCDBurner& Burner);
    // While a job runs, nothing that reaches a drive can be started from inside its
    // message processing.
    class JobScope;
    void SetDriveCommandsEnabled(bool Enabled);
    // For a selected drive the scan could not open or ask: why, and how to get access, in the
    // status bar (the full advice as its tool tip). Removed again when a usable drive is chosen.
    void ShowDriveAccessHint();
    // The burn onto the selected stick: the question naming what will be lost, then the job.
    void BurnOntoStick();
    // A stick is erased only when it is no mounted disk and the user agreed: false after a
    // message, or on No.
    bool StickMayBeErased(const TStickTarget& Stick);
    void CreateJobMenus();
    void SaveChoices();
    // The speeds of the disc in the drive in the Write Speed menu, the chosen one checked.
    void FillSpeedMenu(const std::vector<std::uint32_t>& OfferedX);
    // One cheap question to the idle drive; a change of readiness asks it again in full.
    void PollDisc();
    // Shows the image's size against the disc's capacity on the capacity bar.
    void ShowCapacity();
    // The write-mode commands' result, said for what the disc in the drive is.
    void ShowWriteModeResult();

    std::unique_ptr<Ui::TForm1> ui;
    QLabel* StatusLabel_ = nullptr;
    QString ProgramFolder_;
    bool JobRunning_ = false;
    bool AccessHintShown_ = false;
    QString ChosenImage_;
    QTimer* DiscPoll_ = nullptr;
    int PolledReady_ = -1;              // the last poll's readiness: 1 ready, 0 not, -1 unknown
    std::int64_t DiscCapacityMiB_ = -1; // of the disc in the drive, -1 unknown
    bool DiscIsCD_ = true;              // the disc in the drive is a CD (or unknown)
    std::uint32_t Speed_ = 0;           // the chosen write speed in x; 0 the drive's best
    bool OverBurnSaid_ = false;
    TMultiBurnForm* SeveralForm_ = nullptr;
};

// The main window, for the commands and the progress window; null when there is none.
extern TForm1* Form1;
