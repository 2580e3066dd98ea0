// The simulated board that the demo program runs the window against: its life cycle
// (reset timing, ports that take time to appear, plugging, faults mid-write, locked
// rows), its start rule, and the demo: its whole
// story through the real bossac, interrupted and killed mid-upload, and the board
// alone driven from standard input with the real bossac against it.

#include "firmwarecheck.h"
#include "sampleapplication.h"
#include "simulatedboard.h"
#include "testsupport.h"

#include <QMetaEnum>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The demo in a process group of its own: a story that does not end is ended with
// the bossac it started, which would otherwise outlive it.
class DemoProcess : public QProcess
{
public:
    explicit DemoProcess(const QString &temporaryFolder)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporaryFolder);
        setProcessEnvironment(environment);
    }
    ~DemoProcess() override
    {
        if (state() != NotRunning)
            ::kill(-static_cast<pid_t>(processId()), SIGKILL);
    }

    // Waits until standard output, after what earlier waits found, holds `text`.
    bool waitForLine(const QString &text)
    {
        return QTest::qWaitFor(
            [&] {
                output += readAllStandardOutput();
                const int at = QString::fromUtf8(output).indexOf(text, searchFrom);
                if (at >= 0)
                    searchFrom = at + text.size();
                return at >= 0;
            },
            25000);
    }

    // Waits until standard error holds `text`.
    bool waitForError(const QString &text)
    {
        return QTest::qWaitFor(
            [&] {
                errors += readAllStandardError();
                return QString::fromUtf8(errors).contains(text);
            },
            25000);
    }

    QByteArray output;
    QByteArray errors;
    int searchFrom = 0;

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// Sets a little-endian word at `offset`, as the vector table holds it.
QByteArray withWord(QByteArray image, int offset, quint32 word)
{
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<char>(word >> (8 * i));
    return image;
}

QByteArray linkedFor0x2000(int size)
{
    return withWord(sampleApplication(size, 7), 4, 0x20B5);
}

QStringList demoFolders(const QString &temporaryFolder)
{
    return QDir(temporaryFolder).entryList({ QStringLiteral("uvo-demo-*") }, QDir::Dirs);
}

// The bossac processes that run in a demo's working folder under `temporaryFolder`,
// whoever their parent is now.
QStringList leftoverBossac(const QString &temporaryFolder)
{
    QStringList found;
    const QStringList pids
        = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray argv0 = cmdline.readAll().split('\0').first();
        const QString cwd = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
        if (argv0.endsWith("bossac") && cwd.startsWith(temporaryFolder))
            found.append(pid + ' ' + cwd);
    }
    return found;
}

// Plays bossac's part on one of the board's ports, over the real pseudo-terminal.
class Host
{
public:
    explicit Host(const QString &port)
        : fd(::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
    }
    ~Host()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool isOpen() const { return fd >= 0; }

    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }

    // Whether the port went away, as a USB port does with its board's reset.
    bool hungUp() const
    {
        pollfd port = { fd, POLLIN, 0 };
        return ::poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR));
    }

    // Takes whatever has arrived.
    void collect()
    {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<int>(got));
    }

    // Sends a command and waits for a reply of `size` bytes, while the board stays in
    // its bootloader: false when the reply does not come.
    bool exchange(SimulatedBoard &board, const QByteArray &command, int size)
    {
        received.clear();
        if (!send(command))
            return false;
        return QTest::qWaitFor(
                   [&] {
                       collect();
                       return received.size() >= size
                           || board.state() != SimulatedBoard::Bootloader;
                   },
                   10000)
            && received.size() == size;
    }

    QByteArray received;

private:
    const int fd;
};

// What bossac's -e -w -R sends for `image` at 0x6000, in USB mode with the Arduino
// commands (an empty image: the erase alone); returns once the port has gone with the
// reset, or the board gave up.
void upload(SimulatedBoard &board, const QString &folder, const QByteArray &image)
{
    Host host(QDir(folder).filePath(board.portName()));
    QVERIFY(host.isOpen());
    if (!host.exchange(board, "X00006000#", 3))
        return;
    for (int offset = 0; offset < image.size(); offset += 4096) {
        QByteArray chunk = image.mid(offset, 4096);
        chunk.append((64 - chunk.size() % 64) % 64, '\0');
        const QByteArray size
            = QByteArray::number(chunk.size(), 16).toUpper().rightJustified(8, '0');
        const QByteArray address
            = QByteArray::number(0x6000 + offset, 16).toUpper().rightJustified(8, '0');
        QVERIFY(host.send("S20004034," + size + "#" + chunk));
        if (!host.exchange(board, "Y20004034,0#", 3)
            || !host.exchange(board, "Y" + address + "," + size + "#", 3))
            return;
    }
    QVERIFY(host.send("WE000ED0C,05FA0004#"));
    QTRY_VERIFY_WITH_TIMEOUT(host.hungUp(), 10000);
}

// Waits until the board is done restarting and its port, if it has one, is there.
bool settled(const SimulatedBoard &board)
{
    return QTest::qWaitFor(
        [&] {
            const SimulatedBoard::State state = board.state();
            return state != SimulatedBoard::Starting
                && (state == SimulatedBoard::Hung || state == SimulatedBoard::Unplugged
                    || !board.portName().isEmpty());
        },
        10000);
}

// What the board's port answers to N#. A second N# goes once the first has been
// acted on; once that one has been too, any reply to the first has been written.
QByteArray answerToProbe(SimulatedBoard &board, const QString &folder)
{
    Host host(QDir(folder).filePath(board.portName()));
    const qint64 before = board.bytesHeard();
    for (qint64 heard : { before + 2, before + 4 })
        if (!host.send("N#")
            || !QTest::qWaitFor([&] { return board.bytesHeard() >= heard; }, 10000))
            return "(not heard)";
    host.collect();
    return host.received.left(2);
}

} // namespace

class SimulatedBoardTest : public QObject
{
    Q_OBJECT

private slots:
    void boardLifeCycle_data();
    void boardLifeCycle();
    void startRule_data();
    void startRule();
    void storyPlaysThroughTheRealBossac_data();
    void storyPlaysThroughTheRealBossac();
    void servedBoardFollowsCommandsAndCleansUp();
    void demoPrintsOnlyWhatIsAsked_data();
    void demoPrintsOnlyWhatIsAsked();
};

void SimulatedBoardTest::boardLifeCycle_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("port");
    // factory, uploaded, partly written, erased, or locked (region 1 kept the factory's)
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("says"); // part of the board's message; empty: no message

    const QString runs = QStringLiteral(
        "no second reset within half a second: the bootloader jumped to the application at "
        "0x6000, which runs");
    const QString stays = QStringLiteral("reset again within half a second: the bootloader stays");
    const QString unpluggedMidWrite = QStringLiteral("unplugged while bossac was writing");
    const QString stoppedAnswering = QStringLiteral("stopped answering while bossac was writing");
    const QString cutShort = QStringLiteral("which hangs: the image is cut short");
    const QString unplugMidWrite = QStringLiteral("arm unplug-during-next-write");
    const QString silenceMidWrite = QStringLiteral("arm stop-answering-during-next-write");
    // Steps: "press" presses reset; "wait N" lets N ms pass on the board's clock; "now
    // STATE" checks the state at once. Before any other step ("settle" does nothing
    // else), and at the end, ten seconds pass and the board settles.
    const QStringList toBootloader { "press", "wait 100", "press" };

    QTest::newRow("one press: a tap, the wait, the application")
        << QStringList { "press", "now starting", "wait 500", "now starting" } << "application"
        << "COM3"
        << "factory" << runs;
    QTest::newRow("two presses 500 ms apart keep the bootloader")
        << QStringList { "press", "wait 500", "press", "now bootloader" } << "bootloader"
        << "COM7"
        << "factory" << stays;
    QTest::newRow("two presses 501 ms apart are two restarts")
        << QStringList { "press", "wait 501", "press", "now starting" } << "application"
        << "COM3"
        << "factory" << runs;
    QTest::newRow("a third quick press restarts")
        << QStringList { "press", "wait 100", "press", "wait 100", "press" } << "application"
        << "COM3"
        << "factory" << runs;
    QTest::newRow("the port goes at the first press, the new one comes after the delay")
        << QStringList { "delay 1000", "press", "no port", "wait 100", "press", "no port" }
        << "bootloader"
        << "COM7"
        << "factory" << stays;
    QTest::newRow("unplugged") << QStringList { "unplug" } << "unplugged"
                               << ""
                               << "factory"
                               << "";
    QTest::newRow("reset does nothing while unplugged")
        << QStringList { "unplug", "press", "wait 100", "press" } << "unplugged"
        << ""
        << "factory"
        << "";
    QTest::newRow("plugged in: powered on, it starts the application at once")
        << QStringList { "unplug", "plug", "now application" } << "application"
        << "COM3"
        << "factory"
        << "powered on: the bootloader jumped to the application at 0x6000 at once, which runs";
    QTest::newRow("upload, then bossac's reset starts it after the wait")
        << toBootloader + QStringList { "upload 1024", "now starting" } << "application"
        << "COM3"
        << "uploaded" << runs;
    QTest::newRow("a press during the wait after bossac's reset keeps the bootloader")
        << toBootloader + QStringList { "upload 1024", "wait 400", "press", "now bootloader" }
        << "bootloader"
        << "COM7"
        << "uploaded" << stays;
    QTest::newRow("an image linked for 0x2000 hangs with no port")
        << toBootloader + QStringList { "upload-0x2000 2048" } << "hung"
        << ""
        << "uploaded"
        << "its reset vector 0x000020b5 points outside the image";
    QTest::newRow("an erased reset vector with a valid stack pointer hangs")
        << toBootloader + QStringList { "upload-erased-reset 2048" } << "hung"
        << ""
        << "uploaded"
        << "which hangs: its reset vector reads erased (0xffffffff)";
    QTest::newRow("an erased stack pointer keeps the bootloader at once")
        << toBootloader + QStringList { "erase", "now bootloader", "press", "now bootloader" }
        << "bootloader"
        << "COM7"
        << "erased"
        << "0x6000 reads erased: there is no application, so the bootloader stays at once";
    QTest::newRow("an erased stack pointer keeps the bootloader at power-on")
        << toBootloader + QStringList { "erase", "unplug", "plug", "now bootloader" }
        << "bootloader"
        << "COM7"
        << "erased"
        << "0x6000 reads erased";
    for (int size : { 1024, 20480 }) {
        QTest::addRow("unplugged mid-write, %d bytes", size)
            << toBootloader + QStringList { unplugMidWrite, QStringLiteral("upload %1").arg(size) }
            << "unplugged"
            << ""
            << "partly written" << unpluggedMidWrite;
        QTest::addRow("stops answering mid-write, %d bytes", size)
            << toBootloader + QStringList { silenceMidWrite, QStringLiteral("upload %1").arg(size) }
            << "silent"
            << "COM7"
            << "partly written" << stoppedAnswering;
    }
    QTest::newRow("a silent board stays silent when faults are armed")
        << toBootloader
            + QStringList { silenceMidWrite, "upload 1024", unplugMidWrite, silenceMidWrite }
        << "silent"
        << "COM7"
        << "partly written" << stoppedAnswering;
    QTest::newRow("interrupted 2 KiB image, plugged in again: no port")
        << toBootloader + QStringList { unplugMidWrite, "upload 2048", "plug" } << "hung"
        << ""
        << "partly written" << cutShort;
    QTest::newRow("interrupted 2 KiB image, reset: no port")
        << toBootloader + QStringList { silenceMidWrite, "upload 2048", "press" } << "hung"
        << ""
        << "partly written" << cutShort;
    // Its handlers lie in what was written: only what bossac did tells that it is cut
    // short.
    QTest::newRow("interrupted 20 KiB image with its handlers first, plugged in: no port")
        << toBootloader + QStringList { unplugMidWrite, "upload-handlers-first 20480", "plug" }
        << "hung"
        << ""
        << "partly written" << cutShort;
    QTest::newRow("interrupted 20 KiB image with its handlers first, reset: no port")
        << toBootloader + QStringList { silenceMidWrite, "upload-handlers-first 20480", "press" }
        << "hung"
        << ""
        << "partly written" << cutShort;
    QTest::newRow("a whole 20 KiB image with its handlers first starts")
        << toBootloader + QStringList { "upload-handlers-first 20480" } << "application"
        << "COM3"
        << "uploaded" << runs;
    QTest::newRow("interrupted 20 KiB image with its handlers first: only a double press "
                  "brings COM7 back")
        << toBootloader
            + QStringList { unplugMidWrite, "upload-handlers-first 20480", "plug", "now hung",
                  "press", "settle", "now hung", "press", "wait 100", "press" }
        << "bootloader"
        << "COM7"
        << "partly written" << stays;
    QTest::newRow("a complete upload after an interrupted one starts") << toBootloader
            + QStringList { unplugMidWrite, "upload 2048", "plug", "press", "wait 100", "press",
                  "upload 2048" } << "application"
                                                                       << "COM3"
                                                                       << "uploaded" << runs;
    QTest::newRow("a locked region is neither erased nor written")
        << QStringList { "lock 0xFFFD" } + toBootloader + QStringList { "upload 4096" } << "hung"
        << ""
        << "locked"
        << "the NVM controller refused to erase or write locked rows";
    QTest::newRow("a port that cannot be made is said")
        << QStringList { "lose the folder", "press" } << "application"
        << "COM3"
        << "factory"
        << "cannot make its port COM3: cannot link";
}

void SimulatedBoardTest::boardLifeCycle()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, state);
    QFETCH(QString, port);
    QFETCH(QString, image);
    QFETCH(QString, says);

    QTemporaryDir folder;
    SimulatedBoard board(folder.path());
    QVERIFY2(board.isRunning(), qPrintable(board.errorString()));
    board.setEnumerationDelay(0);
    // The board's clock moves only as the steps say: a test paused or slowed down by a
    // busy machine presses at the times it means to.
    std::atomic<qint64> now { 0 };
    board.setClock([&now] { return now.load(); });
    const auto settle = [&] {
        now += 10000;
        return settled(board);
    };
    QByteArray uploaded;
    for (const QString &step : qAsConst(steps)) {
        const QStringList words = step.split(' ');
        if (step != "press" && words.first() != "wait" && words.first() != "now"
            && step != "no port")
            QVERIFY2(settle(), qPrintable(board.stateText()));
        if (step == "press") {
            board.pressReset();
        } else if (words.first() == "wait") {
            now += words.at(1).toLongLong();
        } else if (words.first() == "now") {
            QCOMPARE(board.stateName(), words.at(1));
        } else if (step == "no port") {
            QCOMPARE(board.portName(), QString());
        } else if (words.first() == "delay") {
            board.setEnumerationDelay(words.at(1).toInt());
        } else if (words.first() == "lock") {
            board.setLockBits(static_cast<quint16>(words.at(1).toUInt(nullptr, 16)));
        } else if (step == "unplug") {
            board.unplug();
        } else if (step == "plug") {
            board.plugIn();
        } else if (words.first() == "arm") {
            QVERIFY(board.armFault(SambaBoard::faultNamed(words.at(1)))
                || board.state() != SimulatedBoard::Bootloader);
        } else if (step == "erase") {
            upload(board, folder.path(), QByteArray());
        } else if (words.first().startsWith("upload")) {
            const int size = words.at(1).toInt();
            const QString kind = words.first();
            uploaded = kind == "upload-0x2000" ? linkedFor0x2000(size)
                : kind == "upload-erased-reset"
                ? withWord(sampleApplication(size, 3), 4, 0xFFFFFFFF)
                : kind == "upload-handlers-first"
                ? sampleApplication(size, 3, HandlerPlacement::First)
                : sampleApplication(size, 3);
            upload(board, folder.path(), uploaded);
        } else if (step == "settle") {
        } else if (step == "lose the folder") {
            QVERIFY(QDir(folder.path()).removeRecursively());
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY2(settle(), qPrintable(board.stateText()));

    QCOMPARE(board.stateName(), state);
    QCOMPARE(board.portName(), port);
    QVERIFY2(says.isEmpty() ? board.message().isEmpty() : board.message().contains(says),
        qPrintable(board.message()));
    QVERIFY(board.belowApplicationUntouched());
    const QByteArray flash = board.flash().mid(0x6000);
    const QByteArray factory = SimulatedBoard::factoryFlash().mid(0x6000);
    if (image == "factory") {
        QCOMPARE(board.flash(), SimulatedBoard::factoryFlash());
    } else if (image == "uploaded") {
        QVERIFY(board.holdsImage(uploaded));
    } else if (image == "erased") {
        QCOMPARE(flash, QByteArray(flash.size(), '\xFF'));
    } else if (image == "locked") {
        // Region 1 ends at 0x8000: up to there the factory's image, then erased.
        QCOMPARE(flash.left(0x2000), factory.left(0x2000));
        QCOMPARE(flash.mid(0x2000), QByteArray(flash.size() - 0x2000, '\xFF'));
    } else {
        // Some of the image is there, then erased flash up to its end.
        int written = 0;
        while (written < uploaded.size() && flash.at(written) == uploaded.at(written))
            ++written;
        QVERIFY2(written > 0 && written < uploaded.size(), qPrintable(QString::number(written)));
        QCOMPARE(flash.mid(written, uploaded.size() - written),
            QByteArray(uploaded.size() - written, '\xFF'));
    }
    // The port named is really there, in the mode its state says.
    if (!port.isEmpty() && QDir(folder.path()).exists())
        QCOMPARE(answerToProbe(board, folder.path()),
            state == "bootloader" ? QByteArray("\n\r") : QByteArray());
    // A board with no port has no link in the folder either.
    if (port.isEmpty() && QDir(folder.path()).exists())
        QCOMPARE(QDir(folder.path()).entryList(QDir::System), QStringList());
}

void SimulatedBoardTest::startRule_data()
{
    QTest::addColumn<QByteArray>("image"); // at 0x6000, erased flash after it
    QTest::addColumn<quint32>("vectorTable");
    QTest::addColumn<int>("reset"); // SimulatedBoard::ResetCause
    QTest::addColumn<bool>("tapMagic");
    QTest::addColumn<int>("damage"); // SimulatedBoard::Cause: how the last upload left it
    QTest::addColumn<QString>("startCase");
    QTest::addColumn<QString>("afterJump"); // the state; empty: no jump
    QTest::addColumn<QString>("reason"); // part of it

    const QByteArray sample = sampleApplication(1024, 1);
    const QByteArray erased(1024, '\xFF');
    const quint32 at = 0x6000;
    const int button = SimulatedBoard::ResetButton;
    const int powerOn = SimulatedBoard::PowerOn;
    const int bossac = SimulatedBoard::SystemReset;
    const int intact = SimulatedBoard::NoCause;
    const QString stackPointer = QStringLiteral("stack pointer 0x%1 is not in RAM");
    const QString outside = QStringLiteral("points outside the image");

    // The bootloader's own tests, in their order.
    QTest::newRow("erased stack pointer: stays at once")
        << erased << at << button << false << intact << "ErasedStackPointer"
        << ""
        << "";
    QTest::newRow("erased stack pointer: stays at power-on too")
        << QByteArray() << at << powerOn << false << intact << "ErasedStackPointer"
        << ""
        << "";
    QTest::newRow("erased stack pointer before the magic")
        << erased << at << button << true << intact << "ErasedStackPointer"
        << ""
        << "";
    QTest::newRow("a vector table off VTOR's 128-byte grid: stays")
        << sample << at + 0x40 << button << false << intact << "MisalignedVectorTable"
        << ""
        << "";
    QTest::newRow("power-on: jumps at once")
        << sample << at << powerOn << false << intact << "PowerOnReset"
        << "application"
        << "which runs";
    QTest::newRow("power-on: the magic does not count")
        << sample << at << powerOn << true << intact << "PowerOnReset"
        << "application"
        << "which runs";
    QTest::newRow("a second tap: stays") << sample << at << button << true << intact << "SecondTap"
                                         << ""
                                         << "";
    QTest::newRow("a first tap: the wait, then the jump")
        << sample << at << button << false << intact << "FirstTap"
        << "application"
        << "which runs";
    QTest::newRow("bossac's reset is a first tap")
        << sample << at << bossac << false << intact << "FirstTap"
        << "application"
        << "which runs";
    QTest::newRow("a press during the wait after bossac's reset is a second tap")
        << sample << at << button << true << intact << "SecondTap"
        << ""
        << "";

    QTest::newRow("the demo's blink.bin, after a first tap")
        << sampleApplication(10240, 0xB1B1) << at << button << false << intact << "FirstTap"
        << "application"
        << "which runs";
    QTest::newRow("the factory's application, after a first tap")
        << SimulatedBoard::factoryFlash().mid(0x6000, 9216) << at << button << false << intact
        << "FirstTap"
        << "application"
        << "which runs";

    // What the chip makes of the application after the jump.
    QTest::newRow("stack pointer at the top of RAM")
        << withWord(sample, 0, 0x20008000) << at << button << false << intact << "FirstTap"
        << "application"
        << "which runs";
    QTest::newRow("stack pointer above RAM")
        << withWord(sample, 0, 0x20008004) << at << button << false << intact << "FirstTap"
        << "hung" << stackPointer.arg("20008004");
    QTest::newRow("stack pointer at the bottom of RAM")
        << withWord(sample, 0, 0x20000000) << at << powerOn << false << intact << "PowerOnReset"
        << "hung" << stackPointer.arg("20000000");
    QTest::newRow("not an image at all: an ELF file")
        << withWord(sample, 0, 0x464C457F) << at << button << false << intact << "FirstTap"
        << "hung" << stackPointer.arg("464c457f");
    QTest::newRow("not an image at all: text")
        << QByteArray("Hello, board.\n") << at << button << false << intact << "FirstTap"
        << "hung" << stackPointer.arg("6c6c6548");
    QTest::newRow("a valid stack pointer and an erased reset vector")
        << withWord(sample, 4, 0xFFFFFFFF) << at << button << false << intact << "FirstTap"
        << "hung"
        << "its reset vector reads erased (0xffffffff)";
    QTest::newRow("reset vector without the Thumb bit")
        << withWord(sample, 4, 0x60B4) << at << button << false << intact << "FirstTap"
        << "hung"
        << "0x000060b4 is not Thumb code";
    QTest::newRow("linked for 0x2000")
        << withWord(sample, 4, 0x20B5) << at << button << false << intact << "FirstTap"
        << "hung" << outside;
    QTest::newRow("reset vector into the vector table")
        << withWord(sample, 4, 0x6005) << at << button << false << intact << "FirstTap"
        << "hung" << outside;
    QTest::newRow("reset vector past the image")
        << withWord(sample, 4, 0x6000 + 1024 + 1) << at << button << false << intact << "FirstTap"
        << "hung" << outside;
    QTest::newRow("reset vector on the last halfword of the image")
        << withWord(sample, 4, 0x6000 + 1022 + 1) << at << button << false << intact << "FirstTap"
        << "application"
        << "which runs";
    QTest::newRow("shorter than two words")
        << sample.left(7) << at << button << false << intact << "FirstTap"
        << "hung" << outside;
    QTest::newRow("an image cut short hangs, wherever its handlers lie")
        << sampleApplication(20480, 2, HandlerPlacement::First).left(2048) << at << button << false
        << int(SimulatedBoard::CutShort) << "FirstTap"
        << "hung"
        << "which hangs: the image is cut short";
    QTest::newRow("a short image written whole runs")
        << sampleApplication(256, 2, HandlerPlacement::First) << at << powerOn << false << intact
        << "PowerOnReset"
        << "application"
        << "which runs";
    QTest::newRow("an upload that met locked rows hangs")
        << sample << at << button << false << int(SimulatedBoard::LockedRows) << "FirstTap"
        << "hung"
        << "refused to erase or write locked rows";
}

void SimulatedBoardTest::startRule()
{
    QFETCH(QByteArray, image);
    QFETCH(quint32, vectorTable);
    QFETCH(int, reset);
    QFETCH(bool, tapMagic);
    QFETCH(int, damage);
    QFETCH(QString, startCase);
    QFETCH(QString, afterJump);
    QFETCH(QString, reason);
    QByteArray flash = SimulatedBoard::factoryFlash();
    flash.replace(0x6000, flash.size() - 0x6000, QByteArray(flash.size() - 0x6000, '\xFF'));
    flash.replace(0x6000, image.size(), image);

    const SimulatedBoard::StartCase found = SimulatedBoard::startCase(Samd21::wordAt(flash, 0x6000),
        vectorTable, static_cast<SimulatedBoard::ResetCause>(reset), tapMagic);
    QCOMPARE(
        QString::fromLatin1(QMetaEnum::fromType<SimulatedBoard::StartCase>().valueToKey(found)),
        startCase);
    const SimulatedBoard::Decision decision = SimulatedBoard::startRow(found).decision;
    QCOMPARE(decision == SimulatedBoard::StayAtOnce, afterJump.isEmpty());
    QCOMPARE(decision == SimulatedBoard::WaitThenJump, startCase == "FirstTap");
    if (afterJump.isEmpty())
        return;
    const SimulatedBoard::Outcome outcome
        = SimulatedBoard::afterJump(flash, static_cast<SimulatedBoard::Cause>(damage));
    QCOMPARE(
        QString::fromLatin1(QMetaEnum::fromType<SimulatedBoard::State>().valueToKey(outcome.state))
            .toLower(),
        afterJump);
    QVERIFY2(outcome.reason.contains(reason), qPrintable(outcome.reason));

    // What the board would start, the uploader must let through to bossac.
    if (outcome.state == SimulatedBoard::Application) {
        ScopedWorkingDirectory cwd;
        QVERIFY(createFile(QStringLiteral("image.bin"), image));
        QCOMPARE(firmwareFileProblem(QStringLiteral("image.bin")), QString());
    }
}

void SimulatedBoardTest::storyPlaysThroughTheRealBossac_data()
{
    QTest::addColumn<QByteArray>("image"); // empty: the demo's own blink.bin
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("signal"); // sent mid-upload; 0: none
    QTest::addColumn<int>("exitCode"); // after a SIGKILL: the signal
    QTest::addColumn<QStringList>("ending");

    const QString runs = QStringLiteral(
        "board  | no second reset within half a second: the bootloader jumped to the application "
        "at 0x6000, which runs");
    const QString notLinkedFor0x6000 = QStringLiteral(
        "no second reset within half a second: the bootloader jumped to the application at "
        "0x6000, which hangs: its reset vector 0x000020b5 points outside the image");
    const QStringList uploading {
        "window | Uploading...",
        "window | bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"",
        "window | Device       : ATSAMD21x18",
    };
    const QStringList done = uploading + QStringList { "window | Done!" };
    const QStringList started { runs, "board  | runs its application on COM3 (Adafruit Feather M0)",
        "window | Autoselected port COM3", "board  | 0x6000 holds blink.bin byte for byte",
        "story: every step happened as it should." };
    // A new port comes 1.5 s after the press here, not 1 s: the story opens the list
    // once before COM7 is there, which a busy demo could otherwise miss. The other rows
    // do not look at that, and take a quicker port and flash.
    const QStringList slowPort { "--enumeration-delay", "1500" };
    const QStringList quick { "--enumeration-delay", "100", "--instant-flash" };
    // At the chip's pace: the Done in lines are checked against it.
    QTest::newRow("blink.bin") << QByteArray() << slowPort << 0 << 0
                               << done + QStringList { "6. The board restarts." } + started;
    // The window refuses what bossac would erase the board for, and the board, reset
    // once, runs the application it held. "<cwd>" is the folder the demo starts in.
    QTest::newRow("image linked for 0x2000")
        << linkedFor0x2000(6000) << quick << 0 << 1
        << QStringList { "window | Error, <cwd>/elsewhere/blink.bin seems linked for 0x2000, "
                         "not for 0x6000: build it for 0x6000",
               "story  | The window refused blink.bin, so bossac never started.",
               "board  | runs its application on COM3 (Adafruit Feather M0)",
               "board  | its flash is as before: nothing below or above 0x6000 changed",
               "story: step 5 went wrong: the window refused blink.bin; the board still runs "
               "its old application" };
    // The fault strikes, the window gives its verdict, and the board is brought back as
    // it says: pressed twice, and flashed again.
    QTest::newRow("a board that stops answering, and the recovery")
        << QByteArray() << quick + QStringList { "--fault", "stop-answering-during-next-write" }
        << 0 << 0
        << QStringList { "5. The board will stop answering during the next write" } + uploading
            + QStringList { "board  | stopped answering while bossac was writing",
                  "board  | has stopped answering on COM7 (Arduino Zero)",
                  "window | SAM-BA operation failed", "window | Error, exited with code 1",
                  "story  | Error, exited with code 1: the upload failed as it should. Press reset "
                  "twice and upload again.",
                  "6. Reset is pressed twice within half a second.",
                  "board  | reset again within half a second: the bootloader stays",
                  "board  | waits in its bootloader on COM7 (Arduino Zero)",
                  "window | Autoselected port COM7", "7. Upload is pressed again." }
            + done + QStringList { "8. The board restarts." } + started;
    // bossac hangs on the port of a board unplugged mid-write until the window stops it,
    // here after 12 s, not 60; meanwhile the story says what it waits for. Plugged in,
    // the board jumps into the image cut short and hangs until reset is pressed twice.
    QTest::newRow("a board unplugged mid-write, and the recovery")
        << QByteArray()
        << quick + QStringList { "--fault", "unplug-during-next-write", "--upload-limit", "12" }
        << 0 << 0
        << QStringList { "5. The board will be unplugged during the next write" } + uploading
            + QStringList { "board  | unplugged while bossac was writing", "board  | is unplugged",
                  "story  | 10 s since Upload: bossac waits on the port of a board that was "
                  "unplugged; the window stops it 12 s after Upload, in 2 s.",
                  "window | Error, bossac did not finish within 12 seconds",
                  "story  | Error, bossac did not finish within 12 seconds: the upload failed as "
                  "it "
                  "should. Plug it in; it may show no port: press reset twice for the bootloader, "
                  "then upload again.",
                  "6. The board is plugged in again.",
                  "board  | powered on: the bootloader jumped to the application at 0x6000 at "
                  "once, "
                  "which hangs: the image is cut short",
                  "board  | shows no port: the application does not run",
                  "story  | Its upload was interrupted: press reset twice for the bootloader, then "
                  "upload it again.",
                  "7. Reset is pressed twice within half a second.",
                  "board  | reset again within half a second: the bootloader stays",
                  "board  | waits in its bootloader on COM7 (Arduino Zero)",
                  "window | Autoselected port COM7", "8. Upload is pressed again." }
            + done + QStringList { "9. The board restarts." } + started;
    // The demo ends with the bossac that hangs on the unplugged port, and leaves no
    // folder behind at the next start at the latest.
    const QStringList unplugged
        = uploading + QStringList { "board  | unplugged while bossac was writing" };
    for (int signal : { SIGTERM, SIGKILL })
        QTest::addRow("signal %d while bossac hangs on an unplugged board", signal)
            << QByteArray() << quick + QStringList { "--fault", "unplug-during-next-write" }
            << signal << (signal == SIGTERM ? 128 + SIGTERM : SIGKILL)
            << (signal == SIGTERM ? unplugged + QStringList { "story: interrupted by signal 15" }
                                  : unplugged);
}

void SimulatedBoardTest::storyPlaysThroughTheRealBossac()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, options);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QStringList, ending);

    ScopedWorkingDirectory cwd;
    ending.replaceInStrings(QStringLiteral("<cwd>"), cwd.path());
    const bool uploaded = ending.contains(QStringLiteral("window | Uploading..."));
    const QString temporary = cwd.filePath("tmp");
    QVERIFY(QDir().mkpath(temporary));
    QStringList arguments = QStringList { "--story" } + options;
    if (!image.isEmpty()) {
        // In a folder of its own, named as the sample is: it is flashed all the same.
        QVERIFY(QDir().mkpath(cwd.filePath("elsewhere")));
        QFile file(cwd.filePath("elsewhere/blink.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
        arguments << "--image" << file.fileName();
    }
    DemoProcess demo(temporary);
    demo.start(QStringLiteral(UVO_DEMO), arguments);
    const int limitAt = options.indexOf("--upload-limit");
    if (limitAt >= 0) {
        // The window stops the bossac that hangs on the unplugged port at its limit.
        // (A QTRY would wait three times as long before it fails.)
        QVERIFY(demo.waitForLine("board  | unplugged while bossac was writing"));
        const bool stopped = QTest::qWaitFor([&] { return leftoverBossac(temporary).isEmpty(); },
            (options.at(limitAt + 1).toInt() + 8) * 1000);
        QVERIFY2(stopped, qPrintable(leftoverBossac(temporary).join('\n')));
    }
    if (signal) {
        QVERIFY(demo.waitForLine("board  | unplugged while bossac was writing"));
        QVERIFY2(!leftoverBossac(temporary).isEmpty(),
            qPrintable(QString::fromUtf8(
                demo.output + demo.readAllStandardOutput() + demo.readAllStandardError())));
        ::kill(static_cast<pid_t>(demo.processId()), signal);
        // Gone within seconds, not when the window's 60 s limit ends bossac.
        QVERIFY2(demo.waitForFinished(5000), "the demo did not end within 5 s");
        QTRY_VERIFY2_WITH_TIMEOUT(leftoverBossac(temporary).isEmpty(),
            qPrintable(leftoverBossac(temporary).join('\n')), 5000);
    }
    QVERIFY2(demo.state() == QProcess::NotRunning || demo.waitForFinished(60000),
        "the story did not end");
    demo.output += demo.readAllStandardOutput();
    const QString output = QString::fromUtf8(demo.output);
    const QString errors = QString::fromUtf8(demo.readAllStandardError());
    const QStringList lines = output.split('\n');

    // Every step's lines, in order, then how the story ends.
    const bool portLate = options.contains("1500");
    const QString runs = QStringLiteral(
        "board  | no second reset within half a second: the bootloader jumped to the "
        "application at 0x6000, which runs");
    const QStringList expected = QStringList {
        "board  | runs its application on COM3 (Adafruit Feather M0)",
        "window | Autoselected port COM3",
        "window | Please put device in bootloader mode!",
        "window | To put the device in bootloader mode, press the onboard reset button twice "
        "within half a second.",
        "window | Then select the new port.",
        "3. Reset is pressed, and again 0.7 s later",
        runs,
        runs,
        "window | Autoselected port COM3",
        "4. Reset is pressed twice within half a second",
        "board  | reset again within half a second: the bootloader stays",
        "board  | waits in its bootloader; its port is not there yet",
        portLate ? "list   | Select Port" : "list   | ",
        portLate ? "story  | COM7 is not there yet" : "story  | COM7 ",
        "board  | waits in its bootloader on COM7 (Arduino Zero)",
        "list   | Select Port, COM7",
        "window | Autoselected port COM7",
    } + ending;
    // The board's lines come from its own thread as it acts, bossac's through the
    // window as the window reads them: each in order, but the two interleave as they
    // come.
    const auto fromBoard = [](const QString &line) { return line.startsWith("board  | "); };
    for (bool board : { false, true }) {
        int at = 0;
        for (const QString &line : expected) {
            if (fromBoard(line) != board)
                continue;
            while (at < lines.size()
                && (fromBoard(lines.at(at)) != board || !lines.at(at).startsWith(line)))
                ++at;
            QVERIFY2(at < lines.size(),
                qPrintable(QStringLiteral("missing or out of order: %1\n%2\n%3")
                               .arg(line, output, errors)));
            ++at;
        }
    }
    if (portLate)
        QCOMPARE(lines.filter(QRegularExpression("^list   \\| Select Port$")).size(), 1);
    // Nothing reached bossac before the board was in its bootloader, nor after a refusal.
    if (uploaded)
        QVERIFY(output.indexOf("Uploading...") > output.indexOf("Autoselected port COM7"));
    else
        QVERIFY(!output.contains("Uploading..."));
    // At the chip's pace bossac's erase and write take at least the NVM controller's
    // time: 928 rows above 0x6000, and the 160 pages of blink.bin.
    if (!options.contains("--instant-flash")) {
        const QStringList doneIn
            = lines.filter(QRegularExpression("^window \\| Done in [0-9.]+ seconds$"));
        QCOMPARE(doneIn.size(), 2);
        const auto seconds = [](const QString &line) { return line.split(' ').at(4).toDouble(); };
        const SambaMonitor::FlashTiming timing = SambaMonitor::typicalTiming();
        QVERIFY2(seconds(doneIn.at(0)) >= 928 * timing.rowEraseMicroseconds / 1e6,
            qPrintable(doneIn.at(0)));
        QVERIFY2(seconds(doneIn.at(1)) >= 160 * timing.pageWriteMicroseconds / 1e6,
            qPrintable(doneIn.at(1)));
    }
    if (signal == SIGKILL) {
        QCOMPARE(demo.exitStatus(), QProcess::CrashExit);
        // Killed, it left its folder; the next start removes it.
        QCOMPARE(demoFolders(temporary).size(), 1);
        DemoProcess next(temporary);
        next.start(QStringLiteral(UVO_DEMO), { "--serve", cwd.path() });
        next.closeWriteChannel();
        QVERIFY(next.waitForFinished(25000));
    } else {
        QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    }
    QVERIFY2(demo.exitCode() == exitCode || signal == SIGKILL, qPrintable(output + errors));
    QCOMPARE(demoFolders(temporary), QStringList());
}

void SimulatedBoardTest::servedBoardFollowsCommandsAndCleansUp()
{
    ScopedWorkingDirectory cwd;
    const QString temporary = cwd.filePath("tmp");
    const QString served = cwd.filePath("served");
    QVERIFY(QDir().mkpath(served));
    // One folder of a demo that was killed, one of a demo that still runs.
    for (const char *folder : { "tmp/uvo-demo-killed", "tmp/uvo-demo-running" }) {
        QVERIFY(QDir().mkpath(cwd.filePath(folder)));
        QFile owner(cwd.filePath(QString::fromLatin1(folder) + QStringLiteral("/.owner")));
        QVERIFY(owner.open(QIODevice::WriteOnly));
    }
    const int running = ::open(
        QFile::encodeName(cwd.filePath("tmp/uvo-demo-running/.owner")).constData(), O_RDONLY);
    QVERIFY(running >= 0 && ::flock(running, LOCK_EX) == 0);

    DemoProcess demo(temporary);
    demo.start(QStringLiteral(UVO_DEMO),
        { "--serve", served, "--instant-flash", "--enumeration-delay", "200" });
    // The board's line names its port's description, and whether the port ever heard a
    // byte: what a script needs that names the ports as Windows would.
    QVERIFY(demo.waitForLine("board: state=application port=COM3 image=other bootloader=intact "
                             "heard=0 description=\"Adafruit Feather M0\"\n"));
    QCOMPARE(demoFolders(temporary), QStringList { "uvo-demo-running" });
    // A fault takes in the bootloader only, and says so when it does not.
    demo.write("stop-answering-during-next-write\n");
    QVERIFY(demo.waitForError("cannot arm stop-answering-during-next-write: a fault takes in "
                              "the bootloader only, once its port is there, and the board runs "
                              "its application\n"));
    demo.write("reset-twice\n");
    const QString stays
        = QStringLiteral("says=\"reset again within half a second: the bootloader stays\"\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "heard=0 description=\"Arduino Zero\" "
        + stays));
    QVERIFY(!QFileInfo::exists(served + "/COM3"));
    QVERIFY(QFileInfo(served + "/COM7").symLinkTarget().startsWith("/dev/pts/"));

    // The real bossac against a board that stops answering half way through the
    // first chunk: it waits out its 5 s for the reply and gives up. The image keeps its
    // handlers at its start, in what was written before the fault.
    demo.write("stop-answering-during-next-write\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "armed=stop-answering-during-next-write heard=0 "
                             "description=\"Arduino Zero\" "
        + stays));
    QFile application(cwd.filePath("handlers-first.bin"));
    QVERIFY(application.open(QIODevice::WriteOnly));
    application.write(sampleApplication(20480, 5, HandlerPlacement::First));
    application.close();
    QProcess bossac;
    bossac.setWorkingDirectory(served);
    bossac.start("bossac",
        { "-i", "-d", "--port=COM7", "-U", "-i", "--offset=0x6000", "-e", "-w",
            application.fileName(), "-R" });
    QVERIFY(bossac.waitForFinished(30000));
    QCOMPARE(bossac.exitCode(), 1);
    QVERIFY(bossac.readAllStandardError().contains("SAM-BA operation failed"));
    QVERIFY(demo.waitForLine("board: state=silent port=COM7 image=other bootloader=intact heard="));
    QVERIFY(demo.waitForLine("description=\"Arduino Zero\" "
                             "says=\"stopped answering while bossac was writing\"\n"));
    // Plugged in again, it jumps at once into the half-written image, which hangs.
    demo.write("unplug\nplug-in\n");
    QVERIFY(demo.waitForLine("board: state=hung port=- image=other bootloader=intact "
                             "says=\"powered on: the bootloader jumped to the application at "
                             "0x6000 at once, which hangs: the image is cut short"));
    demo.write("reset\n");
    QVERIFY(demo.waitForLine("board: state=hung port=- image=other bootloader=intact "
                             "says=\"no second reset within half a second: the bootloader "
                             "jumped to the application at 0x6000, which hangs: the image is "
                             "cut short"));
    demo.write("unplug-during-next-write\nreset-twice\n");
    QVERIFY(demo.waitForError("cannot arm unplug-during-next-write"));
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "heard=0 description=\"Arduino Zero\" "
        + stays));
    demo.write("unplug-during-next-write\nstatus\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "armed=unplug-during-next-write heard=0 description=\"Arduino Zero\" "
        + stays));
    demo.write("quit\n");
    QVERIFY(demo.waitForFinished(25000));
    QCOMPARE(demo.exitCode(), 0);
    ::close(running);

    QFile blink(served + "/blink.bin");
    QVERIFY(blink.open(QIODevice::ReadOnly));
    QCOMPARE(blink.readAll(), sampleApplication(10240, 0xB1B1));
    QCOMPARE(QDir(served).entryList(QDir::Files | QDir::System | QDir::Hidden),
        QStringList { "blink.bin" });
}

void SimulatedBoardTest::demoPrintsOnlyWhatIsAsked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display"); // false: no display of any kind
    QTest::addColumn<QString>("loggingRules"); // QT_LOGGING_RULES; empty: not set
    QTest::addColumn<QString>("shown"); // in what it prints
    QTest::addColumn<QString>("notShown"); // nowhere in it; empty: not checked

    // Help and the version come without a window, so without a display too.
    QTest::newRow("help without a display") << QStringList { "--help" } << false << ""
                                            << "--fault <fault>"
                                            << "";
    QTest::newRow("the version without a display") << QStringList { "--version" } << false << ""
                                                   << "UVOFirmwareUploaderDemo " UVO_VERSION
                                                   << "";
    // The window's port selector writes the descriptions it reads to the debug output.
    QTest::newRow("the window keeps the port list's debug lines to itself")
        << QStringList() << true << ""
        << "Working folder"
        << "Adafruit Feather M0";
    QTest::newRow("the window prints them when asked")
        << QStringList() << true << "default.debug=true"
        << "\"Adafruit Feather M0\""
        << "";
}

void SimulatedBoardTest::demoPrintsOnlyWhatIsAsked()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(QString, loggingRules);
    QFETCH(QString, shown);
    QFETCH(QString, notShown);

    ScopedWorkingDirectory cwd;
    DemoProcess demo(cwd.filePath("tmp"));
    QVERIFY(QDir().mkpath(cwd.filePath("tmp")));
    QProcessEnvironment environment = demo.processEnvironment();
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!loggingRules.isEmpty())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);
    if (display) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            environment.remove(QString::fromLatin1(name));
    }
    demo.setProcessEnvironment(environment);
    demo.start(QStringLiteral(UVO_DEMO), arguments);
    if (display) {
        // The window is built before the event loop runs, which ends it at SIGTERM.
        QVERIFY(demo.waitForLine("Working folder"));
        ::kill(static_cast<pid_t>(demo.processId()), SIGTERM);
    }
    QVERIFY(demo.waitForFinished(25000));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.exitCode(), display ? 128 + SIGTERM : 0);
    const QString printed = QString::fromUtf8(
        demo.output + demo.readAllStandardOutput() + demo.errors + demo.readAllStandardError());
    QVERIFY2(printed.contains(shown), qPrintable(printed));
    QVERIFY2(notShown.isEmpty() || !printed.contains(notShown), qPrintable(printed));
}

QTEST_MAIN(SimulatedBoardTest)
#include "tst_simulatedboard.moc"
