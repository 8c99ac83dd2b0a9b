// keelvane: program start. The application title, the main window (whose creation scans the
// writers), then the progress window, then the message loop until the main window closes.
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPushButton>

#include "app/AppServices.h"
#include "app/BurnUnit.h"
#include "app/CommandLine.h"
#include "app/StopRequest.h"
#include "app/Unit1.h"
#include "burner/DriveAccess.h"
#include "burner/StopRequest.h"
#include "vdrive/VirtualWriter.h"

namespace {

// Screenshots run unattended: messages go to the terminal instead of a modal box.
class TPrintedMessageBoxes : public IMessageBoxes {
public:
    void Show(QWidget*, const QString& text, Kind) override
    {
        std::fprintf(stderr, "keelvane: message: %s\n", qPrintable(DisplayLineBreaks(text)));
    }
    // Answered Yes, so that an unattended run goes on as far as it can.
    bool Ask(QWidget*, const QString& text) override
    {
        std::fprintf(stderr, "keelvane: question (answered Yes): %s\n", qPrintable(DisplayLineBreaks(text)));
        return true;
    }
};

bool SaveGrab(QWidget* window, const QString& dir, const QString& name)
{
    const QString path = QDir(dir).filePath(name);
    if (!window->grab().toImage().save(path)) {
        std::fprintf(stderr, "keelvane: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::fprintf(stderr, "keelvane: wrote %s\n", qPrintable(path));
    return true;
}

// The main window as it opens; during a burn of the rescue image, at half way; and the
// progress window with that burn's log.
int TakeScreenshots(const QString& dir)
{
    QDir().mkpath(dir);
    QApplication::processEvents();
    bool ok = SaveGrab(Form1, dir, QStringLiteral("main-window.png"));
    if (Form1->BurnBtn->isEnabled()) {
        bool taken = false;
        QObject::connect(BurnForm, &TBurnForm::Progressed, Form1, [&](int, int percent) {
            if (taken || percent < 50)
                return;
            taken = true;
            ok = SaveGrab(Form1, dir, QStringLiteral("main-window-burning.png")) && ok;
        });
        Form1->BurnISOToCD1Click();
        BurnForm->show();
        QApplication::processEvents();
        ok = SaveGrab(BurnForm, dir, QStringLiteral("progress-window.png")) && ok;
    }
    return ok ? 0 : 1;
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

    TPrintedMessageBoxes printed;
    if (!options.ScreenshotDir.isEmpty())
        SetMessageBoxes(&printed);

    int rc = 0;
    {
        auto mainWindow = std::make_unique<TForm1>();
        auto burnWindow = std::make_unique<TBurnForm>();
        app::InstallStopHandlers(mainWindow.get());
        mainWindow->show();
        rc = options.ScreenshotDir.isEmpty() ? QApplication::exec() : TakeScreenshots(options.ScreenshotDir);
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
