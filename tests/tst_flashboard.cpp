// Flashes an emulated SAMD21 bootloader with the real bossac, through the window's
// Upload button and, to pin down the emulator itself, with bossac alone.

#include "mainwindow.h"
#include "sambaboard.h"
#include "sambamonitor.h"
#include "samd21.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextBlock>
#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

const QString portName = QStringLiteral("COM7");
const QString firmwareName = QStringLiteral("fw.bin");
constexpr quint32 imageOffset = 0x6000;
// Three 4 KiB chunks, the last one short and not a whole number of 64-byte pages.
constexpr int imageSize = 10000;
constexpr int paddedImageSize = (imageSize + 63) / 64 * 64;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

// Index of the first paragraph at or after `from` that contains `text`, or -1.
int findParagraph(const QStringList &paragraphs, const QString &text, int from)
{
    for (int i = qMax(0, from); i < paragraphs.size(); ++i)
        if (paragraphs.at(i).contains(text))
            return i;
    return -1;
}

// What bossac sends to write `size` bytes of 0x00 at 0x6000 in one chunk.
QByteArray writeZeros(int size)
{
    const QByteArray hexSize = QByteArray::number(size, 16).toUpper().rightJustified(8, '0');
    return "S20004034," + hexSize + "#" + QByteArray(size, '\0') + "Y20004034,0#Y00006000,"
        + hexSize + "#";
}

QString lastNonEmpty(const QStringList &paragraphs)
{
    for (int i = paragraphs.size() - 1; i >= 0; --i)
        if (!paragraphs.at(i).trimmed().isEmpty())
            return paragraphs.at(i);
    return QString();
}

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Processes this test started that still exist (zombies included), and bossac runs
// on our port from our working directory, whoever started them.
QStringList leftoverBossacProcesses(const QString &workingDirectory)
{
    const QString ourPid = QString::number(::getpid());
    const QString ourDir = QFileInfo(workingDirectory).canonicalFilePath();
    QStringList found;
    const QStringList pids
        = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
        // Fields after the command name, which is in parentheses: state, parent pid...
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        const QList<QByteArray> argv
            = readProcFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        const bool ourChild = fields.size() > 1 && fields.at(1) == ourPid.toLatin1();
        const bool bossacOnOurPort = argv.first().endsWith("bossac")
            && argv.contains("--port=" + portName.toLatin1())
            && QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).canonicalFilePath() == ourDir;
        if (ourChild || bossacOnOurPort)
            found.append(QStringLiteral("%1 %2").arg(pid, QString::fromLatin1(stat.left(80))));
    }
    return found;
}

// What one click on Upload left behind: the log, how long the click took, and the
// processes that were still there when the verdict reached the log.
struct UploadRun
{
    QStringList log;
    qint64 milliseconds = 0;
    QStringList leftAtVerdict;
};

// Ends our bossac runs that outlive `milliseconds`, so that a window that fails to stop
// a bossac that never returns fails a check instead of hanging the test.
class Watchdog
{
public:
    Watchdog(const QString &workingDirectory, qint64 milliseconds)
        : thread([this, workingDirectory, milliseconds] {
            std::unique_lock<std::mutex> lock(mutex);
            if (woken.wait_for(
                    lock, std::chrono::milliseconds(milliseconds), [this] { return over; }))
                return;
            for (const QString &process : leftoverBossacProcesses(workingDirectory))
                ::kill(process.section(QLatin1Char(' '), 0, 0).toInt(), SIGKILL);
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            over = true;
        }
        woken.notify_one();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable woken;
    bool over = false;
    std::thread thread;
};

// `watchdogMs`: ends a bossac that is still there after so long; 0: none.
UploadRun uploadThroughWindow(
    const QString &workingDirectory, const QString &field = firmwareName, qint64 watchdogMs = 0)
{
    std::unique_ptr<Watchdog> watchdog;
    if (watchdogMs > 0)
        watchdog.reset(new Watchdog(workingDirectory, watchdogMs));
    UploadRun run;
    MainWindow window;
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(field);
    QPlainTextEdit *panel = logPanel(window);
    QObject::connect(panel, &QPlainTextEdit::textChanged, [&] {
        const QString last = panel->document()->lastBlock().text();
        if (last == QLatin1String("Done!") || last.startsWith(QLatin1String("Error, ")))
            run.leftAtVerdict = leftoverBossacProcesses(workingDirectory);
    });
    QElapsedTimer clock;
    clock.start();
    window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
    run.milliseconds = clock.elapsed();
    run.log = logParagraphs(window);
    return run;
}

} // namespace

class FlashBoardTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void monitorAnswersAsTheChip_data();
    void monitorAnswersAsTheChip();
    void emulatorTakesBossacWriteAndVerify();
    void uploadFlashesImageAtOffsetAndLogsBossacRun();
    void uploadReportsBoardThatFailsMidFlash_data();
    void uploadReportsBoardThatFailsMidFlash();
    void unusableFileLeavesTheFlashUntouched_data();
    void unusableFileLeavesTheFlashUntouched();
};

void FlashBoardTest::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("bossac")).isEmpty(),
        "bossac was not found on PATH: install bossa-cli (/usr/bin/bossac) to run these tests");
}

void FlashBoardTest::cleanup()
{
    MainWindow::setUploadTimeout(60000);
}

void FlashBoardTest::monitorAnswersAsTheChip_data()
{
    QTest::addColumn<quint16>("lockBits");
    QTest::addColumn<bool>("haltHalfWay"); // the chip halts half way through a write
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("zerosAt0x6000"); // bytes programmed there, -1: not checked
    QTest::addColumn<qint64>("busyMicroseconds"); // at the chip's own pace
    // Erased, began to write and never asked for a reset: an upload cut short.
    QTest::addColumn<bool>("cutShort");

    const QByteArray flash = SambaMonitor::initialFlash();
    const QByteArray erased(4, '\xFF');
    const QByteArray version = "v2.0 [Arduino:XYZ] Jan  1 2024 00:00:00\n\r";
    const quint16 unlocked = 0xFFFF;
    const qint64 row = SambaMonitor::slowestTiming().rowEraseMicroseconds;
    const qint64 page = SambaMonitor::slowestTiming().pageWriteMicroseconds;
    // From 0x6000 to the end of flash.
    const qint64 rowsAbove0x6000 = (0x40000 - 0x6000) / 256;

    QTest::newRow("identification")
        << unlocked << false << QByteArray("N#V#w00000000,4#wE000ED00,4#w41002018,4#")
        << "\n\r" + version + Samd21::littleEndian(0x20007FFC) + Samd21::littleEndian(0x410CC601)
            + Samd21::littleEndian(0x10010305)
        << false << -1 << qint64(0) << false;
    QTest::newRow("commands split across reads")
        << unlocked << false << QByteArray("w0000") + QByteArray("0000,4#")
        << Samd21::littleEndian(0x20007FFC) << false << -1 << qint64(0) << false;
    QTest::newRow("reset request") << unlocked << false << QByteArray("WE000ED0C,05FA0004#N#")
                                   << QByteArray() << true << -1 << qint64(0) << false;
    QTest::newRow("reset request with VECTCLRACTIVE")
        << unlocked << false << QByteArray("WE000ED0C,05FA0005#N#") << QByteArray() << true << -1
        << qint64(0) << false;
    QTest::newRow("AIRCR write without SYSRESETREQ")
        << unlocked << false << QByteArray("WE000ED0C,05FA0002#N#") << QByteArray("\n\r") << false
        << -1 << qint64(0) << false;
    QTest::newRow("AIRCR write without the key")
        << unlocked << false << QByteArray("WE000ED0C,FA050004#N#") << QByteArray("\n\r") << false
        << -1 << qint64(0) << false;
    QTest::newRow("fuses: BOOTPROT 16 KiB, nothing locked")
        << unlocked << false << QByteArray("o00804000,4#o00804006,4#o00804007,4#w41004020,4#")
        << QByteArray("\xF9\xFF\xFF") + Samd21::littleEndian(0xFFFF) << false << -1 << qint64(0)
        << false;
    QTest::newRow("erase from 0x6000")
        << unlocked << false << QByteArray("X00006000#R00005FFC,00000008#w41004014,4#")
        << "X\n\r" + flash.mid(0x5FFC, 4) + erased + Samd21::littleEndian(0x01) << false << 0
        << rowsAbove0x6000 * row << false;
    QTest::newRow("erase from 0: the protected 16 KiB are refused")
        << unlocked << false << QByteArray("X00000000#w41004018,4#w41004014,4#R00003FFC,00000008#")
        << "X\n\r" + Samd21::littleEndian(0x08) + Samd21::littleEndian(0x03) + flash.mid(0x3FFC, 4)
            + erased
        << false << -1 << qint64(0x40000 - 0x4000) / 256 * row << false;
    QTest::newRow("program below 0x4000 is refused")
        << unlocked << false
        << "S20004034,00000040#" + QByteArray(64, '\0')
            + "Y20004034,0#Y00003FC0,00000040#R00003FC0,00000004#w41004018,4#"
        << "Y\n\rY\n\r" + flash.mid(0x3FC0, 4) + Samd21::littleEndian(0x08) << false << -1
        << qint64(0) << false;
    // Region 1 holds 0x4000 to 0x7FFF: the chip refuses its rows, and the Arduino
    // bootloader answers X and Y all the same, as it does not look at the error.
    QTest::newRow("a locked region is neither erased nor written")
        << quint16(0xFFFD) << false
        << "o00804006,4#X00006000#" + writeZeros(64) + "w41004018,4#w41004014,4#R00007FFC,00000008#"
        << "\xFD" + QByteArray("X\n\rY\n\rY\n\r") + Samd21::littleEndian(0x08)
            + Samd21::littleEndian(0x03) + flash.mid(0x7FFC, 4) + erased
        << false << -1 << (rowsAbove0x6000 - 0x2000 / 256) * row << true;
    QTest::newRow("a whole chunk") << unlocked << false << "X00006000#" + writeZeros(1024) + "N#"
                                   << QByteArray("X\n\rY\n\rY\n\r\n\r") << false << 1024
                                   << rowsAbove0x6000 * row + 16 * page << true;
    QTest::newRow("a whole upload ends with bossac's reset")
        << unlocked << false << "X00006000#" + writeZeros(1024) + "WE000ED0C,05FA0004#"
        << QByteArray("X\n\rY\n\rY\n\r") << true << 1024 << rowsAbove0x6000 * row + 16 * page
        << false;
    for (int size : { 64, 1024, 4096 }) {
        // Half way through the first chunk, in whole pages.
        const int half = size / 2 / 64 * 64;
        QTest::addRow("halts half way, %d bytes", size)
            << unlocked << true << "X00006000#" + writeZeros(size) + "N#"
            << QByteArray("X\n\rY\n\r") << false << half << rowsAbove0x6000 * row + half / 64 * page
            << true;
    }
}

// Bytes in, bytes out: no port, no thread.
void FlashBoardTest::monitorAnswersAsTheChip()
{
    QFETCH(quint16, lockBits);
    QFETCH(bool, haltHalfWay);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);
    QFETCH(bool, reset);
    QFETCH(int, zerosAt0x6000);
    QFETCH(qint64, busyMicroseconds);
    QFETCH(bool, cutShort);

    SambaMonitor monitor(SambaMonitor::initialFlash(), lockBits);
    monitor.setTiming(SambaMonitor::slowestTiming());
    if (haltHalfWay)
        monitor.setPageGate([](quint32 page, quint32 pages) { return page < pages / 2; });
    QByteArray answer;
    // Fed in pieces, as reads from a port deliver it.
    for (int at = 0; at < input.size(); at += 7)
        answer += monitor.feed(input.mid(at, 7));
    QCOMPARE(answer.toHex(' '), reply.toHex(' '));
    QCOMPARE(monitor.answering(), !haltHalfWay && !reset);
    QCOMPARE(monitor.halted(), haltHalfWay);
    QCOMPARE(monitor.resetRequested(), reset);
    QCOMPARE(monitor.takeBusyMicroseconds(), busyMicroseconds);
    QCOMPARE(monitor.lockErrorSeen(), reply.contains(Samd21::littleEndian(0x08)));
    QCOMPARE(monitor.uploadCutShort(), cutShort);
    if (zerosAt0x6000 >= 0) {
        const QByteArray flash = monitor.flash();
        QCOMPARE(flash.mid(0x6000, zerosAt0x6000), QByteArray(zerosAt0x6000, '\0'));
        QCOMPARE(flash.at(0x6000 + zerosAt0x6000), '\xFF');
    }
    // Nothing brings a halted or reset monitor back but a new one.
    QCOMPARE(monitor.feed("N#"), monitor.answering() ? QByteArray("\n\r") : QByteArray());
}

// bossac writes, then reads every page back (63 + 1 byte reads, Z checksums), and
// resets the board: the emulator must answer all of it the way a board does.
void FlashBoardTest::emulatorTakesBossacWriteAndVerify()
{
    ScopedWorkingDirectory cwd;
    SambaBoard board;
    QVERIFY2(board.isRunning(), qPrintable(board.errorString()));
    QVERIFY2(board.linkAs(portName), qPrintable(board.errorString()));
    const QByteArray image = firmwareImage(imageSize);
    QVERIFY(writeFile(cwd.filePath(firmwareName), image));

    QProcess bossac;
    bossac.start(QStringLiteral("bossac"),
        { QStringLiteral("-d"), QStringLiteral("--port=") + portName, QStringLiteral("-U"),
            QStringLiteral("-i"), QStringLiteral("--offset=0x6000"), QStringLiteral("-e"),
            QStringLiteral("-w"), QStringLiteral("-v"), firmwareName, QStringLiteral("-R") });
    QVERIFY(bossac.waitForFinished(30000));
    const QString out = QString::fromUtf8(bossac.readAllStandardOutput());
    const QString err = QString::fromUtf8(bossac.readAllStandardError());
    QVERIFY2(bossac.exitStatus() == QProcess::NormalExit && bossac.exitCode() == 0,
        qPrintable(QStringLiteral("exit %1\n%2\n%3").arg(bossac.exitCode()).arg(err, out)));
    QVERIFY2(out.contains(QLatin1String("Verify successful")), qPrintable(out));
    QCOMPARE(board.flash().mid(imageOffset, imageSize), image);
    // The reset is bossac's last write, which nothing answers: bossac may be gone before
    // the board's thread has read it.
    QTRY_VERIFY_WITH_TIMEOUT(board.resetRequested(), 10000);
    QVERIFY(board.commands().contains(QStringLiteral("WE000ED0C,05FA0004")));
}

void FlashBoardTest::uploadFlashesImageAtOffsetAndLogsBossacRun()
{
    ScopedWorkingDirectory cwd;
    SambaBoard board;
    QVERIFY2(board.isRunning(), qPrintable(board.errorString()));
    QVERIFY2(board.linkAs(portName), qPrintable(board.errorString()));
    const QByteArray image = firmwareImage(imageSize);
    QVERIFY(writeFile(cwd.filePath(firmwareName), image));
    const ScopedPortList ports(
        QList<SerialPortEntry> { { portName, QStringLiteral("Arduino Zero") } });

    const QStringList log = uploadThroughWindow(cwd.path()).log;
    const QString logText = log.join(QLatin1Char('\n'));

    const QByteArray flash = board.flash();
    const QByteArray before = SambaMonitor::initialFlash();
    QVERIFY2(flash.left(imageOffset) == before.left(imageOffset),
        "the erase or write touched the bootloader or the area below the offset");
    QVERIFY2(flash.mid(imageOffset, imageSize) == image, qPrintable(logText));
    QCOMPARE(flash.mid(imageOffset + imageSize, paddedImageSize - imageSize),
        QByteArray(paddedImageSize - imageSize, '\0'));
    const int end = imageOffset + paddedImageSize;
    QVERIFY2(flash.mid(end) == QByteArray(flash.size() - end, '\xFF'),
        "flash after the image was not erased");
    QTRY_VERIFY_WITH_TIMEOUT(board.resetRequested(), 10000);

    const int uploading = log.indexOf(QStringLiteral("Uploading..."));
    QVERIFY2(uploading >= 0, qPrintable(logText));
    const int command = log.indexOf(
        QStringLiteral("bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"fw.bin\" -R"),
        uploading);
    QVERIFY2(command > uploading, qPrintable(logText));
    const int device = findParagraph(log, QStringLiteral("Device       : ATSAMD21x18"), command);
    QVERIFY2(device > command, qPrintable(logText));
    const int trace = findParagraph(log, QStringLiteral("writeBuffer("), device);
    QVERIFY2(trace > device, qPrintable(logText));
    QCOMPARE(lastNonEmpty(log), QStringLiteral("Done!"));
    QVERIFY2(log.lastIndexOf(QStringLiteral("Done!")) > trace, qPrintable(logText));
}

void FlashBoardTest::uploadReportsBoardThatFailsMidFlash_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("uploadTimeoutMs");
    QTest::addColumn<QString>("expectedOutput");
    QTest::addColumn<QString>("lastMessage");

    // The board stops answering the first program command: bossac waits out its 5 s.
    QTest::newRow("board stops answering")
        << int(SambaBoard::StopAnsweringDuringNextWrite) << 60000
        << QStringLiteral("SAM-BA operation failed") << QStringLiteral("Error, exited with code 1");
    // bossac spins forever once the port hangs up while it waits for a reply; only
    // the window's limit ends the run. The limit is longer than bossac's own 5 s
    // reply timeout, so a bossac that gave up by itself would show its exit code.
    QTest::newRow("board unplugged mid-write")
        << int(SambaBoard::UnplugDuringNextWrite) << 8000 << QStringLiteral("Erase flash")
        << QStringLiteral("Error, bossac did not finish within 8 seconds");
}

void FlashBoardTest::uploadReportsBoardThatFailsMidFlash()
{
    QFETCH(int, fault);
    QFETCH(int, uploadTimeoutMs);
    QFETCH(QString, expectedOutput);
    QFETCH(QString, lastMessage);

    ScopedWorkingDirectory cwd;
    SambaBoard board;
    QVERIFY2(board.isRunning(), qPrintable(board.errorString()));
    board.armFault(static_cast<SambaBoard::Fault>(fault));
    QVERIFY2(board.linkAs(portName), qPrintable(board.errorString()));
    QVERIFY(writeFile(cwd.filePath(firmwareName), firmwareImage(imageSize)));
    const ScopedPortList ports(
        QList<SerialPortEntry> { { portName, QStringLiteral("Arduino Zero") } });
    MainWindow::setUploadTimeout(uploadTimeoutMs);

    const UploadRun run = uploadThroughWindow(cwd.path(), firmwareName, 3 * uploadTimeoutMs);
    const QStringList &log = run.log;
    const QString logText = log.join(QLatin1Char('\n'));

    QCOMPARE(lastNonEmpty(log), lastMessage);
    QVERIFY2(findParagraph(log, expectedOutput, 0) >= 0, qPrintable(logText));
    QVERIFY(!board.resetRequested());
    QCOMPARE(board.unplugged(), fault == SambaBoard::UnplugDuringNextWrite);
    // Half of the first 4 KiB chunk was programmed, the rest of the image is erased.
    const QByteArray flash = board.flash();
    QCOMPARE(flash.mid(imageOffset, 2048), firmwareImage(imageSize).left(2048));
    QCOMPARE(flash.mid(imageOffset + 2048, imageSize - 2048), QByteArray(imageSize - 2048, '\xFF'));
    // The window stops the bossac that never returns at its limit, not later.
    if (fault == SambaBoard::UnplugDuringNextWrite)
        QVERIFY2(run.milliseconds >= uploadTimeoutMs && run.milliseconds < 2 * uploadTimeoutMs,
            qPrintable(QString::number(run.milliseconds)));
    // The verdict comes only once bossac is gone, killed if need be.
    QVERIFY2(run.leftAtVerdict.isEmpty(), qPrintable(run.leftAtVerdict.join(QLatin1Char('\n'))));
    const QStringList left = leftoverBossacProcesses(cwd.path());
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
}

void FlashBoardTest::unusableFileLeavesTheFlashUntouched_data()
{
    addFirmwareFileRows();
}

// bossac erases the board before it opens the file: a file that cannot be flashed
// must never reach it.
void FlashBoardTest::unusableFileLeavesTheFlashUntouched()
{
    QFETCH(QString, field);
    QFETCH(FirmwareFile, make);
    QFETCH(QByteArray, content);
    QFETCH(QString, verdict);

    ScopedWorkingDirectory cwd;
    SambaBoard board;
    QVERIFY2(board.isRunning(), qPrintable(board.errorString()));
    QVERIFY2(board.linkAs(portName), qPrintable(board.errorString()));
    QVERIFY(makeFirmwareFile(make, field, content));
    const ScopedPortList ports(
        QList<SerialPortEntry> { { portName, QStringLiteral("Arduino Zero") } });

    const QStringList log = uploadThroughWindow(cwd.path(), field).log;
    const QString logText = log.join(QLatin1Char('\n'));

    const QByteArray flash = board.flash();
    const QByteArray before = SambaMonitor::initialFlash();
    QVERIFY2(flash.left(imageOffset) == before.left(imageOffset), qPrintable(logText));
    if (verdict == QLatin1String("Done!")) {
        QVERIFY2(flash.mid(imageOffset, content.size()) == content, qPrintable(logText));
        QVERIFY(board.resetRequested());
        QCOMPARE(lastNonEmpty(log), verdict);
    } else {
        QVERIFY2(flash.mid(imageOffset) == before.mid(imageOffset),
            qPrintable("the flash above 0x6000 was changed:\n" + logText));
        QCOMPARE(board.bytesHeard(), qint64(0));
        QCOMPARE(log, QStringList { verdict });
    }
}

QTEST_MAIN(FlashBoardTest)
#include "tst_flashboard.moc"
