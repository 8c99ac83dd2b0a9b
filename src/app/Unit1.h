// TForm1: the main window. It holds the writer list, offers the writers in its drive box and
// carries the menus; every command acts on the writer at the drive box's current index.
#pragma once

#include <memory>
#include <vector>

#include <QMainWindow>
#include <QString>

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
class TCDBurner;
class TCDBurnerList;
class TCDSize;
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

    // Every writer found at start; index i is entry i of DriveCombo. Null after FormDestroy.
    std::unique_ptr<TCDBurnerList> BurnerList;
    // The image chosen by the last burn command; empty until then.
    QString ImagePath;

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

protected:
    // A close while a job runs is refused: the job's writer would be freed under it.
    void closeEvent(QCloseEvent* event) override;

private:
    // The writer at the drive box's index. With none, says so and returns null: a command
    // then does nothing else.
    TCDBurner* SelectedBurner();
    // The image checks before a burn: false after a refusal's message box, or when the user
    // declines to burn an image that will not start a computer.
    bool ImageReadyToBurn(const QString& Path);
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

    std::unique_ptr<Ui::TForm1> ui;
    QLabel* StatusLabel_ = nullptr;
    QString ProgramFolder_;
    bool JobRunning_ = false;
    bool AccessHintShown_ = false;
};

// The main window, for the commands and the progress window; null when there is none.
extern TForm1* Form1;
