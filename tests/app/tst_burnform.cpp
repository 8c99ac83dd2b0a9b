// The progress window's handlers and layout, the program's arguments and the message text
// shown on screen.
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <signal.h>

#include "AppTestUtil.h"
#include "app/CommandLine.h"
#include "app/JobFailure.h"
#include "widgets/Gauges.h"
#include "widgets/ProgressCyl.h"

class TestBurnForm : public QObject {
    Q_OBJECT
private slots:
    void layout();
    void failureWording();
    void copystatsMovesGaugeBarAndSector();
    void bufferStatusTruncatesToKilobytes_data();
    void bufferStatusTruncatesToKilobytes();
    void logKeepsNewestLineOnTop();
    void gaugeHandlers();
    void closingOnlyHides();
    void commandLine_data();
    void commandLine();
    void displayLineBreaks_data();
    void displayLineBreaks();
    void aspiLibraryLoadedForTheProgramsLife();
    void stopRequestEndsTheJobCleanly_data();
    void stopRequestEndsTheJobCleanly();
};

// A failed job's message ends with its last status line; "No disc" is said for NOT READY only.
void TestBurnForm::failureWording()
{
    QVERIFY(NoDiscOutcome({TJobStep::NotReady, -1, Err_SenseNotReady}));
    QVERIFY(!NoDiscOutcome({TJobStep::NotReady, -1, Err_CommandTimeout}));
    QVERIFY(!NoDiscOutcome({TJobStep::Write, 0, Err_SenseNotReady}));
    QCOMPARE(BurnFailureText({"a", "Error : b"}, Err_None), std::string("Error : b"));
    QCOMPARE(BurnFailureText({}, Err_SenseNotReady), std::string("Err_SenseNotReady"));

    // What a cancelled burn left, by the phase it stopped in.
    TBurnJobResult r;
    r.End = TBurnJobEnd::Failed;
    r.Step = TJobStep::Interrupted;
    r.TrayUnlocked = true;
    r.Sectors = 300;
    r.SectorsSent = 300;
    r.EndPhase = TJobPhase::Close;
    QCOMPARE(CancelledJobText(r, true), std::string("All 300 sectors were written; the drive finishes the close it has "
                                                    "started by itself. The tray is unlocked."));
    r.EndPhase = TJobPhase::Write;
    r.SectorsSent = 120;
    r.Plan.Medium = kvcat::MediumByKey("dvd+rw");
    QCOMPARE(CancelledJobText(r, true), std::string("The disc was written in part (120 of 300 sectors) and will not start "
                                                    "a computer; blank it to use it again. The tray is unlocked."));
    r.TrayUnlocked = false;
    r.UnlockError = Err_SenseNotReady;
    QVERIFY(CancelledJobText(r, true).ends_with("The tray could not be unlocked: Err_SenseNotReady."));
    QCOMPARE(CancelledJobText(r, false), std::string("Nothing was written: the disc is as it was."));
    // A read-back that found a difference names the sector; the first line names the medium.
    r = TBurnJobResult();
    r.End = TBurnJobEnd::Failed;
    r.Written = true;
    r.FirstDifferentSector = 77;
    QCOMPARE(ReadBackFailureText(r), std::string("The disc was read back: sector 77 differs from the image."));
    QCOMPARE(CreationErrorText(r.Plan), std::string("Error creating CD."));
    r.Plan.Medium = kvcat::MediumByKey("bd-re");
    QCOMPARE(CreationErrorText(r.Plan), std::string("Error creating BD-RE."));
}

void TestBurnForm::layout()
{
    TAppFixture f;
    f.OpenWindows();
    TBurnForm& w = *f.Burn;
    QCOMPARE(BurnForm, &w);
    QCOMPARE(w.windowTitle(), QStringLiteral("CD Burner Info"));
    QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!w.isVisible());
    // Outer 384 x 451 with a 4-pixel frame and a 23-pixel caption.
    QCOMPARE(w.size(), QSize(376, 424));

    QCOMPARE(w.Label5->text(), QStringLiteral("Log File"));
    QCOMPARE(w.Label1->text(), QStringLiteral("CD Buffer"));
    QCOMPARE(w.Label6->text(), QStringLiteral("CD File Buffer"));
    QCOMPARE(w.Label2->text(), QStringLiteral("Percent Done"));
    QCOMPARE(w.Label3->text(), QStringLiteral("Burner Buffer Size : 2048 kb"));
    QCOMPARE(w.Label4->text(), QStringLiteral("Burner Free Buffer : 2048 kb"));
    QCOMPARE(w.StatusBar1->geometry().bottom(), w.height() - 1);
    QCOMPARE(w.Gauge2->ForeColor(), clNavy);
    QCOMPARE(w.Gauge3->ForeColor(), clNavy);
    // The step, its pace and Cancel fill the room under the buffer figures, above the status bar.
    QCOMPARE(w.CancelBtn->text(), QStringLiteral("Cancel"));
    QVERIFY(!w.CancelBtn->isEnabled());
    for (QWidget* c : {static_cast<QWidget*>(w.StepLabel), static_cast<QWidget*>(w.TimeLabel),
                       static_cast<QWidget*>(w.CancelBtn)}) {
        QVERIFY(c->geometry().top() > w.Label4->geometry().bottom());
        QVERIFY(c->geometry().bottom() < w.StatusBar1->geometry().top());
    }
    QCOMPARE(w.Gauge1->ForeColor(), clBlack);
    for (TGauge* g : {w.Gauge1, w.Gauge2, w.Gauge3}) {
        QCOMPARE(g->Progress(), 0);
        QCOMPARE(g->Kind(), gkHorizontalBar);
        QVERIFY(g->ShowText());
    }
}

void TestBurnForm::copystatsMovesGaugeBarAndSector()
{
    TAppFixture f;
    f.Attach();
    f.OpenWindows();
    int signalled = 0;
    QObject::connect(f.Burn.get(), &TBurnForm::Progressed, [&](int n, int p) {
        QCOMPARE(n, 1234);
        QCOMPARE(p, 56);
        ++signalled;
    });
    f.Burn->copystats(1234, 56);
    QCOMPARE(f.Burn->StatusText(), QStringLiteral("Sector : 1234"));
    QCOMPARE(f.Burn->Gauge2->Progress(), 56);
    QCOMPARE(f.Main->ProgressBar->Position(), 56);
    QCOMPARE(signalled, 1);
    // The other gauges are not its business.
    QCOMPARE(f.Burn->Gauge1->Progress(), 0);
    QCOMPARE(f.Burn->Gauge3->Progress(), 0);
}

void TestBurnForm::bufferStatusTruncatesToKilobytes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("free");
    QTest::addColumn<QString>("sizeText");
    QTest::addColumn<QString>("freeText");
    QTest::newRow("2 MiB, 1536 free") << 2097152 << 1536 << "Burner Buffer Size : 2048 kb"
                                      << "Burner Free Buffer : 1 kb";
    QTest::newRow("empty reply") << 0 << 0 << "Burner Buffer Size : 0 kb" << "Burner Free Buffer : 0 kb";
    QTest::newRow("just under 1 kb") << 1023 << 1023 << "Burner Buffer Size : 0 kb" << "Burner Free Buffer : 0 kb";
    QTest::newRow("4 MiB full") << 4194304 << 0 << "Burner Buffer Size : 4096 kb" << "Burner Free Buffer : 0 kb";
}

void TestBurnForm::bufferStatusTruncatesToKilobytes()
{
    QFETCH(int, length);
    QFETCH(int, free);
    QFETCH(QString, sizeText);
    QFETCH(QString, freeText);
    TBurnForm w;
    w.BufferStatus(length, free);
    QCOMPARE(w.Label3->text(), sizeText);
    QCOMPARE(w.Label4->text(), freeText);
}

void TestBurnForm::logKeepsNewestLineOnTop()
{
    TBurnForm w;
    w.CDStatus("HardWare : Set Write Mode OK");
    w.CDStatus("Finished Writing : Sync Cache");
    w.CDStatus("Finished Writing : Job Done!");
    QCOMPARE(w.ListBox1->count(), 3);
    QCOMPARE(w.ListBox1->item(0)->text(), QStringLiteral("Finished Writing : Job Done!"));
    QCOMPARE(w.ListBox1->item(2)->text(), QStringLiteral("HardWare : Set Write Mode OK"));
}

void TestBurnForm::gaugeHandlers()
{
    TBurnForm w;
    w.BufferProgress(37);
    w.FileBufferProgress(81);
    QCOMPARE(w.Gauge1->Progress(), 37);
    QCOMPARE(w.Gauge3->Progress(), 81);
    QCOMPARE(w.Gauge2->Progress(), 0);
}

void TestBurnForm::closingOnlyHides()
{
    QPointer<TBurnForm> w = new TBurnForm;
    w->show();
    QVERIFY(w->close());
    QVERIFY(w);
    QVERIFY(!w->isVisible());
    QVERIFY(!w->testAttribute(Qt::WA_QuitOnClose));
    w->show();
    QVERIFY(w->isVisible());
    delete w;
}

void TestBurnForm::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("drives");
    QTest::addColumn<QString>("screenshot");
    QTest::addColumn<bool>("help");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("image");
    QTest::newRow("none") << QStringList{} << QStringList{} << QString() << false << false << QString();
    QTest::newRow("two drives, both spellings")
        << QStringList{"--virtual-drive", "/tmp/a.cue,media=cd-rw", "--virtual-drive=/tmp/b.cue"}
        << QStringList{"/tmp/a.cue,media=cd-rw", "/tmp/b.cue"} << QString() << false << false << QString();
    QTest::newRow("screenshot") << QStringList{"--screenshot", "/tmp/shots"} << QStringList{} << "/tmp/shots" << false
                                << false << QString();
    QTest::newRow("help") << QStringList{"--help"} << QStringList{} << QString() << true << false << QString();
    QTest::newRow("missing value") << QStringList{"--virtual-drive"} << QStringList{} << QString() << false << true << QString();
    QTest::newRow("empty value") << QStringList{"--virtual-drive="} << QStringList{} << QString() << false << true << QString();
    QTest::newRow("unknown") << QStringList{"--burn"} << QStringList{} << QString() << false << true << QString();
    // A file manager's "Open with" passes the image; one image a burn.
    QTest::newRow("image") << QStringList{"--virtual-drive", "/tmp/a.cue", "/home/u/Downloads/rescue-2026.iso"}
                           << QStringList{"/tmp/a.cue"} << QString() << false << false
                           << "/home/u/Downloads/rescue-2026.iso";
    QTest::newRow("two images") << QStringList{"a.iso", "b.iso"} << QStringList{} << QString() << false << true << QString();
}

void TestBurnForm::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, drives);
    QFETCH(QString, screenshot);
    QFETCH(bool, help);
    QFETCH(bool, error);
    QFETCH(QString, image);
    const TCommandLine c = ParseCommandLine(args);
    QCOMPARE(!c.Error.isEmpty(), error);
    if (error)
        return;
    QStringList got;
    for (const auto& d : c.VirtualDrives)
        got << QString::fromStdString(d);
    QCOMPARE(got, drives);
    QCOMPARE(c.ScreenshotDir, screenshot);
    QCOMPARE(c.Help, help);
    QCOMPARE(c.Image, image);
}

void TestBurnForm::displayLineBreaks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("crlf") << "CD Creation Complete!\r\nBe sure" << "CD Creation Complete!\nBe sure";
    QTest::newRow("lfcr") << "Book Type     : x\n\rTrack Density : y\n\r" << "Book Type     : x\nTrack Density : y\n";
    QTest::newRow("two breaks") << "a\r\n\r\nb" << "a\n\nb";
    QTest::newRow("plain") << "Blanking Finished!" << "Blanking Finished!";
}

void TestBurnForm::displayLineBreaks()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(DisplayLineBreaks(text), shown);
}

void TestBurnForm::aspiLibraryLoadedForTheProgramsLife()
{
#ifndef KV_ASPI_PROBE_DIR
    QSKIP("the probe library is not built");
#else
    QTemporaryDir dir;
    const QString probe = dir.filePath(QStringLiteral("aspi-probe.txt"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString path = env.value(QStringLiteral("LD_LIBRARY_PATH"));
    env.insert(QStringLiteral("LD_LIBRARY_PATH"),
               QStringLiteral(KV_ASPI_PROBE_DIR) + (path.isEmpty() ? QString() : u':' + path));
    env.insert(QStringLiteral("KV_ASPI_PROBE"), probe);
    // No display at all: --help and --version are answered before one is needed.
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KV_APP_PATH), {QStringLiteral("--help")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().startsWith("Usage: keelvane"));
    QCOMPARE(ReadAll(probe), QByteArray("load\nrelease\n"));
    p.start(QStringLiteral(KV_APP_PATH), {QStringLiteral("--version")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().startsWith("keelvane "));
#endif
}

void TestBurnForm::stopRequestEndsTheJobCleanly_data()
{
    QTest::addColumn<int>("signo");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("Ctrl-C") << int(SIGINT) << 130 << QStringLiteral("keelvane: interrupted: stopping the job");
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143 << QStringLiteral("keelvane: stopped by SIGTERM: stopping the job");
}

// The real program, burning the rescue image onto a slow virtual CD-R (its screenshot run
// starts the burn by itself), is stopped half way: the job ends at its next safe point, says
// where it stopped, and the program leaves with the signal's exit code.
void TestBurnForm::stopRequestEndsTheJobCleanly()
{
#ifndef KV_APP_PATH
    QSKIP("the program is not built");
#else
    QFETCH(int, signo);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    if (!TAppFixture::HaveXorriso())
        QFAIL("xorriso is not installed (scripts/install-deps.sh installs it)");
    TAppFixture fixture;
    const QString userData = fixture.Dir.filePath(QStringLiteral("user-data"));
    const QString image = fixture.MakeIso(QStringLiteral("Keelvane.iso"), 3 * 1024 * 1024, userData + "/keelvane");
    QVERIFY(!image.isEmpty());
    const QString cue = fixture.Dir.filePath(QStringLiteral("stop.cue"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), userData);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    // 4x: about five seconds of writing, so the request comes while the job writes.
    p.start(QStringLiteral(KV_APP_PATH), {QStringLiteral("--virtual-drive"), cue + QStringLiteral(",speed=4"),
                                          QStringLiteral("--screenshot"), fixture.Dir.filePath(QStringLiteral("shots"))});
    QVERIFY(p.waitForStarted(30000));
    QByteArray out;
    // The main window's picture is taken just before the burn starts.
    while (!out.contains("main-window.png") && p.state() == QProcess::Running && p.waitForReadyRead(60000))
        out += p.readAll();
    QVERIFY2(out.contains("main-window.png"), out.constData());
    QTest::qWait(1500);
    QCOMPARE(p.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(p.processId()), signo);
    QVERIFY(p.waitForFinished(60000));
    out += p.readAll();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == exitCode, out.constData());
    QVERIFY2(out.contains(said.toUtf8()), out.constData());
    // The job's end is said, with where it stopped, never a finished disc.
    QVERIFY2(out.contains("Error creating CD."), out.constData());
    QVERIFY2(out.contains("Cancelled : Writing stopped at sector"), out.constData());
    QVERIFY2(!out.contains("CD Creation Complete!"), out.constData());
    // The track on the disc stopped short of the image.
    const QString track = QFileInfo(cue).dir().filePath(QStringLiteral("stop-01.iso"));
    QVERIFY(QFileInfo(track).size() < QFileInfo(image).size());
#endif
}

QTEST_MAIN(TestBurnForm)
#include "tst_burnform.moc"
