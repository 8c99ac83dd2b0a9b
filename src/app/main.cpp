// keelvane: program start. The application title, the main window (whose creation scans the
// writers), then the progress window, then the message loop until the main window closes.
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include "app/AppServices.h"
#include "app/AppSettings.h"
#include "app/BurnUnit.h"
#include "app/CommandLine.h"
#include "app/MultiBurn.h"
#include "app/StopRequest.h"
#include "app/Unit1.h"
#include "burner/CDBurners.h"
#include "burner/DriveAccess.h"
#include "burner/RescueImage.h"
#include "burner/StopRequest.h"
#include "stick/StickWriter.h"
#include "vdrive/VirtualWriter.h"

namespace {

// Screenshots run unattended: every message box is shown without waiting, saved as a picture
// (under NextName when one is set) and printed on the terminal; questions are answered Yes, so
// that the run goes on as far as it can.
class TScreenshotMessageBoxes : public IMessageBoxes {
public:
    void Show(QWidget* parent, const QString& text, Kind kind) override
    {
        std::fprintf(stderr, "keelvane: message: %s\n", qPrintable(DisplayLineBreaks(text)));
        const QMessageBox::Icon icon = kind == Kind::Information ? QMessageBox::Information
                                       : kind == Kind::Error     ? QMessageBox::Warning
                                                                 : QMessageBox::NoIcon;
        QMessageBox box(icon, QString::fromUtf8(kApplicationTitle), DisplayLineBreaks(text), QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText);
        box.show();
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
        const QString name = NextName.isEmpty() ? QStringLiteral("message-%1.png").arg(++Count) : NextName;
        NextName.clear();
        Saved = Save(&box, name) && Saved;
        box.close();
    }
    bool Ask(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "keelvane: question (answered Yes): %s\n", qPrintable(DisplayLineBreaks(text)));
        return true;
    }
    bool Save(QWidget* window, const QString& name) const
    {
        const QString path = QDir(Dir).filePath(name);
        if (!window->grab().toImage().save(path)) {
            std::fprintf(stderr, "keelvane: cannot write %s\n", qPrintable(path));
            return false;
        }
        std::fprintf(stderr, "keelvane: wrote %s\n", qPrintable(path));
        return true;
    }

    QString Dir;
    QString NextName;
    int Count = 0;
    bool Saved = true;
};

// A menu as it drops down from the menu bar.
bool SaveMenu(TScreenshotMessageBoxes& shots, QMenu* menu, const QString& name)
{
    menu->popup(Form1->mapToGlobal(QPoint(0, 0)));
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    const bool ok = shots.Save(menu, name);
    menu->hide();
    return ok;
}

// A burn onto several drives: the dialog with every writer with a blank disc checked, the rows
// at half way, the rows at the end, and the box that lists every result.
bool SaveSeveralDrives(TScreenshotMessageBoxes& shots)
{
    const std::int64_t size = FileSizeOf(Form1->ImageToBurn().toStdString());
    std::vector<int> chosen;
    bool ok = true;
    {
        TTargetsDialog dialog(*Form1, size > 0 ? (size + 2047) / 2048 : -1);
        dialog.BlankWritersBox->setChecked(true);
        dialog.show();
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
        ok = shots.Save(&dialog, QStringLiteral("several-drives-dialog.png"));
        chosen = dialog.Checked();
        dialog.close();
    }
    TMultiBurnForm* form = Form1->SeveralForm();
    bool taken = false;
    QObject::connect(form, &TMultiBurnForm::TargetProgressed, Form1, [&](int, int phase, int percent) {
        if (taken || phase != static_cast<int>(TJobPhase::Write) || percent < 50)
            return;
        taken = true;
        ok = shots.Save(form, QStringLiteral("several-drives-progress.png")) && ok;
    });
    shots.NextName = QStringLiteral("several-drives-summary.png");
    Form1->BurnOntoTargets(chosen);
    // The rows as the burns left them.
    ok = shots.Save(form, QStringLiteral("several-drives-results.png")) && ok;
    return taken && ok;
}

// The main window as it opens; its menus with the commands and options of a burn; the disc
// information; the image chooser; a burn at half way (main window and progress window); and
// the box the burn ends with.
int TakeScreenshots(TScreenshotMessageBoxes& shots)
{
    QDir().mkpath(shots.Dir);
    QApplication::processEvents();
    bool ok = shots.Save(Form1, QStringLiteral("main-window.png"));
    ok = SaveMenu(shots, Form1->File1, QStringLiteral("file-menu.png")) && ok;
    ok = SaveMenu(shots, Form1->Options1, QStringLiteral("options-menu.png")) && ok;
    if (Form1->DriveCombo->count() > 0) {
        shots.NextName = QStringLiteral("disc-information.png");
        Form1->DiscInformation1Click();
    }
    {
        QFileDialog chooser(Form1, QStringLiteral("Burn Image File"), QFileInfo(Form1->ImageToBurn()).absolutePath(),
                            QStringLiteral("Disc images (*.iso *.img);;All files (*)"));
        chooser.setOption(QFileDialog::DontUseNativeDialog);
        chooser.show();
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
        ok = shots.Save(&chooser, QStringLiteral("image-file-dialog.png")) && ok;
    }
    if (Form1->BurnBtn->isEnabled()) {
        bool taken = false;
        QObject::connect(BurnForm, &TBurnForm::Progressed, Form1, [&](int, int percent) {
            if (taken || percent < 50)
                return;
            taken = true;
            ok = shots.Save(Form1, QStringLiteral("main-window-burning.png")) && ok;
            ok = shots.Save(BurnForm, QStringLiteral("progress-window.png")) && ok;
        });
        shots.NextName = QStringLiteral("completion-box.png");
        Form1->BurnISOToCD1Click();
        ok = taken && ok;
    }
    if (Form1->BurnerList && Form1->BurnerList->Count() > 1)
        ok = SaveSeveralDrives(shots) && ok;
    return ok && shots.Saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const TAspiStartUpLoad aspi;
    // Answered before the application object exists, which needs a display.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(qPrintable(UsageText()), stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("keelvane %s\n", KV_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));

    const TCommandLine options = ParseCommandLine(QApplication::arguments().mid(1));
    if (!options.Error.isEmpty()) {
        std::fprintf(stderr, "keelvane: %s\n%s", qPrintable(options.Error), qPrintable(UsageText()));
        return 2;
    }
    if (options.Help) {
        std::fputs(qPrintable(UsageText()), stdout);
        return 0;
    }

    std::vector<std::shared_ptr<vdrive::VirtualWriter>> virtualDrives;
    for (const auto& driveSpec : options.VirtualDrives) {
        std::string error;
        auto writer = vdrive::AttachVirtualDrive(driveSpec, error);
        if (!writer) {
            std::fprintf(stderr, "keelvane: cannot attach the virtual drive %s: %s\n", driveSpec.c_str(), error.c_str());
            for (auto& attached : virtualDrives)
                vdrive::DetachVirtualDrive(attached);
            return 2;
        }
        virtualDrives.push_back(std::move(writer));
    }

    for (const auto& given : options.VirtualSticks) {
        TVirtualStick stick;
        TStickTarget target;
        std::string error;
        if (!ParseVirtualStick(given, stick, error) || !AttachVirtualStick(stick, target, error)) {
            std::fprintf(stderr, "keelvane: cannot attach the virtual stick %s: %s\n", given.c_str(), error.c_str());
            for (auto& attached : virtualDrives)
                vdrive::DetachVirtualDrive(attached);
            return 2;
        }
        TForm1::VirtualSticks.push_back(target);
    }

    TScreenshotMessageBoxes shots;
    QTemporaryDir settings;
    if (!options.ScreenshotDir.isEmpty()) {
        // An unattended run neither reads nor changes the user's remembered choices.
        UseSettingsFile(settings.filePath(QStringLiteral("keelvane.conf")));
        shots.Dir = options.ScreenshotDir;
        SetMessageBoxes(&shots);
    }

    int rc = 0;
    {
        auto mainWindow = std::make_unique<TForm1>();
        auto burnWindow = std::make_unique<TBurnForm>();
        app::InstallStopHandlers(mainWindow.get());
        mainWindow->show();
        if (!options.Image.isEmpty()) {
            QApplication::processEvents();
            mainWindow->ChooseImage(options.Image);
        }
        rc = options.ScreenshotDir.isEmpty() ? QApplication::exec() : TakeScreenshots(shots);
        if (kvstop::Interrupted())
            rc = kvstop::InterruptExitCode();
        burnWindow.reset();
        // Frees the writer list, which releases every tray.
        mainWindow.reset();
    }
    SetMessageBoxes(nullptr);
    // Only now: detaching flushes the discs the writers have just released.
    for (auto& writer : virtualDrives)
        vdrive::DetachVirtualDrive(writer);
    return rc;
}
