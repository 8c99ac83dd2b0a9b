// The main window driven as a user would, against virtual writers: the drive box, the rescue
// image test, the image burn end to end, the information commands, blanking, and the commands
// that must stay out of reach while a job runs.
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSet>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "AppTestUtil.h"
#include "app/MultiBurn.h"
#include "app/CommandLine.h"
#include "stick/StickWriter.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "platform/WinApi.h"
#include "widgets/CDSizer.h"
#include "widgets/Gauges.h"
#include "widgets/ProgressCyl.h"

namespace {

const QString kComplete = QStringLiteral("CD Creation Complete!\r\nBe sure your computer can boot from your CD drive.");
const QString kReadBack = QStringLiteral("\r\nThe disc was read back: it equals the image.");
// The box after an image without a boot record, read back as the default has it.
const QString kCompleteRead = QStringLiteral("CD Creation Complete!") + kReadBack;
const QString kNoBurners = QStringLiteral("No CD burners found on this computer.");
constexpr qint64 kPayload = 600 * 1024;   // a little over 300 blocks per image

bool IsOpcode(const TTracedCommand& c, std::uint8_t op)
{
    return !c.Cdb.isEmpty() && static_cast<std::uint8_t>(c.Cdb[0]) == op;
}

int CountOpcode(const std::vector<TTracedCommand>& trace, std::uint8_t op)
{
    int n = 0;
    for (const auto& c : trace)
        n += IsOpcode(c, op);
    return n;
}

// START STOP UNIT with LoEj set and Start clear, answered GOOD.
bool EndsWithEject(const std::vector<TTracedCommand>& trace)
{
    if (trace.empty())
        return false;
    const TTracedCommand& c = trace.back();
    return IsOpcode(c, 0x1B) && (static_cast<std::uint8_t>(c.Cdb[4]) & 0x03) == 0x02 && c.Ok && c.Status == 0;
}

void PutLE(QByteArray& b, quint32 v, int width)
{
    for (int i = 0; i < width; ++i)
        b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A CD audio wave (PCM, 44.1 kHz, 16 bit, stereo) holding `samples`, with a LIST chunk after
// the data so that only the data chunk may reach the disc.
QByteArray CdWave(const QByteArray& samples)
{
    QByteArray fmt;
    PutLE(fmt, 1, 2);
    PutLE(fmt, 2, 2);
    PutLE(fmt, 44100, 4);
    PutLE(fmt, 44100 * 4, 4);
    PutLE(fmt, 4, 2);
    PutLE(fmt, 16, 2);
    QByteArray body("WAVE");
    body += QByteArray("fmt ");
    PutLE(body, static_cast<quint32>(fmt.size()), 4);
    body += fmt;
    body += QByteArray("data");
    PutLE(body, static_cast<quint32>(samples.size()), 4);
    body += samples;
    if (samples.size() % 2)
        body += '\0';
    body += QByteArray("LIST\x04\0\0\0INFO", 12);
    QByteArray wave("RIFF");
    PutLE(wave, static_cast<quint32>(body.size()), 4);
    return wave + body;
}

QByteArray SampleBytes(qsizetype count, int seed)
{
    QByteArray b(count, Qt::Uninitialized);
    for (qsizetype i = 0; i < count; ++i)
        b[i] = static_cast<char>((i * 7 + seed * 31 + i / 2352) & 0xFF);
    return b;
}

// Appends a track holding `wave` to the writer's list.
void AddTrack(TCDBurner& burner, const QByteArray& wave, const std::string& title)
{
    TCDTrackItem& item = burner.Tracks.Add();
    item.CDTrack()->LoadFromMemory(wave.constData(), static_cast<std::size_t>(wave.size()));
    item.CDTrack()->TrackTitle = title;
}

QByteArray PaddedToBlocks(QByteArray samples)
{
    samples.append(QByteArray((2352 - samples.size() % 2352) % 2352, '\0'));
    return samples;
}

// An MBR partition table in the image's system area, as an isohybrid image has: a stick takes it.
bool MakeHybrid(const QString& image)
{
    QFile file(image);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    file.seek(446 + 4);
    file.write("\x17", 1);
    file.seek(446 + 12);
    file.write("\x40", 1);
    file.seek(510);
    return file.write("\x55\xAA", 2) == 2;
}

// A virtual stick of `bytes` in the fixture's folder, listed by the next main window.
TStickTarget AttachStick(TAppFixture& f, const QString& name, std::int64_t bytes)
{
    TVirtualStick virtualStick;
    virtualStick.Path = f.Dir.filePath(name).toStdString();
    virtualStick.SizeBytes = bytes;
    TStickTarget stick;
    std::string error;
    if (!AttachVirtualStick(virtualStick, stick, error))
        qFatal("cannot attach the virtual stick: %s", error.c_str());
    TForm1::VirtualSticks.push_back(stick);
    return stick;
}

// Answers the next "Burn Onto Several Drives..." dialog: Choose checks the targets, then OK.
void AnswerTargetsDialog(std::function<void(TTargetsDialog&)> Choose)
{
    QTimer::singleShot(0, [Choose] {
        TTargetsDialog* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<TTargetsDialog*>(w); d && d->isVisible())
                dialog = d;
        if (!dialog)
            qFatal("the targets dialog is not open");
        Choose(*dialog);
        QTest::mouseClick(dialog->OkBtn, Qt::LeftButton);
        if (dialog->isVisible())
            dialog->reject();   // OK was disabled: nothing is burnt
    });
}

QStringList MenuCaptions(QMenu* menu)
{
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void layoutAndMenus();
    void driveBoxEntriesAndSelection();
    void noWriter();
    void burnButtonFollowsTheImages_data();
    void burnButtonFollowsTheImages();
    void burnCreatesTheDisc_data();
    void burnCreatesTheDisc();
    void missingImage();
    void burnFailuresEndWithTheirMessage_data();
    void burnFailuresEndWithTheirMessage();
    void discsThatCannotTakeTheImage();
    void imageChecksBeforeTheBurn();
    void informationTexts();
    void dvdStructure();
    void viewToc();
    void writeModeAndBufferCommands();
    void blankRewritable();
    void blankRefusedOnCdr();
    void commandsDisabledDuringBurn();
    void commandsDisabledDuringBlank();
    void itemsWithoutHandlerDoNothing();
    void overBurnIsWiredButNeverPainted();
    void driveAccessHint();
    void aBusyDriveHearsNothing();
    void burnWaveShowsProgressWindow();
    void burnWaveBurnsTheTrackList();
    void burnWaveFailureIsAnError();
    void burnWaveAsksForFiles_data();
    void burnWaveAsksForFiles();
    void waitsStayResponsive_data();
    void waitsStayResponsive();
    void closingReleasesOnlyTraysItLocked();
    void cancelStopsTheJob_data();
    void cancelStopsTheJob();
    void textsFitTheMedium_data();
    void textsFitTheMedium();
    void optionsApplyAndAreRemembered();
    void discInTheDrive();
    void burnOntoAStick_data();
    void burnOntoAStick();
    void severalDrivesDialog();
    void burnOntoSeveralDrives_data();
    void burnOntoSeveralDrives();
};

void TestMainWindow::initTestCase()
{
    if (!TAppFixture::HaveXorriso())
        QFAIL("xorriso is needed to make the rescue images (scripts/install-deps.sh installs it)");
}

void TestMainWindow::layoutAndMenus()
{
    TAppFixture f;
    f.Attach(QStringLiteral("media=none"));
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(Form1, &w);
    QCOMPARE(w.windowTitle(), QStringLiteral("KeelVane Data Rescue CD Burner"));
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    // Client area 483 x 202 under the menu bar: the panel and the 19-pixel status bar.
    QCOMPARE(w.ClientArea->size(), QSize(483, 183));
    QCOMPARE(w.StatusBar->height(), 19);
    QCOMPARE(w.width(), 483);
    QCOMPARE(w.height(), w.MainMenu1->sizeHint().height() + 202);

    // CDSize1 lies on the client area under Panel2, which covers it while no disc is known.
    QCOMPARE(w.CDSize1->parentWidget(), w.ClientArea);
    QCOMPARE(w.Panel2->geometry(), w.ClientArea->rect());
    QVERIFY(w.ClientArea->children().indexOf(w.Panel2) > w.ClientArea->children().indexOf(w.CDSize1));
    QVERIFY(w.Panel2->geometry().contains(w.CDSize1->geometry()));
    QCOMPARE(w.ProgressBar->parentWidget(), w.Panel2);
    QCOMPARE(w.PageControl1->parentWidget(), w.ClientArea);
    QCOMPARE(w.Label1->text(), QStringLiteral("Choose your CD Burner Unit:"));
    QCOMPARE(w.BurnBtn->text(), QStringLiteral("Create KeelVane CD"));
    QVERIFY(!w.DriveCombo->isEditable());
    QVERIFY(!w.Image1->pixmap().isNull());
    QVERIFY(!w.ProgressBar->isVisibleTo(&w));
    QCOMPARE(w.ProgressBar->ProEffect(), TProgressCyl::demoSystem);
    QCOMPARE(w.ProgressBar->BackColor(), clWhite);
    QCOMPARE(w.ProgressBar->ForeColor(), clBtnFace);
    QVERIFY(!w.PageControl1->isVisibleTo(&w));
    QCOMPARE(w.PageControl1->tabText(0), QStringLiteral("Table Of Contents"));
    QCOMPARE(w.PageControl1->tabText(1), QStringLiteral("Audio Track List"));
    QCOMPARE(w.TrackListBox->parentWidget(), w.TabSheet1);
    QCOMPARE(w.CDSize1->MaxMemory(), 700);
    QCOMPARE(w.CDSize1->MaxCDSize(), 650);
    QCOMPARE(w.CDSize1->BarColour(), clMoneyGreen);
    QCOMPARE(w.CDSize1->TickColour(), clNavy);
    QCOMPARE(w.CDSize1->ProgressGap(), 0);
    QCOMPARE(w.CDSize1->toolTip(), QStringLiteral("Current CD Size"));

    const QStringList headers = {"No", "Num", "LBA", "Flags"};
    const int widths[] = {30, 40, 75, 350};
    for (int c = 0; c < 4; ++c) {
        QCOMPARE(w.ReadTocListView->horizontalHeaderItem(c)->text(), headers[c]);
        QCOMPARE(w.ReadTocListView->columnWidth(c), widths[c]);
    }

    QStringList menus;
    for (QAction* a : w.MainMenu1->actions())
        menus << a->text();
    QCOMPARE(menus, (QStringList{"&File", "&Options", "&Functions", "&ISO Functions"}));
    // The first design's items as they were; the user's own image, a burn's options and the
    // disc's report after them, and the burn onto several drives after the file menu's items.
    QCOMPARE(MenuCaptions(w.File1),
             (QStringList{"Burn Image File...", "-", "Add Track To TrackList", "-", "Burn Onto Several Drives..."}));
    QCOMPARE(MenuCaptions(w.Options1),
             (QStringList{"Show CD Capabilities", "Show Read Write Speeds", "Show Writer Parameters", "-",
                          "Get CD / DVD Structure", "View TOC", "-", "Get Buffer Bits", "-", "Set WriteMode to CDDA",
                          "Set WriteMode to Data Write", "-", "Verify After Burning", "Simulate Burn (Test Write)",
                          "Eject When Done", "Leave Session Open", "Write Speed"}));
    QCOMPARE(MenuCaptions(w.Functions1),
             (QStringList{"Save CD To ISO Image", "-", "Burn ISO Image To CD", "Burn Wave File To CD", "-", "Format CD",
                          "Blank CD", "-", "Disc Information"}));
    QCOMPARE(MenuCaptions(w.WriteSpeed1), QStringList{"Maximum"});
    QVERIFY(w.VerifyAfterBurning1->isChecked() && w.EjectWhenDone1->isChecked());
    QVERIFY(!w.SimulateBurn1->isChecked() && !w.LeaveSessionOpen1->isChecked());
    QCOMPARE(w.DiscLabel->text(), QStringLiteral("No disc in the drive"));
    QCOMPARE(w.ImageLabel->text(), QStringLiteral("No image: choose one with File, Burn Image File..."));
    QCOMPARE(MenuCaptions(w.ISOFunctions1), QStringList{"&Create ISO9660 File"});
}

void TestMainWindow::driveBoxEntriesAndSelection()
{
    TAppFixture f;
    f.Attach();
    f.Attach(QStringLiteral("media=cd-rw"));
    f.OpenWindows();
    TForm1& w = *f.Main;
    QVERIFY(f.Messages.Texts.isEmpty());
    QCOMPARE(w.DriveCombo->count(), 2);
    // Letter, ":\  [ ", vendor and product as the drive reports them (blanks kept), "]".
    QCOMPARE(w.DriveCombo->itemText(0), QStringLiteral("D:\\  [ KEELVANE VIRTUAL WRITER  ]"));
    QCOMPARE(w.DriveCombo->itemText(1), QStringLiteral("E:\\  [ KEELVANE VIRTUAL WRITER  ]"));
    QCOMPARE(w.DriveCombo->currentIndex(), 0);

    // Every command reads the index at the moment it runs.
    f.TakeTrace();
    w.DriveCombo->setCurrentIndex(1);
    w.GetBufferBits1->trigger();
    auto trace = f.TakeTrace();
    QVERIFY(!trace.empty());
    // Each command rescans the drives (INQUIRY to all); the command itself goes to E.
    for (const auto& c : trace)
        if (!IsOpcode(c, 0x12))
            QCOMPARE(c.Letter, 'E');
    w.DriveCombo->setCurrentIndex(0);
    w.GetBufferBits1->trigger();
    trace = f.TakeTrace();
    QVERIFY(!trace.empty());
    for (const auto& c : trace)
        if (!IsOpcode(c, 0x12))
            QCOMPARE(c.Letter, 'D');
}

void TestMainWindow::noWriter()
{
    TAppFixture f;
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(f.Messages.Texts, QStringList{kNoBurners});
    QCOMPARE(f.Messages.Kinds.front(), IMessageBoxes::Kind::Information);
    QCOMPARE(w.DriveCombo->count(), 0);
    QCOMPARE(w.DriveCombo->currentIndex(), -1);
    // The image is there, but there is nothing to burn it with.
    QVERIFY(!w.BurnBtn->isEnabled());

    // Each drive command only says so, and nothing reaches a drive.
    f.TakeTrace();
    const auto actions = w.DriveActions();
    for (QAction* a : actions) {
        f.Messages.Texts.clear();
        a->trigger();
        QCOMPARE(f.Messages.Texts, QStringList{kNoBurners});
    }
    QVERIFY(f.TakeTrace().empty());
    QVERIFY(!f.Burn->isVisible());
    QVERIFY(w.ImagePath.isEmpty());
}

void TestMainWindow::burnButtonFollowsTheImages_data()
{
    QTest::addColumn<bool>("demo");
    QTest::addColumn<bool>("rescue");
    QTest::addColumn<bool>("elsewhere");
    QTest::addColumn<bool>("enabled");
    // A folder (below the test's own) holding a demo image: the installed data folder beside
    // the program's, or the user's data folder.
    QTest::addColumn<QString>("dataFolder");
    QTest::newRow("neither") << false << false << false << false << QString();
    QTest::newRow("demo only") << true << false << false << true << QString();
    QTest::newRow("rescue only") << false << true << false << true << QString();
    QTest::newRow("both") << true << true << false << true << QString();
    QTest::newRow("only in the working directory") << false << false << true << false << QString();
    QTest::newRow("only in the installed data folder") << false << false << false << true
                                                       << QStringLiteral("share/keelvane");
    QTest::newRow("only in the user's data folder") << false << false << false << true
                                                    << QStringLiteral("user-data/keelvane");
    QTest::newRow("only in an unrelated data folder") << false << false << false << false
                                                      << QStringLiteral("share/other");
}

void TestMainWindow::burnButtonFollowsTheImages()
{
    QFETCH(bool, demo);
    QFETCH(bool, rescue);
    QFETCH(bool, elsewhere);
    QFETCH(bool, enabled);
    QFETCH(QString, dataFolder);
    TAppFixture f;
    f.Attach();
    const QByteArray oldDataHome = qgetenv("XDG_DATA_HOME");
    const bool hadDataHome = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", f.Dir.filePath(QStringLiteral("user-data")).toLocal8Bit());
    const auto restoreDataHome = qScopeGuard([&] {
        hadDataHome ? qputenv("XDG_DATA_HOME", oldDataHome) : qunsetenv("XDG_DATA_HOME");
    });
    if (!dataFolder.isEmpty())
        QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 4096, f.Dir.filePath(dataFolder)).isEmpty());
    if (demo)
        QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 4096).isEmpty());
    if (rescue)
        QVERIFY(!f.MakeIso(QStringLiteral("Keelvane.iso"), 4096).isEmpty());
    const QString cwd = QDir::currentPath();
    if (elsewhere) {
        const QString other = f.Dir.filePath(QStringLiteral("cwd"));
        QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 4096, other).isEmpty());
        QVERIFY(!f.MakeIso(QStringLiteral("Keelvane.iso"), 4096, other).isEmpty());
        QDir::setCurrent(other);
    }
    f.OpenWindows();
    QDir::setCurrent(cwd);
    QCOMPARE(f.Main->BurnBtn->isEnabled(), enabled);
    // The menu item is there whatever the images.
    QVERIFY(f.Main->BurnISOToCD1->isEnabled());
}

// How an image is chosen: the rescue image beside the program (by the button, or by the menu
// item with both names present), or the user's own image in another folder, through the file
// menu's chooser, a drop on the window, the command line, or remembered from an earlier run.
void TestMainWindow::burnCreatesTheDisc_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("verify");
    QTest::newRow("demo image, button, no read-back") << QStringLiteral("button") << false;
    QTest::newRow("both images, menu item") << QStringLiteral("menu") << true;
    QTest::newRow("own image, file chooser") << QStringLiteral("chooser") << true;
    QTest::newRow("own image, dropped") << QStringLiteral("drop") << true;
    QTest::newRow("own image, command line") << QStringLiteral("argument") << true;
    QTest::newRow("own image, remembered") << QStringLiteral("remembered") << true;
}

void TestMainWindow::burnCreatesTheDisc()
{
    QFETCH(QString, choice);
    QFETCH(bool, verify);
    TAppFixture f;
    auto writer = f.Attach();
    // The rescue images boot; the user's own does not (and lies elsewhere, under another name).
    const QString demo = f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 2 * 1024 * 1024 + 12345, QString(), true);
    QVERIFY(!demo.isEmpty());
    const bool rescue = choice == QStringLiteral("button") || choice == QStringLiteral("menu");
    QString expected = demo;
    if (choice == QStringLiteral("menu"))
        expected = f.MakeIso(QStringLiteral("Keelvane.iso"), kPayload, QString(), true);
    else if (!rescue)
        expected = f.MakeIso(QStringLiteral("rescue-2026.iso"), kPayload, f.Dir.filePath(QStringLiteral("Downloads")));
    QVERIFY(!expected.isEmpty());
    const QByteArray image = ReadAll(expected);
    QVERIFY(image.size() > 0 && image.size() % 2048 == 0);

    if (choice == QStringLiteral("remembered")) {
        f.OpenWindows();
        QVERIFY(f.Main->ChooseImage(expected));
        f.CloseWindows();
    }
    f.OpenWindows();
    TForm1& w = *f.Main;
    w.VerifyAfterBurning1->setChecked(verify);
    QVERIFY(w.BurnBtn->isEnabled());
    if (choice == QStringLiteral("drop")) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(expected)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &drop);
        QTRY_COMPARE(w.ChosenImage(), expected);
    } else if (choice == QStringLiteral("argument")) {
        const TCommandLine options = ParseCommandLine({QStringLiteral("--virtual-drive"), QStringLiteral("x.cue"), expected});
        QVERIFY(options.Error.isEmpty());
        QVERIFY(w.ChooseImage(options.Image));
    }
    if (!rescue && choice != QStringLiteral("chooser")) {
        // The panel names the chosen image: its name, size, whether it boots, its checksum.
        QCOMPARE(w.ChosenImage(), expected);
        QVERIFY2(w.ImageLabel->text().startsWith(QStringLiteral("rescue-2026.iso, 0.")) &&
                     w.ImageLabel->text().endsWith(QStringLiteral(" MiB\nnot bootable, no checksum")),
                 qPrintable(w.ImageLabel->text()));
    }
    bool barShown = true;
    int blocks = 0;
    int verified = 0;
    QObject::connect(f.Burn.get(), &TBurnForm::JobProgressed, [&](int phase, int percent) {
        if (phase == static_cast<int>(TJobPhase::Verify))
            verified = std::max(verified, percent);
    });
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int, int) {
        barShown = barShown && w.ProgressBar->isVisibleTo(&w) && f.Burn->isVisible();
        blocks += verified == 0;   // written blocks; the read-back reports by the chunk
    });
    f.TakeTrace();
    if (choice == QStringLiteral("chooser")) {
        f.Chooser.Files = {expected};
        w.BurnImageFile1->trigger();
        QCOMPARE(f.Chooser.Asked, 1);
    } else if (choice == QStringLiteral("menu")) {
        w.BurnISOToCD1->trigger();
    } else {
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    }

    // The CD texts as they always were; the read-back's line after them.
    const QString complete = rescue ? kComplete : QStringLiteral("CD Creation Complete!");
    QCOMPARE(f.Messages.Texts, QStringList{complete + (verify ? kReadBack : QString())});
    QCOMPARE(f.Messages.Questions.size(), rescue ? 0 : 1);   // the own image is not bootable
    QCOMPARE(w.ImagePath, expected);
    QCOMPARE(w.CDSize1->MemShaded(), static_cast<int>(image.size() / 1048576));
    QCOMPARE(blocks, static_cast<int>(image.size() / 2048));
    QVERIFY(barShown);
    QCOMPARE(verified, verify ? 100 : 0);
    QVERIFY(!w.ProgressBar->isVisibleTo(&w));
    QVERIFY(w.BurnBtn->isEnabled());
    QVERIFY(!f.Burn->CancelBtn->isEnabled());
    QCOMPARE(f.Burn->ListBox1->item(0)->text(), QStringLiteral("Finished Writing : Job Done!"));

    const vdrive::DiscState disc = writer->State();
    QCOMPARE(disc.status, vdrive::DiscStatus::Complete);
    QCOMPARE(disc.tracks.size(), std::size_t(1));
    QCOMPARE(disc.tracks[0].blocks, static_cast<std::uint32_t>(image.size() / 2048));
    QVERIFY(ReadAll(QString::fromStdString(disc.tracks[0].file)) == image);
    const auto trace = f.TakeTrace();
    QVERIFY(EndsWithEject(trace));
    QCOMPARE(CountOpcode(trace, 0x28) > 0, verify);
    // The writer holds no handler of the window once the job is over.
    const TCDBurner& burner = *w.BurnerList->Burners(0);
    QVERIFY(!burner.OnProgress && !burner.OnStatus && !burner.OnBufferProgress && !burner.OnFileBufferProgress &&
            !burner.OnBufferStatus && !burner.OnBytesRead);
    // Remembered for the next start.
    if (!rescue) {
        f.CloseWindows();
        f.OpenWindows();
        QCOMPARE(f.Main->ChosenImage(), expected);
        QCOMPARE(f.Main->VerifyAfterBurning1->isChecked(), verify);
    }
}

void TestMainWindow::missingImage()
{
    TAppFixture f;
    auto writer = f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;
    QVERIFY(!w.BurnBtn->isEnabled());
    f.TakeTrace();
    w.BurnISOToCD1->trigger();
    // The file looked for is named, with the error icon.
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Error creating CD.\r\nImage file ") + f.ProgramFolder() +
                                           QStringLiteral("KeelvaneDemo.iso: the file does not exist")});
    QCOMPARE(f.Messages.Kinds.front(), IMessageBoxes::Kind::Error);
    QCOMPARE(w.ImagePath, f.ProgramFolder() + QStringLiteral("KeelvaneDemo.iso"));
    QCOMPARE(w.CDSize1->MemShaded(), 0);
    const auto trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0x2A), 0);
    QVERIFY(EndsWithEject(trace));
    QVERIFY(writer->State().tracks.empty());
    QVERIFY(!w.ProgressBar->isVisibleTo(&w));
    QVERIFY(!w.BurnerList->Burners(0)->OnProgress && !w.BurnerList->Burners(0)->OnStatus);
    // Enabled again after the command, as after every burn command.
    QVERIFY(w.BurnBtn->isEnabled());
}

// A burn that fails or is refused ends with one error box that says why, and leaves the window
// ready for the next command; nothing is written past a failed block.
void TestMainWindow::burnFailuresEndWithTheirMessage_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("refused");      // the opcode the drive refuses, 0: none
    QTest::addColumn<QString>("message");  // the whole message, or with `suffix` its start
    QTest::addColumn<QString>("suffix");   // null: the message is exact
    QTest::addColumn<int>("writes");       // WRITE(10)s sent, -1: not counted
    QTest::addColumn<bool>("listed");      // the job ran: its failed step is the burn window's first line
    QTest::addColumn<bool>("written");     // a track was started
    const QString failed = QStringLiteral("Error creating CD.\r\n");
    QTest::newRow("write parameters refused") << QString() << 0x55 << failed + QStringLiteral("HardWare : Set Write Mode Error")
                                              << QString() << 0 << true << false;
    QTest::newRow("write error mid-burn") << QStringLiteral("fail-write-at=100")
                                          << 0 << failed + QStringLiteral("Error : Write Error at sector 100")
                                          << QStringLiteral("") << 101 << true << true;
    QTest::newRow("no disc") << QStringLiteral("media=none") << 0
                             << failed + QStringLiteral("No disc in the drive.\r\n") << QStringLiteral("Err_SenseNotReady")
                             << -1 << false << false;
    // The preflight: a pressed disc is refused with its message before any write parameters.
    QTest::newRow("pressed disc") << QStringLiteral("media=dvd-rom") << 0
                                  << QStringLiteral("The disc in D: is a DVD-ROM and cannot be written.") << QString() << 0
                                  << false << false;
}

void TestMainWindow::burnFailuresEndWithTheirMessage()
{
    QFETCH(QString, options);
    QFETCH(int, refused);
    QFETCH(QString, message);
    QFETCH(QString, suffix);
    QFETCH(int, writes);
    QFETCH(bool, listed);
    QFETCH(bool, written);
    TAppFixture f;
    auto writer = refused ? f.AttachRefusing(std::uint8_t(refused)) : f.Attach(options);
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    f.TakeTrace();
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts.size(), 1);
    const QString text = f.Messages.Texts.front();
    if (suffix.isNull())
        QCOMPARE(text, message);
    QVERIFY2(text.startsWith(message) && text.endsWith(suffix), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("Complete")), qPrintable(text));
    QCOMPARE(f.Messages.Kinds.front(), IMessageBoxes::Kind::Error);
    if (listed)
        QCOMPARE(f.Burn->ListBox1->item(0)->text(), text.mid(QStringLiteral("Error creating CD.\r\n").size()));
    const auto trace = f.TakeTrace();
    if (writes >= 0) {
        QCOMPARE(CountOpcode(trace, 0x2A), writes);
        QVERIFY(EndsWithEject(trace) || !listed);
    }
    if (writes == 0 && !refused)
        QCOMPARE(CountOpcode(trace, 0x55), 0);
    QCOMPARE(CountOpcode(trace, 0x5B), 0);
    QCOMPARE(writer->State().tracks.empty(), !written);
    if (written)
        QVERIFY(writer->State().status != vdrive::DiscStatus::Complete);
    QVERIFY(f.Main->BurnBtn->isEnabled());
    QVERIFY(!f.Main->ProgressBar->isVisibleTo(f.Main.get()));
}

// The preflight: a used CD-RW is offered to be blanked, and burnt only on Yes.
void TestMainWindow::discsThatCannotTakeTheImage()
{
    TAppFixture f;
    auto writer = f.Attach(QStringLiteral("media=cd-rw"));
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(writer->State().tracks.size(), std::size_t(1));
    writer->CloseTray();
    f.Messages.Texts.clear();
    f.Messages.Questions.clear();
    f.TakeTrace();

    // The image is no boot image: that question is answered Yes, the blank's No.
    const QString notBootable = QStringLiteral("This image is not bootable: the disc will not start a computer.");
    const QString question =
        QStringLiteral("The disc in D: is not blank. Blank it and burn?\r\nEverything on it will be erased.");
    f.Messages.Answers = [&](const QString& text) { return text != question; };
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Questions.size(), 2);
    QVERIFY(f.Messages.Questions.front().startsWith(notBootable));
    QCOMPARE(f.Messages.Questions.back(), question);
    QVERIFY(f.Messages.Texts.isEmpty());
    auto trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0xA1), 0);
    QCOMPARE(CountOpcode(trace, 0x2A), 0);

    writer->CloseTray();
    f.Messages.Answers = nullptr;
    f.Messages.Answer = true;
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Questions.size(), 4);
    QCOMPARE(f.Messages.Questions.back(), question);
    // The image was accepted as not bootable: no boot advice.
    QCOMPARE(f.Messages.Texts, QStringList{kCompleteRead});
    trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0xA1), 1);
    QVERIFY(CountOpcode(trace, 0x2A) > 0);
}

// A wrong, damaged or unbootable image is found before anything reaches the drive: a message
// box says why (or asks, for an image that will not start a computer), and the disc stays in.
void TestMainWindow::imageChecksBeforeTheBurn()
{
    TAppFixture f;
    auto writer = f.Attach();
    QDir().mkpath(f.ProgramFolder());
    const QString image = f.ProgramFolder() + QStringLiteral("KeelvaneDemo.iso");
    {
        QFile noise(image);
        QVERIFY(noise.open(QIODevice::WriteOnly));
        noise.write(QByteArray(2048 * 40, 'k'));
    }
    f.OpenWindows();
    f.TakeTrace();
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts,
             QStringList{QStringLiteral("This image is not an ISO 9660 image (no volume descriptor at sector 16): it is not burnt.")});
    QCOMPARE(f.Messages.Kinds.back(), IMessageBoxes::Kind::Error);
    QVERIFY(f.TakeTrace().empty());

    // A real image, not bootable: asked, and declined.
    QVERIFY(QFile::remove(image));
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.Messages.Answer = false;
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Questions.size(), 1);
    QVERIFY(f.Messages.Questions.front().startsWith(
        QStringLiteral("This image is not bootable: the disc will not start a computer.")));
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY(f.TakeTrace().empty());

    // A published sum it does not match: refused, naming both.
    {
        QFile sums(f.ProgramFolder() + QStringLiteral("SHA256SUMS"));
        QVERIFY(sums.open(QIODevice::WriteOnly));
        sums.write(QByteArray(64, '0') + " *KeelvaneDemo.iso\n");
    }
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts.size(), 2);
    QVERIFY2(f.Messages.Texts.back().startsWith(QStringLiteral("Image checksum mismatch (SHA-256): expected ") +
                                                QString(64, u'0') + QStringLiteral(" (SHA256SUMS), actual ")),
             qPrintable(f.Messages.Texts.back()));
    QVERIFY(f.TakeTrace().empty());
    QVERIFY(writer->State().tracks.empty());
    QVERIFY(f.Main->BurnBtn->isEnabled());

    // Without the list and with a Yes the image burns.
    QVERIFY(QFile::remove(f.ProgramFolder() + QStringLiteral("SHA256SUMS")));
    f.Messages.Answer = true;
    QTest::mouseClick(f.Main->BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Questions.size(), 2);
    QVERIFY(f.Messages.Texts.back().startsWith(QStringLiteral("CD Creation Complete!")));
    QCOMPARE(writer->State().tracks.size(), std::size_t(1));
}

void TestMainWindow::informationTexts()
{
    {
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;

    w.CDCapabilities1->trigger();
    w.ShowReadWriteSpeeds1->trigger();
    w.ShowWriterParameters1->trigger();
    QCOMPARE(f.Messages.Texts.size(), 3);
    QCOMPARE(f.Messages.Texts[0], QStringLiteral("-- Device Reading Methods --\r\n"
                                                 "    Read CD-R media\r\n"
                                                 "    Read CD-RW media\r\n"
                                                 "    Read CD-R written using fixed packets\r\n"
                                                 "    Read DVD-ROM media\r\n"
                                                 "    Read DVD-R / DVD-RW media\r\n"
                                                 "-- Device Writing Methods --\r\n"
                                                 "    Write CD-R media\r\n"
                                                 "    Write CD-RW media\r\n"
                                                 "    Write in test mode\r\n"
                                                 "    Can Use Burn Proof\r\n"
                                                 "-- Device Extended Methods --\r\n"
                                                 "        Capable to read Mode 2 Form 1 (CD-XA format)\r\n"
                                                 "        Capable to read Mode 2 Form 2 (CD-XA format)\r\n"
                                                 "        Capable to read PhotoCD format (multiple sessions)\r\n"
                                                 // Then the profiles the drive lists as writable.
                                                 "-- Device Writing Profiles --\r\n"
                                                 "    Write BD-RE media\r\n"
                                                 "    Write BD-R media\r\n"
                                                 "    Write DVD+R DL media\r\n"
                                                 "    Write DVD+R media\r\n"
                                                 "    Write DVD+RW media\r\n"
                                                 "    Write DVD-R DL media\r\n"
                                                 "    Write DVD-RW media\r\n"
                                                 "    Write DVD-RW (restricted overwrite) media\r\n"
                                                 "    Write DVD-R media\r\n"
                                                 "    Write CD-RW media\r\n"
                                                 "    Write CD-R media\r\n"));
    QCOMPARE(f.Messages.Texts[1], QStringLiteral("-- Device Reading Speeds --\r\n"
                                                 "       Current Read Speed = 52\r\n"
                                                 "       Maximum Read Speed = 52\r\n"
                                                 "-- Device Writing Speeds --\r\n"
                                                 "       Current Write Speed = 52\r\n"
                                                 "       Maximum Write Speed = 52\r\n"));
    QCOMPARE(f.Messages.Texts[2], QStringLiteral("Test Write :  Test Write is OFF\n\r"
                                                 "Buffer Underrun :  BurnProof is OFF\n\r"
                                                 "Write Type :  Track At Once (TAO)\n\r"
                                                 "Multisession :  Next Session Not Allowed / OFF\n\r"
                                                 "Packet Type :  Variable Size Packets\n\r"
                                                 "Packet Size :  0\n\r"
                                                 "Session Type :  CD-DA or CDROM Disk\n\r"
                                                 "Audio Pause Length :  150\n\r"
                                                 "Data Block :  8\n\r"));
    QCOMPARE(w.StatusText(), QStringLiteral("Err_None"));
    }

    // A drive that does not answer: the report still comes, the status bar names the result.
    // (The first not-ready answer goes to the window's look at the disc when it opens.)
    TAppFixture g;
    g.Attach(QStringLiteral("not-ready=2"));
    g.OpenWindows();
    g.Main->ShowWriterParameters1->trigger();
    QCOMPARE(g.Messages.Texts, QStringList{QStringLiteral("Get CD/DVD Writer Parameters : Failed")});
    QCOMPARE(g.Main->StatusText(), QStringLiteral("Err_SenseNotReady"));
}

void TestMainWindow::dvdStructure()
{
    TAppFixture f;
    f.Attach(QStringLiteral("media=dvd-rom"));
    f.Attach(QStringLiteral("media=cd-r"));
    f.OpenWindows();
    TForm1& w = *f.Main;
    w.GetCDDVDStructure1->trigger();
    w.DriveCombo->setCurrentIndex(1);
    w.GetCDDVDStructure1->trigger();
    QCOMPARE(f.Messages.Texts.size(), 2);
    const QStringList dvd = f.Messages.Texts[0].split(QStringLiteral("\n\r"));
    const char* labels[] = {"Book Type     : ", "Track Density : ", "Disc Size     : ",
                            "Maximum Rate  : ", "Linear Density: ", "Layer Type    : "};
    QCOMPARE(dvd.size(), 7);
    QVERIFY(dvd[6].isEmpty());
    for (int i = 0; i < 6; ++i) {
        QVERIFY2(dvd[i].startsWith(QString::fromUtf8(labels[i])), qPrintable(dvd[i]));
        QVERIFY2(dvd[i].size() > qsizetype(std::strlen(labels[i])), qPrintable(dvd[i]));
    }
    QCOMPARE(dvd[0], QStringLiteral("Book Type     : DVD-ROM"));
    // A CD has no DVD structure: the labels with the texts the failed read left empty.
    QCOMPARE(f.Messages.Texts[1], QStringLiteral("Book Type     : \n\rTrack Density : \n\rDisc Size     : \n\r"
                                                 "Maximum Rate  : \n\rLinear Density: \n\rLayer Type    : \n\r"));
    // Not a status bar command.
    QVERIFY(w.StatusText().isEmpty());
}

void TestMainWindow::viewToc()
{
    TAppFixture f;
    auto writer = f.Attach();
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    const qint64 blocks = QFileInfo(f.ProgramFolder() + QStringLiteral("KeelvaneDemo.iso")).size() / 2048;
    f.OpenWindows();
    TForm1& w = *f.Main;

    // A blank disc has no TOC: whatever the list held is cleared.
    w.ReadTocListView->setRowCount(3);
    w.ViewTOC1->trigger();
    QCOMPARE(w.ReadTocListView->rowCount(), 0);

    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts, QStringList{kCompleteRead});
    writer->CloseTray();
    w.ViewTOC1->trigger();
    QCOMPARE(w.ReadTocListView->rowCount(), 2);
    const QStringList rows[] = {
        {"0", "1", "0", "[ssqfADRposition, ssqfDataTrack]"},
        {"1", "170", QString::number(blocks), "[ssqfADRposition, ssqfDataTrack]"},
    };
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4; ++c)
            QCOMPARE(w.ReadTocListView->item(r, c)->text(), rows[r][c]);
    // The page stays hidden.
    QVERIFY(!w.PageControl1->isVisibleTo(&w));
    QCOMPARE(f.Messages.Texts.size(), 1);
}

void TestMainWindow::writeModeAndBufferCommands()
{
    {
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;

    w.SetWriteModetoCDDA1->trigger();
    QCOMPARE(w.StatusText(), QStringLiteral("Err_None"));
    w.ShowWriterParameters1->trigger();
    QVERIFY(f.Messages.Texts.back().contains(QStringLiteral("Data Block :  0\n\r")));
    QVERIFY(f.Messages.Texts.back().contains(QStringLiteral("BurnProof is ON")));
    w.SetWriteModetoDataWrite1->trigger();
    QCOMPARE(w.StatusText(), QStringLiteral("Err_None"));
    w.ShowWriterParameters1->trigger();
    QVERIFY(f.Messages.Texts.back().contains(QStringLiteral("Data Block :  8\n\r")));
    QCOMPARE(f.Messages.Texts.size(), 2);

    // "Get Buffer Bits" asks the drive and shows nothing.
    const QString status = w.StatusText();
    f.TakeTrace();
    w.GetBufferBits1->trigger();
    const auto trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0x5C), 1);
    QCOMPARE(w.StatusText(), status);
    QCOMPARE(f.Messages.Texts.size(), 2);
    QCOMPARE(w.BurnerList->Burners(0)->BufferLength, static_cast<std::int32_t>(vdrive::kBufferBytes));
    }

    // A refused mode select shows in the status bar only (the first not-ready answer goes to
    // the window's look at the disc when it opens).
    TAppFixture g;
    g.Attach(QStringLiteral("not-ready=2"));
    g.OpenWindows();
    g.Main->SetWriteModetoDataWrite1->trigger();
    QCOMPARE(g.Main->StatusText(), QStringLiteral("Err_SenseNotReady"));
    g.Main->SetWriteModetoCDDA1->trigger();
    QCOMPARE(g.Main->StatusText(), QStringLiteral("Err_None"));
    QVERIFY(g.Messages.Texts.isEmpty());
}

void TestMainWindow::blankRewritable()
{
    TAppFixture f;
    // The blank keeps the drive busy long enough for progress to be reported.
    auto writer = f.Attach(QStringLiteral("media=cd-rw,busy-ms=1500"));
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts, QStringList{kCompleteRead});
    QCOMPARE(writer->State().tracks.size(), std::size_t(1));
    writer->CloseTray();
    f.Messages.Texts.clear();
    f.TakeTrace();
    f.Burn->FileBufferProgress(42);
    const int fileBuffer = f.Burn->Gauge3->Progress();

    bool shownBeforeProgress = true;
    int reports = 0;
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int, int) {
        shownBeforeProgress = shownBeforeProgress && f.Burn->isVisible();
        ++reports;
    });
    w.BlankCD1->trigger();
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Blanking Finished!")});
    QVERIFY(f.Burn->isVisible());
    QVERIFY(shownBeforeProgress);
    QVERIFY(reports > 0);
    QVERIFY(f.Burn->Gauge2->Progress() > 0);
    QCOMPARE(f.Burn->StatusText(), QStringLiteral("Sector : 0"));
    QCOMPARE(f.Burn->Gauge3->Progress(), fileBuffer);
    // The log is never cleared: the burn's lines are still there.
    QVERIFY(!f.Burn->ListBox1->findItems(QStringLiteral("Finished Writing : Job Done!"), Qt::MatchExactly).isEmpty());
    const vdrive::DiscState disc = writer->State();
    QCOMPARE(disc.status, vdrive::DiscStatus::Empty);
    QVERIFY(disc.tracks.empty());
    // The tray stays in.
    QCOMPARE(CountOpcode(f.TakeTrace(), 0x1B), 0);
}

void TestMainWindow::blankRefusedOnCdr()
{
    {
    TAppFixture f;
    auto writer = f.Attach(QStringLiteral("media=cd-r"));
    f.OpenWindows();
    f.Main->BlankCD1->trigger();
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("This disc is not rewritable.\r\nErr_SenseIllegalRequest")});
    QCOMPARE(f.Messages.Kinds.front(), IMessageBoxes::Kind::Error);
    QVERIFY(f.Burn->isVisible());
    }

    // Without a disc the message says so as well.
    TAppFixture g;
    g.Attach(QStringLiteral("media=none"));
    g.OpenWindows();
    g.Main->BlankCD1->trigger();
    QCOMPARE(g.Messages.Texts, QStringList{QStringLiteral("No disc in the drive.\r\nErr_SenseNotReady")});
}

void TestMainWindow::commandsDisabledDuringBurn()
{
    TAppFixture f;
    auto writer = f.Attach();
    auto other = f.Attach();
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    int checked = 0;
    QStringList enabledDuringJob;
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int n, int) {
        if (n != 50)
            return;
        ++checked;
        for (QAction* a : w.DriveActions())
            if (a->isEnabled())
                enabledDuringJob << a->text();
        if (w.BurnBtn->isEnabled())
            enabledDuringJob << w.BurnBtn->text();
        if (w.DriveCombo->isEnabled())
            enabledDuringJob << QStringLiteral("DriveCombo");
        QVERIFY(w.JobRunning());
        // Nothing started from here reaches a drive, and the window stays open.
        f.TakeTrace();
        for (QAction* a : w.DriveActions())
            a->trigger();
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
        w.BurnISOToCD1Click();
        w.BlankCD1Click();
        w.CDCapabilities1Click();
        QVERIFY(f.TakeTrace().empty());
        QVERIFY(!w.close());
        QCOMPARE(w.StatusText(), QStringLiteral("The job must end before the program can close."));
    });
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(checked, 1);
    QCOMPARE(enabledDuringJob, QStringList{});
    QCOMPARE(f.Messages.Texts, QStringList{kCompleteRead});
    QVERIFY(other->State().tracks.empty());
    QVERIFY(!w.JobRunning());
    for (QAction* a : w.DriveActions())
        QVERIFY2(a->isEnabled(), qPrintable(a->text()));
    QVERIFY(w.BurnBtn->isEnabled());
    QVERIFY(w.DriveCombo->isEnabled());
}

void TestMainWindow::commandsDisabledDuringBlank()
{
    TAppFixture f;
    f.Attach(QStringLiteral("media=cd-rw,busy-ms=600"));
    f.OpenWindows();
    TForm1& w = *f.Main;
    QVERIFY(!w.BurnBtn->isEnabled());   // no image: stays so after the blank
    int checked = 0;
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int, int) {
        if (checked++)
            return;
        for (QAction* a : w.DriveActions())
            QVERIFY2(!a->isEnabled(), qPrintable(a->text()));
        QVERIFY(!w.DriveCombo->isEnabled());
        f.TakeTrace();
        w.ViewTOC1->trigger();
        w.BurnISOToCD1Click();
        QVERIFY(f.TakeTrace().empty());
    });
    w.BlankCD1->trigger();
    QVERIFY(checked > 0);
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Blanking Finished!")});
    for (QAction* a : w.DriveActions())
        QVERIFY(a->isEnabled());
    QVERIFY(!w.BurnBtn->isEnabled());
}

void TestMainWindow::itemsWithoutHandlerDoNothing()
{
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;
    f.TakeTrace();
    for (QAction* a : {w.AddTrackToTrackList1, w.SaveCDToISOImage1, w.FormatCD1, w.CreateISO9660File1}) {
        QVERIFY(a->isEnabled());
        QVERIFY(a->isVisible());
        a->trigger();
    }
    QVERIFY(f.TakeTrace().empty());
    QVERIFY(f.Messages.Texts.isEmpty());
    QVERIFY(!f.Burn->isVisible());
    QVERIFY(w.StatusText().isEmpty());
}

// The capacity bar: covered while no disc is known, as the window's layout has it; over the
// panel with the disc's real capacity once one is, saying "too big" once, outside its paint.
void TestMainWindow::overBurnIsWiredButNeverPainted()
{
    {
        TAppFixture f;
        f.Attach(QStringLiteral("media=none"));
        f.OpenWindows();
        TForm1& w = *f.Main;
        w.CDSize1->setMemShaded(700);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.repaint();
        QCoreApplication::processEvents();
        // Panel2 covers the bar, so it is never painted and never raises the event.
        QVERIFY(f.Messages.Texts.isEmpty());
        // Painted by itself, it would.
        w.CDSize1->ComposeFrame();
        QTRY_COMPARE(f.Messages.Texts, QStringList{QStringLiteral("Size of data is too big!")});
    }
    TAppFixture f;
    f.Attach(QStringLiteral("capacity=1024"));   // 2 MiB
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 3 * 1024 * 1024).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(w.CDSize1->MaxCDSize(), 2);
    QVERIFY(w.CDSize1->MemShaded() >= 3);
    QVERIFY(w.ClientArea->children().indexOf(w.CDSize1) > w.ClientArea->children().indexOf(w.Panel2));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 3; ++i) {
        w.CDSize1->repaint();
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE(f.Messages.Texts, QStringList{QStringLiteral("Size of data is too big!")});
}

void TestMainWindow::driveAccessHint()
{
    TAppFixture f;
    // A kernel "drive" that opens but answers no INQUIRY (a plain file), then a good writer.
    const QString device = f.Dir.filePath(QStringLiteral("sr0"));
    QFile(device).open(QIODevice::WriteOnly);
    win::SetKernelDevicePathsForTesting({device.toStdString()});
    f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(w.DriveCombo->count(), 2);
    QCOMPARE(w.DriveCombo->currentIndex(), 0);
    const QString hint = QStringLiteral("the drive ") + device + QStringLiteral(" (D:) did not answer INQUIRY");
    QCOMPARE(w.StatusText(), hint);
    w.DriveCombo->setCurrentIndex(1);
    QCOMPARE(w.StatusText(), QString());
    w.DriveCombo->setCurrentIndex(0);
    QCOMPARE(w.StatusText(), hint);
    // A command's result replaces it, and choosing a good drive then leaves the result alone.
    w.DriveCombo->setCurrentIndex(1);
    w.SetWriteModetoDataWrite1->trigger();
    QCOMPARE(w.StatusText(), QStringLiteral("Err_None"));
    w.DriveCombo->setCurrentIndex(1);
    QCOMPARE(w.StatusText(), QStringLiteral("Err_None"));
    f.CloseWindows();

    // Root opens any device: the permission advice is checked by unprivileged runs only.
    if (geteuid() == 0)
        return;
    QFile::setPermissions(device, QFileDevice::Permissions());
    f.OpenWindows();
    const QString text = f.Main->StatusText();
    QVERIFY2(text.startsWith(QStringLiteral("cannot open ") + device + QStringLiteral(" (drive D:): Permission denied. ")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\"cdrom\" group")), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("\n")), qPrintable(text));
}

// A drive another program holds (a mounted disc, another burner) is told so and sent nothing,
// whether the command is a report or a job; once it is free again, commands reach it.
void TestMainWindow::aBusyDriveHearsNothing()
{
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;
    const win::HANDLE other = win::CreateFileA("\\\\.\\D:", win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                               win::OPEN_EXISTING, 0, nullptr);
    QVERIFY(other != win::INVALID_HANDLE_VALUE);
    f.TakeTrace();
    f.Messages.Texts.clear();
    for (QAction* command : {w.CDCapabilities1, w.ViewTOC1, w.GetBufferBits1, w.BlankCD1})
        command->trigger();
    QCOMPARE(f.Messages.Texts, QStringList(4, QStringLiteral("D: is in use by another program")));
    QVERIFY2(f.TakeTrace().empty(), "a command reached the busy drive");
    win::CloseHandle(other);
    f.Messages.Texts.clear();
    w.CDCapabilities1->trigger();
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY(f.Messages.Texts[0].startsWith(QStringLiteral("-- Device Reading Methods --")));
    QVERIFY(!f.TakeTrace().empty());
}

void TestMainWindow::burnWaveShowsProgressWindow()
{
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    f.Main->CDSize1->setMemShaded(5);
    f.TakeTrace();
    // An empty list asks for wave files; choosing none does nothing at all.
    f.Main->BurnWaveFileToCD1->trigger();
    QCOMPARE(f.Chooser.Asked, 1);
    QVERIFY(!f.Burn->isVisible());
    QCOMPARE(f.Main->CDSize1->MemShaded(), 5);
    QVERIFY(f.Messages.Texts.isEmpty());
    QVERIFY(f.TakeTrace().empty());

    // With a track in the list, nothing is asked: the window shows and the job runs.
    AddTrack(*f.Main->BurnerList->Burners(0), CdWave(SampleBytes(2352, 5)), "t");
    f.Main->BurnWaveFileToCD1->trigger();
    QCOMPARE(f.Chooser.Asked, 1);
    QVERIFY(f.Burn->isVisible());
    QCOMPARE(f.Burn->Burner, f.Main->BurnerList->Burners(0));
    QCOMPARE(f.Main->CDSize1->MemShaded(), 0);
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Audio Tracks Finished!")});
}

void TestMainWindow::burnWaveBurnsTheTrackList()
{
    TAppFixture f;
    auto writer = f.Attach();
    f.OpenWindows();
    TForm1& w = *f.Main;
    TCDBurner& burner = *w.BurnerList->Burners(0);
    // 1.5 MiB and a little over 3 blocks: MemShaded counts whole MiB per track, so 1.
    const QByteArray samples[] = {SampleBytes(3 * 524288, 1), SampleBytes(3 * 2352 + 100, 2)};
    AddTrack(burner, CdWave(samples[0]), "first");
    AddTrack(burner, CdWave(samples[1]), "");
    int disabledDuringJob = 0;
    connect(f.Burn.get(), &TBurnForm::Progressed, &w, [&] {
        disabledDuringJob += !w.BurnWaveFileToCD1->isEnabled() && !w.BlankCD1->isEnabled() && w.JobRunning();
    });
    f.TakeTrace();
    w.BurnWaveFileToCD1->trigger();

    QVERIFY(f.Burn->isVisible());
    QCOMPARE(f.Burn->Burner, &burner);
    QCOMPARE(w.CDSize1->MemShaded(), 1);
    QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Audio Tracks Finished!")});
    QCOMPARE(f.Burn->ListBox1->item(0)->text(), QStringLiteral("Finished Writing : Closing Session"));
    QStringList log;
    for (int i = f.Burn->ListBox1->count() - 1; i >= 0; --i)
        log << f.Burn->ListBox1->item(i)->text();
    QVERIFY(log.contains(QStringLiteral("Burning :first")));
    QVERIFY(log.contains(QStringLiteral("Burning :")));
    QVERIFY(log.contains(QStringLiteral("Finished Writing : Closing Track :2")));
    const int blocks0 = static_cast<int>(PaddedToBlocks(samples[0]).size() / 2352);
    const int blocks1 = static_cast<int>(PaddedToBlocks(samples[1]).size() / 2352);
    QCOMPARE(disabledDuringJob, blocks0 + blocks1);
    QVERIFY(!w.JobRunning());
    QVERIFY(w.BurnWaveFileToCD1->isEnabled());

    QVERIFY(writer->Flush());
    const vdrive::DiscState disc = writer->State();
    QCOMPARE(disc.status, vdrive::DiscStatus::Complete);
    QCOMPARE(disc.tracks.size(), std::size_t(2));
    QCOMPARE(static_cast<int>(disc.tracks[1].start), blocks0);
    for (int t = 0; t < 2; ++t)
        QVERIFY2(ReadAll(QString::fromStdString(disc.tracks[t].file)) == PaddedToBlocks(samples[t]),
                 qPrintable(QString::number(t)));
    // No eject after an audio burn; the writer keeps no handler of the window.
    const auto trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0x1B), 0);
    QVERIFY(!burner.OnProgress && !burner.OnStatus && !burner.OnBufferProgress && !burner.OnBufferStatus);
}

void TestMainWindow::burnWaveFailureIsAnError()
{
    {
    TAppFixture f;
    auto writer = f.Attach(QStringLiteral("fail-write-at=2"));
    f.OpenWindows();
    TCDBurner& burner = *f.Main->BurnerList->Burners(0);
    AddTrack(burner, CdWave(SampleBytes(10 * 2352, 3)), "t");
    f.Main->BurnWaveFileToCD1->trigger();
    QCOMPARE(f.Messages.Texts.size(), 1);
    QCOMPARE(f.Messages.Texts.front(),
             QStringLiteral("Error writing audio tracks.\r\nError : Write Error at sector 2 : Err_SenseMediumError"));
    QCOMPARE(f.Messages.Kinds.front(), IMessageBoxes::Kind::Error);
    QVERIFY(writer->State().status != vdrive::DiscStatus::Complete);
    }

    // A drive without a disc: the job stops before writing, with the reason.
    TAppFixture g;
    g.Attach(QStringLiteral("media=none"));
    g.OpenWindows();
    AddTrack(*g.Main->BurnerList->Burners(0), CdWave(SampleBytes(2352, 4)), "t");
    g.Main->BurnWaveFileToCD1->trigger();
    QCOMPARE(g.Messages.Texts,
             QStringList{QStringLiteral(
                 "Error writing audio tracks.\r\nNo disc in the drive.\r\nError : Drive Not Ready : Err_SenseNotReady")});
}

void TestMainWindow::burnWaveAsksForFiles_data()
{
    QTest::addColumn<QStringList>("files");       // written to the folder: name, or name:mono
    QTest::addColumn<QStringList>("tracks");      // titles burnt, in order
    QTest::addColumn<QString>("message");
    QTest::newRow("two in the chosen order") << QStringList{"b-side.wav", "a-side.wav"}
                                             << QStringList{"b-side", "a-side"}
                                             << QStringLiteral("Audio Tracks Finished!");
    QTest::newRow("one not CD audio") << QStringList{"good.wav", "voice.wav:mono"} << QStringList{}
                                      << QStringLiteral("These files cannot be burnt as audio tracks:\r\n%1/voice.wav: "
                                                        "PCM 44.100 kHz, 16 Bit, Mono, not CD audio (PCM 44.100 kHz, 16 "
                                                        "Bit, Stereo); it would play as noise");
    QTest::newRow("one missing") << QStringList{"good.wav", "gone.wav:missing"} << QStringList{}
                                 << QStringLiteral("These files cannot be burnt as audio tracks:\r\n%1/gone.wav: ");
}

void TestMainWindow::burnWaveAsksForFiles()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, tracks);
    QFETCH(QString, message);
    TAppFixture f;
    auto writer = f.Attach();
    f.OpenWindows();
    const QString folder = f.Dir.filePath(QStringLiteral("waves"));
    QDir().mkpath(folder);
    for (const QString& entry : files) {
        const QStringList parts = entry.split(u':');
        const QString path = folder + u'/' + parts[0];
        f.Chooser.Files << path;
        if (parts.value(1) == QStringLiteral("missing"))
            continue;
        QByteArray wave = CdWave(SampleBytes(3 * 2352, static_cast<int>(f.Chooser.Files.size())));
        if (parts.value(1) == QStringLiteral("mono")) {
            wave[22] = 1;                      // channels
            wave[32] = 2;                      // block align
        }
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(wave);
    }
    f.Main->BurnWaveFileToCD1->trigger();
    QCOMPARE(f.Chooser.Asked, 1);
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY2(f.Messages.Texts.front().startsWith(message.contains(u'%') ? message.arg(folder) : message),
             qPrintable(f.Messages.Texts.front()));
    QVERIFY(writer->Flush());
    const vdrive::DiscState disc = writer->State();
    QCOMPARE(disc.tracks.size(), static_cast<std::size_t>(tracks.size()));
    TCDBurner& burner = *f.Main->BurnerList->Burners(0);
    QCOMPARE(burner.Tracks.Count(), tracks.size());
    for (int t = 0; t < tracks.size(); ++t)
        QCOMPARE(QString::fromStdString(burner.Tracks.Items(t).CDTrack()->TrackTitle), tracks[t]);
}

void TestMainWindow::waitsStayResponsive_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("command");    // burn or blank
    QTest::addColumn<int>("phase");          // the wait that must be seen
    QTest::addColumn<QString>("message");    // how the message starts
    QTest::newRow("close session") << QStringLiteral("speed=8") << QStringLiteral("burn")
                                   << static_cast<int>(TWaitPhase::CloseSession) << kCompleteRead;
    QTest::newRow("blank") << QStringLiteral("media=cd-rw,speed=8,capacity=2400") << QStringLiteral("blank")
                           << static_cast<int>(TWaitPhase::Blank) << QStringLiteral("Blanking Finished!");
    QTest::newRow("stuck buffer") << QStringLiteral("speed=8,stuck-buffer") << QStringLiteral("burn")
                                  << static_cast<int>(TWaitPhase::Buffer)
                                  << QStringLiteral("Error creating CD.\r\nError : Buffer Wait Timeout");
}

// Under the real windows and a drive of finite speed: posted events are handled all through a
// job, in every wait, and the bar reads "Done" only after the job. Counted, not timed: between
// any two reports of the job (a wait or a sector) the window's event loop must have turned.
void TestMainWindow::waitsStayResponsive()
{
    QFETCH(QString, drive);
    QFETCH(QString, command);
    QFETCH(int, phase);
    QFETCH(QString, message);
    TAppFixture f;
    f.Attach(drive);
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    w.BurnerList->Burners(0)->BufferStallLimit = std::chrono::milliseconds(1500);

    // One posted event always waits in the queue: each turn counts itself and posts the next.
    QObject probe;
    bool running = true;
    long turns = 0;
    std::function<void()> post = [&] {
        QMetaObject::invokeMethod(&probe, [&] {
            ++turns;
            if (running)
                post();
        }, Qt::QueuedConnection);
    };
    long turnsAtLastReport = -1;
    int reports = 0, phaseReports = 0;
    QStringList unhandled;   // reports reached with the probe still queued since the one before
    auto reported = [&](const QString& what) {
        ++reports;
        if (turns == turnsAtLastReport)
            unhandled << what;
        turnsAtLastReport = turns;
    };
    QStringList doneTooEarly;
    QObject::connect(f.Burn.get(), &TBurnForm::Waited, &w, [&](int p, qint64 ms) {
        phaseReports += p == phase;
        reported(QStringLiteral("wait %1 at %2 ms").arg(p).arg(ms));
        if (w.ProgressBar->DisplayText() == QStringLiteral("Done"))
            doneTooEarly << f.Burn->StatusText();
    });
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, &w, [&](int sector, int percent) {
        reported(QStringLiteral("sector %1").arg(sector));
        if (w.ProgressBar->DisplayText() == QStringLiteral("Done"))
            doneTooEarly << QStringLiteral("progress %1").arg(percent);
    });
    post();
    if (command == QStringLiteral("burn"))
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    else
        w.BlankCD1->trigger();
    running = false;
    QVERIFY(phaseReports >= 2);
    QCOMPARE(unhandled, QStringList{});
    QCOMPARE(doneTooEarly, QStringList{});
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY2(f.Messages.Texts.front().startsWith(message), qPrintable(f.Messages.Texts.front()));
    QCOMPARE(w.ProgressBar->TextDone(), QStringLiteral("Done"));
    qInfo("%d reports, %ld turns of the event loop", reports, turns);
}

// A tray the program never locked (a mounted disc's, another burner's) is left alone at close;
// one it still holds locked (E:, locked here by hand) is released.
void TestMainWindow::closingReleasesOnlyTraysItLocked()
{
    TAppFixture f;
    f.Attach();
    f.Attach();
    f.OpenWindows();
    QVERIFY(f.Main->BurnerList->Burners(1)->LockMedium());
    f.TakeTrace();
    f.CloseWindows();
    const auto trace = f.TakeTrace();
    QString released;
    for (const auto& c : trace)
        if (IsOpcode(c, 0x1E) && (static_cast<std::uint8_t>(c.Cdb[4]) & 0x03) == 0)
            released += QChar(c.Letter);
    QCOMPARE(released, QStringLiteral("E"));
    QCOMPARE(Form1, nullptr);
    QCOMPARE(BurnForm, nullptr);
}

void TestMainWindow::cancelStopsTheJob_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("command");   // burn or blank
    QTest::addColumn<QString>("when");      // the moment Cancel is pressed
    QTest::addColumn<QString>("message");   // how the box starts
    const QString cancelled = QStringLiteral("Burn cancelled.\r\n");
    QTest::newRow("writing") << QStringLiteral("speed=8") << QStringLiteral("burn") << QStringLiteral("sector 50")
                             << cancelled + QStringLiteral("The disc was written in part (51 of ");
    QTest::newRow("waiting for a stuck buffer") << QStringLiteral("speed=8,stuck-buffer") << QStringLiteral("burn")
                                                << QStringLiteral("buffer wait")
                                                << cancelled + QStringLiteral("The disc was written in part (");
    QTest::newRow("waiting for the drive") << QStringLiteral("not-ready=100000") << QStringLiteral("burn")
                                           << QStringLiteral("ready wait")
                                           << cancelled + QStringLiteral("Nothing was written: the disc is as it was. The tray is unlocked.");
    QTest::newRow("reading back") << QStringLiteral("speed=8") << QStringLiteral("burn") << QStringLiteral("verify")
                                  << cancelled + QStringLiteral("The disc is complete but was not verified. The tray is unlocked.");
    QTest::newRow("window closed, cancel agreed") << QStringLiteral("speed=8") << QStringLiteral("burn")
                                                  << QStringLiteral("close") << cancelled + QStringLiteral("The disc was written in part (");
    QTest::newRow("blanking") << QStringLiteral("media=cd-rw,speed=8,capacity=2400") << QStringLiteral("blank")
                              << QStringLiteral("blank wait")
                              << QStringLiteral("Blank cancelled.\r\nThe drive finishes a blank it has started by itself; "
                                                "wait until it is ready before using the disc. The tray stays locked until "
                                                "then; it is unlocked when the drive is ready.");
}

// Cancel (or closing the progress window and agreeing) stops a job within a second wherever it
// is, says what state the disc is in, and leaves the tray unlocked.
void TestMainWindow::cancelStopsTheJob()
{
    QFETCH(QString, drive);
    QFETCH(QString, command);
    QFETCH(QString, when);
    QFETCH(QString, message);
    TAppFixture f;
    auto writer = f.Attach(drive);
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    w.EjectWhenDone1->setChecked(false);
    w.BurnerList->Burners(0)->BufferStallLimit = std::chrono::seconds(30);
    QElapsedTimer clock;
    const auto cancel = [&] {
        if (clock.isValid())
            return;
        clock.start();
        if (when == QStringLiteral("close"))
            f.Burn->close();
        else
            QTest::mouseClick(f.Burn->CancelBtn, Qt::LeftButton);
    };
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int n, int) {
        QVERIFY(f.Burn->isVisible() && f.Burn->CancelBtn->isEnabled() == !clock.isValid());
        if (n == 50 && (when == QStringLiteral("sector 50") || when == QStringLiteral("close")))
            cancel();
    });
    QObject::connect(f.Burn.get(), &TBurnForm::Waited, [&](int phase, qint64) {
        if ((when == QStringLiteral("buffer wait") && phase == static_cast<int>(TWaitPhase::Buffer)) ||
            (when == QStringLiteral("ready wait") && phase == static_cast<int>(TWaitPhase::DriveReady)) ||
            (when == QStringLiteral("blank wait") && phase == static_cast<int>(TWaitPhase::Blank)))
            cancel();
    });
    QObject::connect(f.Burn.get(), &TBurnForm::JobProgressed, [&](int phase, int) {
        if (when == QStringLiteral("verify") && phase == static_cast<int>(TJobPhase::Verify))
            cancel();
    });
    if (command == QStringLiteral("burn"))
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    else
        w.BlankCD1->trigger();
    QVERIFY(clock.isValid());
    const qint64 stopped = clock.elapsed();
    qInfo("stopped %lld ms after Cancel", static_cast<long long>(stopped));
    QVERIFY2(stopped < 1000, qPrintable(QString::number(stopped)));
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY2(f.Messages.Texts.front().startsWith(message), qPrintable(f.Messages.Texts.front()));
    QVERIFY2(f.Messages.Texts.front().endsWith(command == QStringLiteral("burn") ? QStringLiteral("The tray is unlocked.")
                                                                                 : QStringLiteral("when the drive is ready.")),
             qPrintable(f.Messages.Texts.front()));
    // The image is not bootable: a burn asks that first; closing the window asks to cancel.
    QCOMPARE(f.Messages.Questions.size(), (command == QStringLiteral("burn") ? 1 : 0) + (when == QStringLiteral("close") ? 1 : 0));
    QVERIFY(!f.Burn->JobRunning() && !f.Burn->CancelBtn->isEnabled() && !w.JobRunning());
    // The tray opens: nothing holds it locked. A blanking drive takes no command until it has
    // finished; the idle window releases its tray then.
    if (command == QStringLiteral("blank")) {
        QVERIFY(!writer->EjectTray());
        w.SetDiscPollInterval(20);
        QTRY_VERIFY_WITH_TIMEOUT(!w.BurnerList->Burners(0)->TrayLockedByUs(), 20000);
    }
    QVERIFY(writer->EjectTray());
}

void TestMainWindow::textsFitTheMedium_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<bool>("bootable");
    QTest::addColumn<bool>("published");
    QTest::addColumn<QString>("message");
    const QString readBack = kReadBack;
    QTest::newRow("CD-R, the rescue image") << QStringLiteral("media=cd-r") << true << false << kComplete + readBack;
    QTest::newRow("CD-R, not bootable") << QStringLiteral("media=cd-r") << false << false << kCompleteRead;
    QTest::newRow("DVD+R") << QStringLiteral("media=dvd+r") << true << false
                           << QStringLiteral("DVD+R Creation Complete!\r\nBe sure your computer can boot from your DVD drive.") + readBack;
    QTest::newRow("DVD-RW, not bootable") << QStringLiteral("media=dvd-rw") << false << false
                                          << QStringLiteral("DVD-RW Creation Complete!") + readBack;
    QTest::newRow("BD-R, a published sum") << QStringLiteral("media=bd-r") << true << true
                                           << QStringLiteral("BD-R Creation Complete!\r\nBe sure your computer can boot from your BD drive.\r\n"
                                                             "The disc was read back: it equals the image and its published SHA-256 (") ;
}

// A burn names its medium and gives boot advice only for an image that boots; the CD's texts
// are as they always were. The write-mode commands on a DVD say what write modes are.
void TestMainWindow::textsFitTheMedium()
{
    QFETCH(QString, drive);
    QFETCH(bool, bootable);
    QFETCH(bool, published);
    QFETCH(QString, message);
    TAppFixture f;
    auto writer = f.Attach(drive);
    const QString image = f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload, QString(), bootable);
    QVERIFY(!image.isEmpty());
    if (published) {
        QProcess sum;
        sum.setWorkingDirectory(f.ProgramFolder());
        sum.start(QStringLiteral("sha256sum"), {QStringLiteral("KeelvaneDemo.iso")});
        QVERIFY(sum.waitForFinished());
        QFile sums(f.ProgramFolder() + QStringLiteral("SHA256SUMS"));
        QVERIFY(sums.open(QIODevice::WriteOnly));
        sums.write(sum.readAllStandardOutput());
    }
    f.OpenWindows();
    TForm1& w = *f.Main;
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY2(f.Messages.Texts.front().startsWith(message), qPrintable(f.Messages.Texts.front()));
    if (!published)
        QCOMPARE(f.Messages.Texts.front(), message);
    QCOMPARE(f.Messages.Questions.size(), bootable ? 0 : 1);
    QCOMPARE(writer->State().tracks.size(), std::size_t(1));
    if (drive == QStringLiteral("media=cd-r"))
        return;
    // On a DVD or BD the CD write parameters page is refused: said as what it is, not as a sense name.
    writer->CloseTray();
    w.RefreshDisc();
    w.SetWriteModetoDataWrite1->trigger();
    QVERIFY2(w.StatusText().startsWith(QStringLiteral("Write modes are CD settings; this disc is written without them (Err_")),
             qPrintable(w.StatusText()));
}

// Simulation, eject, an open session and the write speed reach the job, and stay chosen.
void TestMainWindow::optionsApplyAndAreRemembered()
{
    TAppFixture f;
    auto writer = f.Attach(QStringLiteral("speed=16"));
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    f.OpenWindows();
    {
        TForm1& w = *f.Main;
        // The speeds the disc offers, fastest first, after the drive's best.
        const QStringList speeds = MenuCaptions(w.WriteSpeed1);
        QVERIFY2(speeds.size() > 2 && speeds.front() == QStringLiteral("Maximum"), qPrintable(speeds.join(u',')));
        QAction* slowest = w.WriteSpeed1->actions().back();
        slowest->trigger();
        w.SimulateBurn1->setChecked(true);
        w.EjectWhenDone1->setChecked(false);
        f.TakeTrace();
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
        QCOMPARE(f.Messages.Texts, QStringList{QStringLiteral("Simulation finished: nothing was written.")});
        QVERIFY(writer->State().tracks.empty());
        const auto trace = f.TakeTrace();
        QCOMPARE(CountOpcode(trace, 0xBB), 1);   // SET CD SPEED
        QVERIFY(!EndsWithEject(trace));
        QCOMPARE(CountOpcode(trace, 0x28), 0);   // nothing to read back
        f.CloseWindows();
        f.OpenWindows();
    }
    TForm1& w = *f.Main;
    QVERIFY(w.SimulateBurn1->isChecked() && !w.EjectWhenDone1->isChecked() && w.VerifyAfterBurning1->isChecked());
    QVERIFY(w.WriteSpeed1->actions().back()->isChecked());
    // Now for real, the session left open: the disc stays appendable, and stays in.
    w.SimulateBurn1->setChecked(false);
    w.LeaveSessionOpen1->setChecked(true);
    f.Messages.Texts.clear();
    f.TakeTrace();
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(f.Messages.Texts, QStringList{kCompleteRead});
    QCOMPARE(writer->State().status, vdrive::DiscStatus::Incomplete);
    QVERIFY(!EndsWithEject(f.TakeTrace()));
}

// The disc in the selected writer: on the panel with its state and room, the capacity bar at
// its real size, a change seen by the idle poll (never during a job), and the full report.
void TestMainWindow::discInTheDrive()
{
    TAppFixture f;
    auto cd = f.Attach(QStringLiteral("media=cd-rw"));
    auto dvd = f.Attach(QStringLiteral("media=dvd+r"));
    f.OpenWindows();
    TForm1& w = *f.Main;
    QVERIFY2(w.DiscLabel->text().startsWith(QStringLiteral("CD-RW, blank\n")), qPrintable(w.DiscLabel->text()));
    QVERIFY(w.DiscLabel->text().endsWith(QStringLiteral(" MiB free")));
    w.DriveCombo->setCurrentIndex(1);
    QVERIFY2(w.DiscLabel->text().startsWith(QStringLiteral("DVD+R, blank\n")), qPrintable(w.DiscLabel->text()));
    QCOMPARE(w.CDSize1->MaxCDSize(), static_cast<int>(dvd->State().capacity / 512));
    QCOMPARE(w.CDSize1->TickMegabytes(), 100);

    // The tray opened and closed by hand: seen by the poll while idle.
    w.SetDiscPollInterval(20);
    QVERIFY(dvd->EjectTray());
    QTRY_COMPARE(w.DiscLabel->text(), QStringLiteral("No disc in the drive"));
    dvd->CloseTray();
    QTRY_VERIFY(w.DiscLabel->text().startsWith(QStringLiteral("DVD+R, blank\n")));

    // Functions, Disc Information: the report the command line prints.
    w.SetDiscPollInterval(0);
    w.DiscInformation1->trigger();
    QCOMPARE(f.Messages.Texts.size(), 1);
    QVERIFY2(f.Messages.Texts.front().startsWith(QStringLiteral("Profile       : DVD+R\r\nDisc status   : blank\r\n")),
             qPrintable(f.Messages.Texts.front()));

    // No poll reaches the drive during a job.
    QVERIFY(!f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload).isEmpty());
    w.ChooseImage(f.ProgramFolder() + QStringLiteral("KeelvaneDemo.iso"), false);
    w.SetDiscPollInterval(1);
    int polledDuringJob = 0;
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int n, int) {
        if (n == 10)
            f.TakeTrace();
        if (n == 200)
            polledDuringJob = CountOpcode(f.TakeTrace(), 0x00);
    });
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QCOMPARE(polledDuringJob, 0);
}

void TestMainWindow::burnOntoAStick_data()
{
    QTest::addColumn<bool>("hybrid");
    QTest::addColumn<bool>("agreed");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("message");
    QTest::newRow("hybrid image, agreed") << true << true << false
                                          << QStringLiteral("USB Stick Creation Complete!\r\nThe USB stick was read back: it equals the image.");
    QTest::newRow("not agreed") << true << false << false << QString();
    QTest::newRow("no partition table") << false << true << false
                                        << QStringLiteral("Error creating the USB stick.\r\nThis image has no partition table");
    QTest::newRow("cancelled while writing") << true << true << true
                                             << QStringLiteral("Burn cancelled.\r\nThe USB stick was written in part (");
}

// A stick in the writer box: the question names what will be lost, the image must boot from a
// stick, the burn is byte for byte and read back, and Cancel leaves it said incomplete.
void TestMainWindow::burnOntoAStick()
{
    QFETCH(bool, hybrid);
    QFETCH(bool, agreed);
    QFETCH(bool, cancel);
    QFETCH(QString, message);
    TAppFixture f;
    f.Attach();
    const QString image = f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), 9 * 1024 * 1024);
    QVERIFY(!image.isEmpty());
    if (hybrid)
        QVERIFY(MakeHybrid(image));
    const TStickTarget stick = AttachStick(f, QStringLiteral("stick.img"), 16 << 20);
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(w.DriveCombo->count(), 2);
    QVERIFY(w.DriveCombo->itemText(1).contains(QStringLiteral("KeelVane Virtual Stick (16.0 MiB)")));
    w.DriveCombo->setCurrentIndex(1);
    QCOMPARE(w.DiscLabel->text(), QStringLiteral("USB stick\n16.0 MiB"));
    // Only the burn writes to a stick.
    w.ViewTOC1->trigger();
    QVERIFY(f.Messages.Texts.back().endsWith(QStringLiteral("is a removable drive, not a CD writer: only the burn writes to it.")));
    f.Messages.Texts.clear();

    f.Messages.Answers = [&](const QString& q) { return q.startsWith(QStringLiteral("Everything on")) ? agreed : true; };
    QObject::connect(f.Burn.get(), &TBurnForm::JobProgressed, [&](int phase, int) {
        if (cancel && phase == static_cast<int>(TJobPhase::Write))
            QTest::mouseClick(f.Burn->CancelBtn, Qt::LeftButton);
    });
    QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
    QVERIFY(!f.Messages.Questions.isEmpty());
    QCOMPARE(f.Messages.Questions.front(),
             QStringLiteral("Everything on KeelVane Virtual Stick (16.0 MiB) will be erased.\r\n\r\nBurn the image onto it?"));
    QFile written(QString::fromStdString(stick.DevicePath));
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray onStick = written.readAll();
    const QByteArray burnt = ReadAll(image);
    if (message.isEmpty()) {
        QVERIFY(f.Messages.Texts.isEmpty());
    } else {
        QCOMPARE(f.Messages.Texts.size(), 1);
        QVERIFY2(f.Messages.Texts.front().startsWith(message), qPrintable(f.Messages.Texts.front()));
    }
    const bool complete = agreed && hybrid && !cancel;
    QCOMPARE(onStick.left(burnt.size()) == burnt, complete);
    if (!agreed || !hybrid)
        QCOMPARE(onStick.count('\0'), onStick.size());   // nothing written
    QVERIFY(!w.JobRunning() && w.BurnBtn->isEnabled());
}

// The dialog of a burn onto several drives lists every writer with its disc and every stick;
// "Every writer with a blank disc" checks exactly the writers whose disc can take the image, and
// OK needs at least one target.
void TestMainWindow::severalDrivesDialog()
{
    TAppFixture f;
    f.Attach();                                   // D: a blank CD-R
    f.Attach(QStringLiteral("media=none"));       // E: no disc
    f.Attach(QStringLiteral("media=dvd-rom"));    // F: a pressed disc
    f.Attach(QStringLiteral("capacity=100"));     // G: a CD-R too small for the image
    f.Attach(QStringLiteral("media=dvd+r"));      // H: a blank DVD+R
    AttachStick(f, QStringLiteral("stick.img"), 16 << 20);
    const QString image = f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), kPayload);
    QVERIFY(!image.isEmpty());
    f.OpenWindows();
    TForm1& w = *f.Main;
    QCOMPARE(w.DriveCombo->count(), 6);
    f.TakeTrace();
    TTargetsDialog dialog(w, (QFileInfo(image).size() + 2047) / 2048);
    // Asking what the discs are writes nothing.
    const auto trace = f.TakeTrace();
    QCOMPARE(CountOpcode(trace, 0x2A) + CountOpcode(trace, 0xA1) + CountOpcode(trace, 0x55), 0);
    QCOMPARE(dialog.TargetList->count(), 6);
    for (int i = 0; i < 6; ++i)
        QVERIFY2(dialog.TargetList->item(i)->text().startsWith(w.DriveCombo->itemText(i)),
                 qPrintable(dialog.TargetList->item(i)->text()));
    QVERIFY2(dialog.TargetList->item(0)->text().contains(QStringLiteral("CD-R, blank")), qPrintable(dialog.TargetList->item(0)->text()));
    QVERIFY(dialog.TargetList->item(1)->text().endsWith(QStringLiteral("No disc in the drive")));
    QVERIFY2(dialog.TargetList->item(4)->text().contains(QStringLiteral("DVD+R, blank")), qPrintable(dialog.TargetList->item(4)->text()));
    QVERIFY(dialog.Checked().empty());
    QVERIFY(!dialog.OkBtn->isEnabled());

    dialog.TargetList->item(1)->setCheckState(Qt::Checked);
    dialog.BlankWritersBox->setChecked(true);
    QCOMPARE(dialog.Checked(), (std::vector<int>{0, 4}));
    QVERIFY(dialog.OkBtn->isEnabled());
    dialog.TargetList->item(5)->setCheckState(Qt::Checked);
    QCOMPARE(dialog.Checked(), (std::vector<int>{0, 4, 5}));
    dialog.BlankWritersBox->setChecked(false);
    QCOMPARE(dialog.Checked(), std::vector<int>{5});
    dialog.TargetList->item(5)->setCheckState(Qt::Unchecked);
    QVERIFY(!dialog.OkBtn->isEnabled());

    // Through the menu: OK stays disabled with nothing checked, and nothing is burnt.
    AnswerTargetsDialog([](TTargetsDialog& d) { QVERIFY(!d.OkBtn->isEnabled()); });
    w.BurnOntoSeveralDrives1->trigger();
    QVERIFY(f.Messages.Texts.isEmpty() && f.Messages.Questions.isEmpty());
    QCOMPARE(CountOpcode(f.TakeTrace(), 0x2A), 0);
}

void TestMainWindow::burnOntoSeveralDrives_data()
{
    QTest::addColumn<QStringList>("drives");   // one virtual writer each
    QTest::addColumn<bool>("stick");           // a virtual stick after the writers
    QTest::addColumn<QString>("cancel");       // once the first target writes: "button", "close" the window
    QTest::addColumn<int>("used");             // the writer whose CD-RW is burnt once before, -1 none
    QTest::addColumn<QStringList>("results");  // each target's line starts so (the summary's order)
    const QString done = QStringLiteral(": done, read back equal to the image");
    QTest::newRow("two writers") << QStringList{QString(), QString()} << false << QString() << -1
                                 << QStringList{QStringLiteral("D") + done, QStringLiteral("E") + done};
    QTest::newRow("three writers, one fails mid-write")
        << QStringList{QString(), QStringLiteral("fail-write-at=100"), QString()} << false << QString() << -1
        << QStringList{QStringLiteral("D") + done,
                       QStringLiteral("E: failed: Error creating CD. Error : Write Error at sector 100"),
                       QStringLiteral("F") + done};
    QTest::newRow("a writer and a stick") << QStringList{QString()} << true << QString() << -1
                                          << QStringList{QStringLiteral("D") + done, QStringLiteral("STICK") + done};
    QTest::newRow("a used CD-RW, blanked on Yes") << QStringList{QString(), QStringLiteral("media=cd-rw")} << false << QString()
                                                  << 1 << QStringList{QStringLiteral("D") + done, QStringLiteral("E") + done};
    for (const char* how : {"button", "close"})
        QTest::newRow(qPrintable(QStringLiteral("cancelled (%1)").arg(QLatin1String(how))))
            << QStringList{QStringLiteral("speed=4"), QStringLiteral("speed=4")} << false << QString::fromLatin1(how) << -1
            << QStringList{QStringLiteral("D: cancelled: The disc was written in part ("), QStringLiteral("E: ")};
}

// One image onto several targets at once through the file menu: every target gets the image
// and is read back, a failure ends its own target only and is said in the one box at the end,
// and Cancel (or closing the window, agreed) stops all of them with every tray unlocked; no
// target that failed or stopped is ever said to be done.
void TestMainWindow::burnOntoSeveralDrives()
{
    QFETCH(QStringList, drives);
    QFETCH(bool, stick);
    QFETCH(QString, cancel);
    const bool cancelling = !cancel.isEmpty();
    QFETCH(int, used);
    QFETCH(QStringList, results);
    TAppFixture f;
    std::vector<std::shared_ptr<vdrive::VirtualWriter>> writers;
    for (const QString& drive : drives)
        writers.push_back(f.Attach(drive));
    // More than a drive's buffer holds when Cancel comes: the jobs are still writing then.
    const QString imagePath = f.MakeIso(QStringLiteral("KeelvaneDemo.iso"), cancelling ? 6 * 1024 * 1024 : kPayload);
    QVERIFY(!imagePath.isEmpty());
    if (stick)
        QVERIFY(MakeHybrid(imagePath));
    const QString stickPath = stick ? QString::fromStdString(AttachStick(f, QStringLiteral("stick.img"), 4 << 20).DevicePath)
                                    : QString();
    for (QString& line : results)
        line.replace(QStringLiteral("STICK"), stickPath);
    const QByteArray image = ReadAll(imagePath);
    f.OpenWindows();
    TForm1& w = *f.Main;
    if (used >= 0) {
        w.DriveCombo->setCurrentIndex(used);
        QTest::mouseClick(w.BurnBtn, Qt::LeftButton);
        QCOMPARE(writers[static_cast<std::size_t>(used)]->State().status, vdrive::DiscStatus::Complete);
        writers[static_cast<std::size_t>(used)]->CloseTray();
        f.Messages.Texts.clear();
        f.Messages.Kinds.clear();
        f.Messages.Questions.clear();
    }
    w.EjectWhenDone1->setChecked(!cancelling);
    TMultiBurnForm& form = *w.SeveralForm();
    bool rowsShown = true;
    QSet<int> progressed;
    QObject::connect(&form, &TMultiBurnForm::TargetProgressed, [&](int target, int phase, int percent) {
        rowsShown = rowsShown && form.isVisible() && w.JobRunning() && form.Rows->rowCount() == results.size();
        progressed << target;
        if (!cancelling || target != 0 || phase != static_cast<int>(TJobPhase::Write) || percent == 0 ||
            !form.CancelBtn->isEnabled())
            return;
        if (cancel == QStringLiteral("close"))
            QVERIFY(!form.close());   // it stays until the jobs have ended
        else
            QTest::mouseClick(form.CancelBtn, Qt::LeftButton);
    });
    // Every writer and the stick: the stick's entry and a used disc's writer are checked by hand.
    AnswerTargetsDialog([&](TTargetsDialog& d) {
        d.BlankWritersBox->setChecked(true);
        if (used >= 0) {
            QVERIFY(!d.CanTakeImage(used) && d.Checked().size() == writers.size() - 1);
            d.TargetList->item(used)->setCheckState(Qt::Checked);
        }
        if (stick)
            d.TargetList->item(d.TargetList->count() - 1)->setCheckState(Qt::Checked);
    });
    f.TakeTrace();
    w.BurnOntoSeveralDrives1->trigger();

    // A stick is erased only after its own question; the image is checked once (it boots from
    // nothing: asked once); Cancel asks first.
    QStringList questions;
    if (stick)
        questions << QStringLiteral("Everything on KeelVane Virtual Stick");
    questions << QStringLiteral("This image is not bootable");
    // The question a used disc's burn asks, naming its own drive.
    if (used >= 0)
        questions << QStringLiteral("The disc in %1: is not blank. Blank it and burn?\r\nEverything on it will be erased.")
                         .arg(QChar(u'D' + used));
    if (cancelling)
        questions << QStringLiteral("The burns are running. Cancel all of them?");
    QCOMPARE(f.Messages.Questions.size(), questions.size());
    for (int i = 0; i < questions.size(); ++i)
        QVERIFY2(f.Messages.Questions[i].startsWith(questions[i]), qPrintable(f.Messages.Questions[i]));
    // One box at the end: a line per target, in the order of the drive box.
    QCOMPARE(f.Messages.Texts.size(), 1);
    const QStringList lines = f.Messages.Texts.front().split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), results.size());
    QCOMPARE(form.SummaryText(), f.Messages.Texts.front());
    bool failed = false;
    for (int i = 0; i < results.size(); ++i) {
        QVERIFY2(lines[i].startsWith(results[i]), qPrintable(lines[i]));
        const TTargetResult& r = form.Results()[static_cast<std::size_t>(i)];
        QCOMPARE(form.Rows->item(i, TMultiBurnForm::ColResult)->text(), QString::fromStdString(r.Text));
        QVERIFY(lines[i].endsWith(QStringLiteral(": ") + QString::fromStdString(r.Text)));
        failed = failed || r.End == TTargetEnd::Failed;
        QCOMPARE(lines[i].contains(QStringLiteral(": done")), r.End == TTargetEnd::Done);
        if (i >= static_cast<int>(writers.size())) {
            QFile onStick(stickPath);
            QVERIFY(onStick.open(QIODevice::ReadOnly));
            QCOMPARE(onStick.read(image.size()) == image, r.End == TTargetEnd::Done);
            continue;
        }
        // A disc said done holds the image; any other is said to be what it is.
        const vdrive::DiscState disc = writers[static_cast<std::size_t>(i)]->State();
        if (r.End == TTargetEnd::Done) {
            QCOMPARE(disc.status, vdrive::DiscStatus::Complete);
            QCOMPARE(disc.tracks.size(), std::size_t(1));
            QVERIFY(ReadAll(QString::fromStdString(disc.tracks[0].file)) == image);
        } else {
            QVERIFY(lines[i].contains(cancelling ? QStringLiteral(": cancelled: ") : QStringLiteral(": failed: ")));
            QVERIFY(disc.status != vdrive::DiscStatus::Complete || lines[i].contains(QStringLiteral("not verified")));
        }
    }
    QCOMPARE(f.Messages.Kinds.front(), failed ? IMessageBoxes::Kind::Error
                                       : cancelling ? IMessageBoxes::Kind::Information
                                                : IMessageBoxes::Kind::Plain);
    QVERIFY(rowsShown);
    QVERIFY(progressed.contains(0));
    QVERIFY(!form.JobRunning() && !form.CancelBtn->isEnabled() && !w.JobRunning());
    QVERIFY(w.BurnBtn->isEnabled());
    for (QAction* a : w.DriveActions())
        QVERIFY2(a->isEnabled(), qPrintable(a->text()));
    // Every tray was left unlocked: it opens (after a burn that ran, the menus' eject opened it).
    for (auto& writer : writers) {
        if (cancelling)
            QVERIFY(writer->EjectTray());
        writer->CloseTray();
    }
    if (!cancelling)
        QVERIFY(EndsWithEject(f.TakeTrace()));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
