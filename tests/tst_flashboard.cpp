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

UploadRun uploadThroughWindow(const QString &workingDirectory)
{
    UploadRun run;
    MainWindow window;
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(firmwareName);
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
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("answering");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("zerosAt0x6000"); // bytes programmed there, -1: not checked

    const QByteArray flash = SambaMonitor::initialFlash();
    const QByteArray erased(4, '\xFF');
    const QByteArray version = "v2.0 [Arduino:XYZ] Jan  1 2024 00:00:00\n\r";
    const int none = SambaMonitor::NoFault;

    QTest::newRow("identification")
        << none << QByteArray("N#V#w00000000,4#wE000ED00,4#w41002018,4#")
        << "\n\r" + version + Samd21::littleEndian(0x20007FFC) + Samd21::littleEndian(0x410CC601)
            + Samd21::littleEndian(0x10010305)
        << true << false << -1;
    QTest::newRow("commands split across reads")
        << none << QByteArray("w0000") + QByteArray("0000,4#") << Samd21::littleEndian(0x20007FFC)
        << true << false << -1;
    QTest::newRow("reset request")
        << none << QByteArray("WE000ED0C,05FA0004#N#") << QByteArray() << false << true << -1;
    QTest::newRow("reset request with VECTCLRACTIVE")
        << none << QByteArray("WE000ED0C,05FA0005#N#") << QByteArray() << false << true << -1;
    QTest::newRow("AIRCR write without SYSRESETREQ")
        << none << QByteArray("WE000ED0C,05FA0002#N#") << QByteArray("\n\r") << true << false << -1;
    QTest::newRow("AIRCR write without the key")
        << none << QByteArray("WE000ED0C,FA050004#N#") << QByteArray("\n\r") << true << false << -1;
    QTest::newRow("erase from 0x6000")
        << none << QByteArray("X00006000#R00005FFC,00000008#w41004014,4#")
        << "X\n\r" + flash.mid(0x5FFC, 4) + erased + Samd21::littleEndian(0x01) << true << false
        << 0;
    QTest::newRow("erase from 0: the bootloader's rows are refused")
        << none << QByteArray("X00000000#w41004018,4#w41004014,4#R00001FFC,00000008#")
        << "X\n\r" + Samd21::littleEndian(0x08) + Samd21::littleEndian(0x03) + flash.mid(0x1FFC, 4)
            + erased
        << true << false << -1;
    QTest::newRow("program below 0x2000 is refused")
        << none
        << "S20004034,00000040#" + QByteArray(64, '\0')
            + "Y20004034,0#Y00001FC0,00000040#R00001FC0,00000004#w41004018,4#"
        << "Y\n\rY\n\r" + flash.mid(0x1FC0, 4) + Samd21::littleEndian(0x08) << true << false << -1;
    QTest::newRow("a whole chunk") << none << "X00006000#" + writeZeros(1024) + "N#"
                                   << QByteArray("X\n\rY\n\rY\n\r\n\r") << true << false << 1024;
    for (int size : { 64, 1024, 4096 }) {
        // Half way through the first chunk, in whole pages.
        const int half = size / 2 / 64 * 64;
        QTest::addRow("stops answering, %d bytes", size)
            << int(SambaMonitor::StopsAnswering) << "X00006000#" + writeZeros(size) + "N#"
            << QByteArray("X\n\rY\n\r") << false << false << half;
        QTest::addRow("unplugged, %d bytes", size)
            << int(SambaMonitor::VanishesMidWrite) << "X00006000#" + writeZeros(size) + "N#"
            << QByteArray("X\n\rY\n\r") << false << false << half;
    }
}

// Bytes in, bytes out: no port, no thread.
void FlashBoardTest::monitorAnswersAsTheChip()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);
    QFETCH(bool, answering);
    QFETCH(bool, reset);
    QFETCH(int, zerosAt0x6000);

    SambaMonitor monitor;
    monitor.armFault(static_cast<SambaMonitor::Fault>(fault));
    QByteArray answer;
    // Fed in pieces, as reads from a port deliver it.
    for (int at = 0; at < input.size(); at += 7)
        answer += monitor.feed(input.mid(at, 7));
    QCOMPARE(answer.toHex(' '), reply.toHex(' '));
    QCOMPARE(monitor.answering(), answering);
    QCOMPARE(monitor.resetRequested(), reset);
    QCOMPARE(monitor.hungUp(), fault == SambaMonitor::VanishesMidWrite);
    if (zerosAt0x6000 >= 0) {
        const QByteArray flash = monitor.flash();
        QCOMPARE(flash.mid(0x6000, zerosAt0x6000), QByteArray(zerosAt0x6000, '\0'));
        QCOMPARE(flash.at(0x6000 + zerosAt0x6000), '\xFF');
    }
    // Arming a fault again revives nothing: a silent monitor stays silent.
    monitor.armFault(SambaMonitor::NoFault);
    QCOMPARE(monitor.feed("N#"), answering ? QByteArray("\n\r") : QByteArray());
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
    QVERIFY(board.resetRequested());
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
    QVERIFY(board.resetRequested());

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
        << int(SambaMonitor::StopsAnswering) << 60000 << QStringLiteral("SAM-BA operation failed")
        << QStringLiteral("Error, exited with code 1");
    // bossac spins forever once the port hangs up while it waits for a reply; only
    // the window's limit ends the run. The limit is longer than bossac's own 5 s
    // reply timeout, so a bossac that gave up by itself would show its exit code.
    QTest::newRow("board vanishes mid-write")
        << int(SambaMonitor::VanishesMidWrite) << 8000 << QStringLiteral("Erase flash")
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
    board.armFault(static_cast<SambaMonitor::Fault>(fault));
    QVERIFY2(board.linkAs(portName), qPrintable(board.errorString()));
    QVERIFY(writeFile(cwd.filePath(firmwareName), firmwareImage(imageSize)));
    const ScopedPortList ports(
        QList<SerialPortEntry> { { portName, QStringLiteral("Arduino Zero") } });
    MainWindow::setUploadTimeout(uploadTimeoutMs);

    const UploadRun run = uploadThroughWindow(cwd.path());
    const QStringList &log = run.log;
    const QString logText = log.join(QLatin1Char('\n'));

    QCOMPARE(lastNonEmpty(log), lastMessage);
    QVERIFY2(findParagraph(log, expectedOutput, 0) >= 0, qPrintable(logText));
    QVERIFY(!board.resetRequested());
    QCOMPARE(board.vanished(), fault == SambaMonitor::VanishesMidWrite);
    // Half of the first 4 KiB chunk was programmed, the rest of the image is erased.
    const QByteArray flash = board.flash();
    QCOMPARE(flash.mid(imageOffset, 2048), firmwareImage(imageSize).left(2048));
    QCOMPARE(flash.mid(imageOffset + 2048, imageSize - 2048), QByteArray(imageSize - 2048, '\xFF'));
    if (fault == SambaMonitor::VanishesMidWrite)
        QVERIFY2(
            run.milliseconds >= uploadTimeoutMs, qPrintable(QString::number(run.milliseconds)));
    // The verdict comes only once bossac is gone, killed if need be.
    QVERIFY2(run.leftAtVerdict.isEmpty(), qPrintable(run.leftAtVerdict.join(QLatin1Char('\n'))));
    const QStringList left = leftoverBossacProcesses(cwd.path());
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
}

QTEST_MAIN(FlashBoardTest)
#include "tst_flashboard.moc"
