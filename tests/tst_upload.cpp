#include "firmwarecheck.h"
#include "mainwindow.h"
#include "qcombox.h"
#include "testsupport.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTextBlock>
#include <QtTest>

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// Records its arguments one per line in args.txt, in the working directory.
const QByteArray recordArguments = "arguments args.txt\n";

void installBossac(const QString &folder, const QByteArray &steps)
{
    installStandIn(folder, QStringLiteral("bossac"), steps);
}

// A window whose port list offers one bootloader board on COM7, with the popup that
// the constructor opens closed again and "fw.bin", an image in the working
// directory, in the path field.
struct UploadWindow
{
    explicit UploadWindow(const QList<SerialPortEntry> &ports = { { "COM7", "Arduino Zero" } })
        : portList(ports)
    {
        window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
        // The window logs the list's pick at its timer's next tick, and on a slow machine
        // that tick falls inside Upload's own processEvents call, between its lines.
        // These tests read what Upload writes, so the pick is taken here, unlogged.
        window.findChild<QCOMBox *>(QStringLiteral("comboBox"))->takeAutoselected();
        if (!createFile(QStringLiteral("fw.bin"), firmwareImage(1024)))
            qFatal("cannot write fw.bin");
        path()->setText(QStringLiteral("fw.bin"));
    }

    QComboBox *ports() { return window.findChild<QComboBox *>(QStringLiteral("comboBox")); }
    QLineEdit *path() { return window.findChild<QLineEdit *>(QStringLiteral("lineEdit")); }
    void clickUpload() { window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click(); }
    QStringList log() { return logLines(window); }

    ScopedPortList portList;
    MainWindow window;
};

} // namespace

class UploadTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void bossacReceivesTheFixedCommandLine_data();
    void bossacReceivesTheFixedCommandLine();
    void refusalsStartNoProcess_data();
    void refusalsStartNoProcess();
    void firmwareFileIsCheckedBeforeBossacStarts_data();
    void firmwareFileIsCheckedBeforeBossacStarts();
    void refusalIsLiftedOnAnotherPort_data();
    void refusalIsLiftedOnAnotherPort();
    void everyOutcomeScrollsTheLogToItsEnd_data();
    void everyOutcomeScrollsTheLogToItsEnd();
    void outputIsRelayedWhileBossacRuns();
    void bothChannelsAreRelayedInOrder();
    void verdictFollowsTheExitCode_data();
    void verdictFollowsTheExitCode();
    void bossacIsFoundByItsBareName_data();
    void bossacIsFoundByItsBareName();
    void runThatOutlivesTheWaitIsKilled();
    void inputsAreReadBeforeEventsAreProcessed();
    void clickDuringTheFirstRunsStartRunsWholeFirst();
    void invalidUtf8KeepsTheLinesAround();
    void megabytesOfOutputLoseNoLine();

private:
    ScopedWorkingDirectory *cwd = nullptr;
    ScopedPathPrefix *path = nullptr;
    int uploadTimeoutMs = 0;
};

void UploadTest::init()
{
    cwd = new ScopedWorkingDirectory;
    path = new ScopedPathPrefix(cwd->path());
    uploadTimeoutMs = MainWindow::setUploadTimeout(60000);
}

void UploadTest::cleanup()
{
    MainWindow::setUploadTimeout(uploadTimeoutMs);
    delete path;
    delete cwd;
}

void UploadTest::bossacReceivesTheFixedCommandLine_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("pathArgument");

    // "<cwd>" stands for the working directory, where the test makes the file.
    QTest::newRow("bare file name") << "COM7"
                                    << "fw.bin"
                                    << "fw.bin";
#ifdef Q_OS_WIN
    QTest::newRow("forward slashes become backslashes") << "COM7"
                                                        << "<cwd>/fw/app.bin"
                                                        << "<cwd>\\fw\\app.bin";
    QTest::newRow("spaces and non-ASCII letters stay one argument")
        << "COM12"
        << "Mes Fïrmwäres/app v2 ü.bin"
        << "Mes Fïrmwäres\\app v2 ü.bin";
#else
    // A slash is the separator here: the path reaches bossac as the dialog gave it.
    QTest::newRow("a dialog's path reaches bossac unchanged") << "COM7"
                                                              << "<cwd>/fw/app.bin"
                                                              << "<cwd>/fw/app.bin";
    QTest::newRow("spaces and non-ASCII letters stay one argument") << "COM12"
                                                                    << "Mes Fïrmwäres/app v2 ü.bin"
                                                                    << "Mes Fïrmwäres/app v2 ü.bin";
    // A file may be named so here (Windows drops trailing spaces from names).
    QTest::newRow("a field of spaces passes") << "COM7"
                                              << "   "
                                              << "   ";
#endif
    QTest::newRow("a port that merely contains COM passes") << "xCOMy"
                                                            << "fw.bin"
                                                            << "fw.bin";
}

void UploadTest::bossacReceivesTheFixedCommandLine()
{
    QFETCH(QString, port);
    QFETCH(QString, field);
    QFETCH(QString, pathArgument);
    field.replace(QLatin1String("<cwd>"), cwd->path());
    pathArgument.replace(QLatin1String("<cwd>"), QDir::toNativeSeparators(cwd->path()));

    installBossac(cwd->path(), recordArguments);
    QVERIFY(createFile(field, firmwareImage(1024)));
    UploadWindow upload({ { port, "Arduino Zero" } });
    upload.path()->setText(field);
    upload.clickUpload();

    const QString commandLine = QStringLiteral("bossac -i -d --port=") + port
        + QStringLiteral(" -U -i --offset=0x6000 -e -w \"") + pathArgument
        + QStringLiteral("\" -R");
    QCOMPARE(upload.log(), QStringList({ "Uploading...", commandLine, "Done!" }));
    const QStringList expectedArguments { "-i", "-d", "--port=" + port, "-U", "-i",
        "--offset=0x6000", "-e", "-w", pathArgument, "-R" };
    QCOMPARE(readText(QStringLiteral("args.txt")),
        expectedArguments.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void UploadTest::refusalsStartNoProcess_data()
{
    QTest::addColumn<QList<SerialPortEntry>>("ports");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QStringList>("expected");

    // The line breaks at the start of the first text and the end of the last one
    // show as empty lines around the advice.
    const QStringList bootloaderHelp {
        "",
        "Please put device in bootloader mode!",
        "To put the device in bootloader mode, press the onboard reset button twice within half a "
        "second.",
        "Then select the new port.",
        "",
    };
    QTest::newRow("no board, no port chosen")
        << QList<SerialPortEntry> {} << "fw.bin" << QStringList { "Select a COM port!" };
    QTest::newRow("port name without COM")
        << QList<SerialPortEntry> { { "ttyACM0", "Arduino Zero" } } << "fw.bin"
        << QStringList { "Select a COM port!" };
    QTest::newRow("lower-case com is no COM port")
        << QList<SerialPortEntry> { { "com7", "Arduino Zero" } } << "fw.bin"
        << QStringList { "Select a COM port!" };
    QTest::newRow("port check comes before the file check")
        << QList<SerialPortEntry> {} << "" << QStringList { "Select a COM port!" };
    QTest::newRow("empty path field") << QList<SerialPortEntry> { { "COM7", "Arduino Zero" } } << ""
                                      << QStringList { "Select a file!" };
    QTest::newRow("board running its application")
        << QList<SerialPortEntry> { { "COM5", "Adafruit Feather M0" } } << "fw.bin"
        << bootloaderHelp;
}

void UploadTest::refusalsStartNoProcess()
{
    QFETCH(QList<SerialPortEntry>, ports);
    QFETCH(QString, field);
    QFETCH(QStringList, expected);

    installBossac(cwd->path(), "touch started\n");
    UploadWindow upload(ports);
    upload.path()->setText(field);
    upload.clickUpload();

    QCOMPARE(logParagraphs(upload.window), expected);
    QVERIFY(!QFile::exists(QStringLiteral("started")));
}

void UploadTest::firmwareFileIsCheckedBeforeBossacStarts_data()
{
    addFirmwareFileRows();
}

void UploadTest::firmwareFileIsCheckedBeforeBossacStarts()
{
    QFETCH(QString, field);
    QFETCH(FirmwareFile, make);
    QFETCH(QByteArray, content);
    QFETCH(QString, verdict);

    QVERIFY(makeFirmwareFile(make, field, content));
    const bool flashed = verdict == QLatin1String("Done!");
    QCOMPARE(firmwareFileProblem(field), flashed ? QString() : verdict);

    installBossac(cwd->path(), "touch started\n");
    UploadWindow upload;
    upload.path()->setText(field);
    upload.clickUpload();

    if (flashed)
        QCOMPARE(upload.log(),
            QStringList({ "Uploading...",
                "bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \""
                    + QDir::toNativeSeparators(field) + "\" -R",
                verdict }));
    else
        QCOMPARE(logParagraphs(upload.window), QStringList { verdict });
    QCOMPARE(QFile::exists(QStringLiteral("started")), flashed);
}

void UploadTest::refusalIsLiftedOnAnotherPort_data()
{
    QTest::addColumn<bool>("rescan");
    QTest::addColumn<QList<SerialPortEntry>>("laterPorts");
    QTest::addColumn<QString>("chosenPort"); // empty: the port the scan picked

    // An "Adafruit Feather" board on COM5 is remembered; uploading through COM5 is
    // refused, and only through COM5.
    QTest::newRow("board back as a bootloader on another port")
        << true << QList<SerialPortEntry> { { "COM6", "Arduino Zero" } } << QString();
    QTest::newRow("another port chosen by hand") << false << QList<SerialPortEntry> {} << "COM3";
    QTest::newRow("board back under a description that matches neither text")
        << true
        << QList<SerialPortEntry> { { "COM3", "Communications Port" },
               { "COM6", "USB Serial Device" } }
        << "COM6";
}

void UploadTest::refusalIsLiftedOnAnotherPort()
{
    QFETCH(bool, rescan);
    QFETCH(QList<SerialPortEntry>, laterPorts);
    QFETCH(QString, chosenPort);

    installBossac(cwd->path(), recordArguments);
    UploadWindow upload({ { "COM3", "Communications Port" }, { "COM5", "Adafruit Feather M0" } });
    QCOMPARE(upload.ports()->currentText(), QStringLiteral("COM5"));
    upload.clickUpload();
    QVERIFY(!QFile::exists(QStringLiteral("args.txt")));

    if (rescan) {
        upload.portList.setPorts(laterPorts);
        upload.ports()->showPopup();
        upload.ports()->hidePopup();
    }
    if (!chosenPort.isEmpty())
        upload.ports()->setCurrentText(chosenPort);
    const QString port = upload.ports()->currentText();
    QVERIFY(port != QLatin1String("COM5") && port.startsWith(QLatin1String("COM")));
    upload.clickUpload();

    QCOMPARE(upload.log().last(), QStringLiteral("Done!"));
    QVERIFY(readText(QStringLiteral("args.txt")).contains(QStringLiteral("\n--port=") + port));
}

void UploadTest::everyOutcomeScrollsTheLogToItsEnd_data()
{
    QTest::addColumn<QList<SerialPortEntry>>("ports");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QString>("lastLine");

    const QList<SerialPortEntry> bootloader { { "COM7", "Arduino Zero" } };
    QTest::newRow("no COM port") << QList<SerialPortEntry> {} << "fw.bin" << QByteArray()
                                 << "Select a COM port!";
    QTest::newRow("no file") << bootloader << "" << QByteArray() << "Select a file!";
    QTest::newRow("no such file") << bootloader << "gone.bin" << QByteArray()
                                  << "Error, the file gone.bin does not exist";
    QTest::newRow("board running its application")
        << QList<SerialPortEntry> { { "COM5", "Adafruit Feather M0" } } << "fw.bin" << QByteArray()
        << "Then select the new port.";
    QTest::newRow("success") << bootloader << "fw.bin" << QByteArray("stdout Erase flash\n")
                             << "Done!";
    QTest::newRow("failure") << bootloader << "fw.bin" << QByteArray("exit 1\n")
                             << "Error, exited with code 1";
}

void UploadTest::everyOutcomeScrollsTheLogToItsEnd()
{
    QFETCH(QList<SerialPortEntry>, ports);
    QFETCH(QString, field);
    QFETCH(QByteArray, steps);
    QFETCH(QString, lastLine);

    installBossac(cwd->path(), steps);
    UploadWindow upload(ports);
    upload.path()->setText(field);
    fillLogScrolledToTop(upload.window);
    upload.clickUpload();

    QCOMPARE(upload.log().last(), lastLine);
    QVERIFY(logScrolledToEnd(upload.window));
}

void UploadTest::outputIsRelayedWhileBossacRuns()
{
    // The fake waits for a file that only the log's observer creates: unless the
    // first line reaches the log while bossac runs, the run cannot finish.
    installBossac(cwd->path(), "stdout early\nwait-for go 20000\nstdout late\n");
    MainWindow::setUploadTimeout(30000);
    UploadWindow upload;
    touchWhenLogShows(upload.window, QStringLiteral("early"), QStringLiteral("go"));
    upload.clickUpload();
    QCOMPARE(upload.log().mid(2), QStringList({ "early", "late", "Done!" }));
}

void UploadTest::bothChannelsAreRelayedInOrder()
{
    // Each write waits until the one before it has reached the log, so that every
    // write arrives in a notification of its own however the machine schedules us.
    installBossac(cwd->path(),
        "stdout out 1\nwait-for seen-1 20000\nstderr err 1\nwait-for seen-2 20000\n"
        "stdout out 2\nwait-for seen-3 20000\nstderr err 2\n");
    UploadWindow upload;
    touchWhenLogShows(upload.window, QStringLiteral("out 1"), QStringLiteral("seen-1"));
    touchWhenLogShows(upload.window, QStringLiteral("err 1"), QStringLiteral("seen-2"));
    touchWhenLogShows(upload.window, QStringLiteral("out 2"), QStringLiteral("seen-3"));
    upload.clickUpload();
    // Each notification appends the error text, then the output, even when empty;
    // a text that ends in a line feed leaves an empty paragraph after it. Then come
    // the two (empty) remainders and the verdict.
    QCOMPARE(logParagraphs(upload.window).mid(2),
        QStringList({ "", "out 1", "", /**/ "err 1", "", "", /**/ "", "out 2", "", /**/ "err 2", "",
            "", /**/ "", "", "Done!" }));
}

void UploadTest::verdictFollowsTheExitCode_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("0") << QByteArray("exit 0\n") << "Done!";
    QTest::newRow("1") << QByteArray("exit 1\n") << "Error, exited with code 1";
    QTest::newRow("255") << QByteArray("exit 255\n") << "Error, exited with code 255";
#ifdef Q_OS_UNIX
    // A crash (bossac dies of SIGFPE on an empty image) is no success either. Qt
    // reports a signal's number as the exit code, which only POSIX systems have.
    QTest::newRow("crash") << QByteArray("crash\n") << "Error, exited with code 8";
#endif
}

void UploadTest::verdictFollowsTheExitCode()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, verdict);
    installBossac(cwd->path(), script);
    UploadWindow upload;
    upload.clickUpload();
    QCOMPARE(upload.log().size(), 3);
    QCOMPARE(upload.log().last(), verdict);
}

void UploadTest::bossacIsFoundByItsBareName_data()
{
    QTest::addColumn<bool>("besideTheProgram");
    QTest::addColumn<QString>("verdict");

    QTest::newRow("nowhere: no success") << false << "Error, could not start bossac";
#ifdef Q_OS_WIN
    // The layout users get: bossac.exe beside the program, not on PATH. Windows looks
    // for a bare program name in the starting program's own folder first.
    QTest::newRow("beside the program") << true << "Done!";
#endif
}

void UploadTest::bossacIsFoundByItsBareName()
{
    QFETCH(bool, besideTheProgram);
    QFETCH(QString, verdict);

    // Beside this test program, which plays the uploader's part; removed afterwards.
    const QString beside = besideTheProgram
        ? installStandIn(QCoreApplication::applicationDirPath(), "bossac", recordArguments)
        : QString();
    const auto removeBeside = qScopeGuard([&beside] {
        if (!beside.isEmpty()) {
            QFile::remove(beside);
            QFile::remove(beside + ".steps");
        }
    });
    // Nothing but the empty working directory to search on PATH.
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(cwd->path()));
    UploadWindow upload;
    upload.clickUpload();
    qputenv("PATH", savedPath);

    QCOMPARE(upload.log().last(), verdict);
    QCOMPARE(QFile::exists(QStringLiteral("args.txt")), besideTheProgram);
}

void UploadTest::runThatOutlivesTheWaitIsKilled()
{
    // A limit of a few seconds leaves a freshly copied program time to start on a
    // slow machine; the stand-in would sleep four times as long. Unless the run is
    // killed at the limit, the wait outlasts the check on its length.
    constexpr int limitMs = 3000;
    installBossac(cwd->path(), "pid pid.txt\nstdout Erase flash\nsleep 12000\n");
    MainWindow::setUploadTimeout(limitMs);
    UploadWindow upload;
    // The verdict may reach the log only once no bossac is left.
    bool verdictShown = false;
    bool goneAtVerdict = false;
    QPlainTextEdit *panel = logPanel(upload.window);
    connect(panel, &QPlainTextEdit::textChanged, panel, [&] {
        if (!verdictShown && panel->document()->lastBlock().text().startsWith(QLatin1String("Error, "))) {
            verdictShown = true;
            goneAtVerdict = processIsGone(readText(QStringLiteral("pid.txt")).toLongLong());
        }
    });
    QElapsedTimer clock;
    clock.start();
    upload.clickUpload();
    const qint64 elapsed = clock.elapsed();

    QVERIFY2(elapsed >= limitMs && elapsed < 3 * limitMs,
        qPrintable(
            QStringLiteral("the run took %1 ms, the limit is %2 ms").arg(elapsed).arg(limitMs)));
    QCOMPARE(upload.log().mid(2),
        QStringList({ "Erase flash", "Error, bossac did not finish within 3 seconds" }));
    QVERIFY(readText(QStringLiteral("pid.txt")).toLongLong() > 0);
    QVERIFY2(goneAtVerdict, "bossac was still running when the verdict reached the log");
}

void UploadTest::inputsAreReadBeforeEventsAreProcessed()
{
    installBossac(cwd->path(), recordArguments);
    UploadWindow upload({ { "COM3", "Communications Port" }, { "COM7", "Arduino Zero" } });
    // Runs inside the slot's one processEvents call.
    bool changed = false;
    QTimer::singleShot(0, &upload.window, [&upload, &changed] {
        upload.path()->setText(QStringLiteral("other.bin"));
        upload.ports()->setCurrentIndex(1);
        changed = true;
    });
    upload.clickUpload();
    QVERIFY2(changed, "the slot processed no events before it started bossac");
    QCOMPARE(upload.log().at(1),
        QStringLiteral("bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"fw.bin\" -R"));
    QVERIFY(readText(QStringLiteral("args.txt")).contains(QStringLiteral("\nfw.bin\n")));
}

void UploadTest::clickDuringTheFirstRunsStartRunsWholeFirst()
{
    // A second click, handled by the first run's one processEvents call, runs a whole
    // upload before the first run starts bossac: the slot waits without an event
    // loop, so two runs never overlap. The first run's output must still reach the
    // log once the second has ended.
    installBossac(cwd->path(), "count runs\nstdout run {n}\nstdout end of run {n}\n");
    UploadWindow upload;
    QTimer::singleShot(0, &upload.window, [&upload] { upload.clickUpload(); });
    upload.clickUpload();

    const QString commandLine
        = QStringLiteral("bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"fw.bin\" -R");
    QCOMPARE(upload.log(),
        QStringList({ "Uploading...", "Uploading...", commandLine, "run 1", "end of run 1", "Done!",
            commandLine, "run 2", "end of run 2", "Done!" }));
}

void UploadTest::invalidUtf8KeepsTheLinesAround()
{
    // Each write waits until the one before it has reached the log.
    installBossac(cwd->path(),
        "stdout before\\n\\xff\\xfe bad \\xc0\\x80\nwait-for seen-1 20000\n"
        "stderr mid \\xed\\xa0\\x80\nwait-for seen-2 20000\nstdout after\n");
    UploadWindow upload;
    touchWhenLogShows(upload.window, QStringLiteral(" bad "), QStringLiteral("seen-1"));
    touchWhenLogShows(upload.window, QStringLiteral("mid "), QStringLiteral("seen-2"));
    upload.clickUpload();

    const QStringList log = upload.log();
    QCOMPARE(log.size(), 7);
    QCOMPARE(log.at(2), QStringLiteral("before"));
    QVERIFY(log.at(3).contains(QStringLiteral(" bad ")));
    QVERIFY(log.at(4).startsWith(QStringLiteral("mid "))
        && log.at(4).contains(QChar(QChar::ReplacementCharacter)));
    QCOMPARE(log.mid(5), QStringList({ "after", "Done!" }));
}

void UploadTest::megabytesOfOutputLoseNoLine()
{
    // About 10 MB of numbered trace lines. A notification may end inside a line,
    // which then continues in the next paragraph, but no character may go missing.
    installBossac(cwd->path(),
        "stdout first\n"
        "lines 200000 writeBuffer(scr_addr=0x20004034, dst_addr=0x6000) \n"
        "stdout last\n");
    UploadWindow upload;
    upload.clickUpload();

    QString expected = QStringLiteral("first");
    for (int line = 1; line <= 200000; ++line)
        expected += QStringLiteral("writeBuffer(scr_addr=0x20004034, dst_addr=0x6000) ")
            + QString::number(line);
    expected += QStringLiteral("last");

    QStringList log = upload.log();
    QCOMPARE(log.takeFirst(), QStringLiteral("Uploading..."));
    log.removeFirst();
    QCOMPARE(log.takeLast(), QStringLiteral("Done!"));
    const QString relayed = log.join(QString());
    int firstDifference = 0;
    while (firstDifference < qMin(relayed.size(), expected.size())
        && relayed.at(firstDifference) == expected.at(firstDifference))
        ++firstDifference;
    QVERIFY2(relayed == expected,
        qPrintable(QStringLiteral("differs at character %1: ...%2")
                       .arg(firstDifference)
                       .arg(relayed.mid(firstDifference, 80))));
}

QTEST_MAIN(UploadTest)
#include "tst_upload.moc"
