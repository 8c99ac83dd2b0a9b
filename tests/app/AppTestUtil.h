// Shared pieces of the window tests: a message-box recorder, virtual writers in a temporary
// folder, rescue images made with xorriso, the two windows, and a trace of the SCSI commands.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "app/AppServices.h"
#include "app/AppSettings.h"
#include "support/ScriptedDevice.h"
#include "app/BurnUnit.h"
#include "app/Unit1.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

// Records every message box and answers it at once.
class TMessageRecorder : public IMessageBoxes {
public:
    void Show(QWidget*, const QString& text, Kind kind) override
    {
        Texts << text;
        Kinds.push_back(kind);
        if (OnShow)
            OnShow(text);
    }
    // Questions are kept apart from the messages and answered with Answer.
    bool Ask(QWidget*, const QString& text) override
    {
        Questions << text;
        return Answers ? Answers(text) : Answer;
    }
    QStringList Texts;
    std::vector<Kind> Kinds;
    std::function<void(const QString&)> OnShow;
    QStringList Questions;
    bool Answer = true;
    // When set, answers each question by its text instead of Answer.
    std::function<bool(const QString&)> Answers;
};

// Answers every file chooser with Files, and counts the questions.
class TFileChooser : public IFileDialogs {
public:
    QStringList OpenFiles(QWidget*, const QString&, const QString&) override
    {
        ++Asked;
        return Files;
    }
    QStringList Files;
    int Asked = 0;
};

// One SCSI command as the platform layer passed it.
struct TTracedCommand {
    char Letter = 0;
    QByteArray Cdb;
    bool Ok = false;
    std::uint8_t Status = 0;
};

// A virtual writer that refuses every command with one operation code (ILLEGAL REQUEST,
// INVALID FIELD IN CDB 05/24/00), as a drive refuses what it does not support.
class TRefusingDrive final : public win::VirtualScsiDevice {
public:
    TRefusingDrive(std::shared_ptr<vdrive::VirtualWriter> writer, std::uint8_t opcode)
        : Writer(std::move(writer)), Opcode(opcode)
    {
    }
    bool Execute(win::ScsiRequest& r) override
    {
        if (r.cdb[0] != Opcode)
            return Writer->Execute(r);
        return kvtest::CheckCondition(r, 0x05, 0x24);
    }
    std::string DevicePath() const override { return Writer->DevicePath(); }

    const std::shared_ptr<vdrive::VirtualWriter> Writer;
    const std::uint8_t Opcode;
};

// Virtual writers, images and windows of one test; everything is undone on destruction.
class TAppFixture {
public:
    TAppFixture()
    {
        win::SetKernelDevicePathsForTesting({});
        // The user's remembered choices stay out of tests, and no poll comes between a test's
        // commands unless the test asks for it.
        UseSettingsFile(Dir.filePath(QStringLiteral("keelvane.conf")));
        TForm1::DefaultDiscPollInterval = 0;
        TForm1::VirtualSticks.clear();
        SetMessageBoxes(&Messages);
        SetFileDialogs(&Chooser);
        win::SetScsiTraceSink([this](char letter, const win::ScsiRequest& r, bool ok) {
            Trace.push_back({letter, QByteArray(reinterpret_cast<const char*>(r.cdb), r.cdbLength), ok, r.status});
        });
    }
    ~TAppFixture()
    {
        CloseWindows();
        win::SetScsiTraceSink(nullptr);
        for (auto& d : Refusing)
            win::DetachVirtualDevice(d);
        for (auto& w : Writers)
            vdrive::DetachVirtualDrive(w);
        SetMessageBoxes(nullptr);
        SetFileDialogs(nullptr);
        UseSettingsFile(QString());
        TForm1::VirtualSticks.clear();
        win::ResetKernelDevicePathsForTesting();
    }
    TAppFixture(const TAppFixture&) = delete;
    TAppFixture& operator=(const TAppFixture&) = delete;

    // Attaches a writer whose disc lives in the temporary folder; options as after the path.
    std::shared_ptr<vdrive::VirtualWriter> Attach(const QString& options = QString())
    {
        const QString path = Dir.filePath(QStringLiteral("disc%1.cue").arg(Writers.size()));
        std::string driveSpec = path.toStdString();
        if (!options.isEmpty())
            driveSpec += "," + options.toStdString();
        std::string error;
        auto writer = vdrive::AttachVirtualDrive(driveSpec, error);
        if (!writer)
            qFatal("cannot attach %s: %s", driveSpec.c_str(), error.c_str());
        Writers.push_back(writer);
        return writer;
    }

    // A writer that refuses every command with `opcode`; its disc lives in the temporary folder.
    std::shared_ptr<vdrive::VirtualWriter> AttachRefusing(std::uint8_t opcode)
    {
        vdrive::VirtualDriveOptions options;
        options.path = Dir.filePath(QStringLiteral("refusing%1.cue").arg(Refusing.size())).toStdString();
        std::string error;
        auto writer = vdrive::VirtualWriter::Open(options, error);
        if (!writer)
            qFatal("cannot open %s: %s", options.path.c_str(), error.c_str());
        auto drive = std::make_shared<TRefusingDrive>(writer, opcode);
        win::AttachVirtualDevice(drive);
        Refusing.push_back(drive);
        return writer;
    }

    // The folder the windows take for the program's own; images go there.
    QString ProgramFolder() const { return Dir.filePath(QStringLiteral("program")) + u'/'; }

    // An ISO 9660 image of about `payload` random bytes (made with xorriso), saved as `name`
    // in `folder` (default: the program folder); with an El Torito boot record when `bootable`.
    // Empty on failure.
    QString MakeIso(const QString& name, qint64 payload, const QString& folder = QString(), bool bootable = false)
    {
        const QString target = (folder.isEmpty() ? ProgramFolder() : folder);
        QDir().mkpath(target);
        const QString tree = Dir.filePath(QStringLiteral("tree-%1").arg(++TreeCount_));
        QDir().mkpath(tree);
        QFile data(tree + QStringLiteral("/payload.bin"));
        if (!data.open(QIODevice::WriteOnly))
            return {};
        QByteArray bytes(payload, Qt::Uninitialized);
        QRandomGenerator rng(static_cast<quint32>(TreeCount_ * 7919));
        for (qint64 i = 0; i < payload; ++i)
            bytes[i] = static_cast<char>(rng.generate() & 0xFF);
        data.write(bytes);
        data.close();
        const QString out = QDir(target).filePath(name);
        QStringList args{QStringLiteral("-as"), QStringLiteral("mkisofs"), QStringLiteral("-quiet"),
                         QStringLiteral("-V"), QStringLiteral("KV%1").arg(TreeCount_), QStringLiteral("-o"), out};
        if (bootable) {
            QFile boot(tree + QStringLiteral("/boot.img"));
            if (!boot.open(QIODevice::WriteOnly))
                return {};
            boot.write(QByteArray(2048, '\xF4'));
            boot.close();
            args << QStringLiteral("-b") << QStringLiteral("boot.img") << QStringLiteral("-c") << QStringLiteral("boot.cat")
                 << QStringLiteral("-no-emul-boot") << QStringLiteral("-boot-load-size") << QStringLiteral("4");
        }
        args << tree;
        QProcess p;
        p.start(QStringLiteral("xorriso"), args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return {};
        return out;
    }

    static bool HaveXorriso() { return !QStandardPaths::findExecutable(QStringLiteral("xorriso")).isEmpty(); }

    // The windows, in the order of program start.
    void OpenWindows()
    {
        QDir().mkpath(ProgramFolder());
        Main = std::make_unique<TForm1>(ProgramFolder());
        Burn = std::make_unique<TBurnForm>();
    }
    void CloseWindows()
    {
        Burn.reset();
        Main.reset();
    }

    // Commands sent since the last call (or since the start).
    std::vector<TTracedCommand> TakeTrace()
    {
        std::vector<TTracedCommand> t;
        t.swap(Trace);
        return t;
    }

    QTemporaryDir Dir;
    TMessageRecorder Messages;
    TFileChooser Chooser;
    std::vector<std::shared_ptr<vdrive::VirtualWriter>> Writers;
    std::vector<std::shared_ptr<TRefusingDrive>> Refusing;
    std::unique_ptr<TForm1> Main;
    std::unique_ptr<TBurnForm> Burn;
    std::vector<TTracedCommand> Trace;

private:
    int TreeCount_ = 0;
};

inline QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
