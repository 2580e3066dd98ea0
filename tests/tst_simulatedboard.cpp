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

#include <csignal>
#include <fcntl.h>
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

    QByteArray output;
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
// commands (an empty image: the erase alone); returns once the board has acted on the
// reset, or gave up.
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
    QTRY_VERIFY_WITH_TIMEOUT(board.state() != SimulatedBoard::Bootloader, 10000);
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
};

void SimulatedBoardTest::boardLifeCycle_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("port");
    // factory, uploaded, partly written, erased, or locked (region 1 kept the factory's)
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("says"); // part of the board's message; empty: no message

    const QString started = QStringLiteral("started the application at 0x6000");
    const QString unpluggedMidWrite = QStringLiteral("unplugged while bossac was writing");
    const QString stoppedAnswering = QStringLiteral("stopped answering while bossac was writing");
    const QString cutShort = QStringLiteral("which hangs: the image is cut short");
    const QStringList toBootloader { "press 0", "press 100" };

    QTest::newRow("one press restarts the application")
        << QStringList { "press 0" } << "application"
        << "COM3"
        << "factory" << started;
    QTest::newRow("two presses 500 ms apart keep the bootloader")
        << QStringList { "press 0", "press 500" } << "bootloader"
        << "COM7"
        << "factory"
        << "";
    QTest::newRow("two presses 501 ms apart are two restarts")
        << QStringList { "press 0", "press 501" } << "application"
        << "COM3"
        << "factory" << started;
    QTest::newRow("a third quick press restarts")
        << QStringList { "press 0", "press 100", "press 200" } << "application"
        << "COM3"
        << "factory" << started;
    QTest::newRow("the port goes at the first press, the new one comes after the delay")
        << QStringList { "delay 300", "press 0", "no port", "press 100", "no port" } << "bootloader"
        << "COM7"
        << "factory"
        << "";
    QTest::newRow("unplugged") << QStringList { "unplug" } << "unplugged"
                               << ""
                               << "factory"
                               << "";
    QTest::newRow("reset does nothing while unplugged")
        << QStringList { "unplug", "press 0", "press 100" } << "unplugged"
        << ""
        << "factory"
        << "";
    QTest::newRow("plugged in again") << QStringList { "unplug", "plug" } << "application"
                                      << "COM3"
                                      << "factory" << started;
    QTest::newRow("upload, then bossac's reset starts it")
        << toBootloader + QStringList { "upload 1024" } << "application"
        << "COM3"
        << "uploaded" << started;
    QTest::newRow("an image linked for 0x2000 hangs with no port")
        << toBootloader + QStringList { "upload-0x2000 2048" } << "hung"
        << ""
        << "uploaded"
        << "its reset vector 0x000020b5 points outside the image";
    QTest::newRow("erased 0x6004 keeps the bootloader")
        << toBootloader + QStringList { "erase" } << "bootloader"
        << "COM7"
        << "erased"
        << "0x6004 reads erased";
    for (int size : { 1024, 20480 }) {
        QTest::addRow("unplugged mid-write, %d bytes", size)
            << toBootloader + QStringList { "arm unplug", QStringLiteral("upload %1").arg(size) }
            << "unplugged"
            << ""
            << "partly written" << unpluggedMidWrite;
        QTest::addRow("stops answering mid-write, %d bytes", size)
            << toBootloader + QStringList { "arm silence", QStringLiteral("upload %1").arg(size) }
            << "silent"
            << "COM7"
            << "partly written" << stoppedAnswering;
    }
    QTest::newRow("a silent board stays silent when faults are armed")
        << toBootloader + QStringList { "arm silence", "upload 1024", "arm unplug", "arm silence" }
        << "silent"
        << "COM7"
        << "partly written" << stoppedAnswering;
    QTest::newRow("interrupted 2 KiB image, plugged in again: no port")
        << toBootloader + QStringList { "arm unplug", "upload 2048", "plug" } << "hung"
        << ""
        << "partly written" << cutShort;
    QTest::newRow("interrupted 2 KiB image, reset: no port")
        << toBootloader + QStringList { "arm silence", "upload 2048", "press 1000" } << "hung"
        << ""
        << "partly written" << cutShort;
    QTest::newRow("interrupted 2 KiB image: a double press brings COM7 back") << toBootloader
            + QStringList { "arm unplug", "upload 2048", "plug", "press 1000", "press 1100" }
                                                                              << "bootloader"
                                                                              << "COM7"
                                                                              << "partly written"
                                                                              << "";
    QTest::newRow("a complete upload after an interrupted one starts") << toBootloader
            + QStringList { "arm unplug", "upload 2048", "plug", "press 1000", "press 1100",
                  "upload 2048" } << "application"
                                                                       << "COM3"
                                                                       << "uploaded" << started;
    QTest::newRow("a locked region is neither erased nor written")
        << QStringList { "lock 0xFFFD" } + toBootloader + QStringList { "upload 4096" } << "hung"
        << ""
        << "locked"
        << "the NVM controller refused to erase or write locked rows";
    QTest::newRow("a port that cannot be made is said")
        << QStringList { "lose the folder", "press 0" } << "application"
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
    qint64 now = 0;
    board.setClock([&now] { return now; });
    QByteArray uploaded;
    for (const QString &step : qAsConst(steps)) {
        const QStringList words = step.split(' ');
        // Presses and looks come at once; anything else waits for the board to settle.
        if (words.first() != "press" && step != "no port")
            QVERIFY2(settled(board), qPrintable(board.stateText()));
        if (words.first() == "press") {
            now = words.at(1).toLongLong();
            board.pressReset();
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
        } else if (step == "arm unplug") {
            board.unplugDuringNextWrite();
        } else if (step == "arm silence") {
            board.stopAnsweringDuringNextWrite();
        } else if (step == "erase") {
            upload(board, folder.path(), QByteArray());
        } else if (words.first().startsWith("upload")) {
            const int size = words.at(1).toInt();
            uploaded
                = words.first() == "upload" ? sampleApplication(size, 3) : linkedFor0x2000(size);
            upload(board, folder.path(), uploaded);
        } else if (step == "lose the folder") {
            QVERIFY(QDir(folder.path()).removeRecursively());
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY2(settled(board), qPrintable(board.stateText()));

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
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("reason"); // part of it

    const QByteArray sample = sampleApplication(1024, 1);
    const quint32 resetVector = 0x60B5;
    const QString stackPointer = QStringLiteral("stack pointer 0x%1 is not in RAM");
    const QString outside = QStringLiteral("points outside the image");
    const QString cutShort = QStringLiteral("the image is cut short: its handler 0x%1 lies in "
                                            "erased flash");
    const QString noApplication = QStringLiteral("0x6004 reads erased");
    QTest::newRow("the sample application") << sample << "application"
                                            << "started";
    QTest::newRow("the demo's blink.bin") << sampleApplication(10240, 0xB1B1) << "application"
                                          << "started";
    QTest::newRow("the factory's application")
        << SimulatedBoard::factoryFlash().mid(0x6000, 9216) << "application"
        << "started";
    QTest::newRow("stack pointer at the top of RAM")
        << withWord(sample, 0, 0x20008000) << "application"
        << "started";
    QTest::newRow("stack pointer above RAM")
        << withWord(sample, 0, 0x20008004) << "hung" << stackPointer.arg("20008004");
    QTest::newRow("stack pointer at the bottom of RAM")
        << withWord(sample, 0, 0x20000000) << "hung" << stackPointer.arg("20000000");
    QTest::newRow("not an image at all: an ELF file")
        << withWord(sample, 0, 0x464C457F) << "hung" << stackPointer.arg("464c457f");
    QTest::newRow("not an image at all: text")
        << QByteArray("Hello, board.\n") << "hung" << stackPointer.arg("6c6c6548");
    QTest::newRow("erased flash") << QByteArray(1024, '\xFF') << "bootloader" << noApplication;
    QTest::newRow("nothing at all") << QByteArray() << "bootloader" << noApplication;
    QTest::newRow("only the reset vector erased")
        << withWord(sample, 4, 0xFFFFFFFF) << "bootloader" << noApplication;
    QTest::newRow("reset vector without the Thumb bit")
        << withWord(sample, 4, resetVector - 1) << "hung"
        << "0x000060b4 is not Thumb code";
    QTest::newRow("linked for 0x2000") << withWord(sample, 4, 0x20B5) << "hung" << outside;
    QTest::newRow("reset vector into the vector table")
        << withWord(sample, 4, 0x6005) << "hung" << outside;
    QTest::newRow("reset vector past the image")
        << withWord(sample, 4, 0x6000 + 1024 + 1) << "hung" << outside;
    QTest::newRow("reset vector on the last halfword of the image")
        << withWord(sample, 4, 0x6000 + 1022 + 1) << "application"
        << "started";
    QTest::newRow("shorter than two words") << sample.left(7) << "hung" << outside;
    QTest::newRow("cut short half way") << sample.left(512) << "hung" << cutShort.arg("000063ff");
    QTest::newRow("cut short by a page")
        << sample.left(1024 - 64) << "hung" << cutShort.arg("000063ff");
    QTest::newRow("a 10 KiB image cut short after 2 KiB")
        << sampleApplication(10240, 2).left(2048) << "hung" << cutShort.arg("000087ff");
    QTest::newRow("an exception handler that is 0 is never called")
        << withWord(sample, 4 * 14, 0) << "application"
        << "started";
}

void SimulatedBoardTest::startRule()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, state);
    QFETCH(QString, reason);
    QByteArray flash = SimulatedBoard::factoryFlash();
    flash.replace(0x6000, flash.size() - 0x6000, QByteArray(flash.size() - 0x6000, '\xFF'));
    flash.replace(0x6000, image.size(), image);

    const SimulatedBoard::Start start = SimulatedBoard::startRule(flash);
    QCOMPARE(
        QString::fromLatin1(QMetaEnum::fromType<SimulatedBoard::State>().valueToKey(start.state))
            .toLower(),
        state);
    QVERIFY2(start.reason.contains(reason), qPrintable(start.reason));

    // What the board would start, the uploader must let through to bossac.
    if (start.state == SimulatedBoard::Application) {
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

    const QStringList uploading {
        "window | Uploading...",
        "window | bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"",
        "window | Device       : ATSAMD21x18",
    };
    const QStringList done = uploading + QStringList { "window | Done!", "6. The board restarts." };
    // A new port comes 2.5 s after the press here, not 1 s: the story opens the list
    // once before COM7 is there, which a paused or busy demo could otherwise miss.
    const QStringList slowPort { "--enumeration-delay", "2500" };
    const QStringList instant = slowPort + QStringList { "--instant-flash" };
    // At the chip's pace: the Done in lines are checked against it.
    QTest::newRow("blink.bin") << QByteArray() << slowPort << 0 << 0
                               << done
            + QStringList { "board  | started the application at 0x6000",
                  "board  | runs its application on COM3 (Adafruit Feather M0)",
                  "window | Autoselected port COM3",
                  "board  | 0x6000 holds blink.bin byte for byte",
                  "story: every step happened as it should." };
    // The window refuses what bossac would erase the board for, and the board, reset
    // once, runs the application it held. "<cwd>" is the folder the demo starts in.
    QTest::newRow("image linked for 0x2000")
        << linkedFor0x2000(6000) << instant << 0 << 1
        << QStringList { "window | Error, <cwd>/elsewhere/blink.bin seems linked for 0x2000, "
                         "not for 0x6000: build it for 0x6000",
               "story  | The window refused blink.bin, so bossac never started.",
               "board  | started the application at 0x6000",
               "board  | runs its application on COM3 (Adafruit Feather M0)",
               "board  | its flash is as before: nothing below or above 0x6000 changed",
               "story: step 5 went wrong: the window refused blink.bin; the board still runs "
               "its old application" };
    // The demo ends with the bossac that hangs on the unplugged port, and leaves no
    // folder behind at the next start at the latest.
    const QStringList unplugged
        = uploading + QStringList { "board  | unplugged while bossac was writing" };
    for (int signal : { SIGTERM, SIGKILL })
        QTest::addRow("signal %d while bossac hangs on an unplugged board", signal)
            << QByteArray() << instant + QStringList { "--fault", "unplug-during-next-write" }
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
    if (signal) {
        QVERIFY(demo.waitForLine("board  | unplugged while bossac was writing"));
        QVERIFY(!leftoverBossac(temporary).isEmpty());
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
    const QStringList expected = QStringList {
        "board  | runs its application on COM3 (Adafruit Feather M0)",
        "window | Autoselected port COM3",
        "window | Please put device in bootloader mode!",
        "window | To put the device in bootloader mode, press the onboard reset button twice "
        "within half a second.",
        "window | Then select the new port.",
        "3. Reset is pressed, and again 0.7 s later",
        "board  | started the application at 0x6000",
        "board  | started the application at 0x6000",
        "window | Autoselected port COM3",
        "4. Reset is pressed twice within half a second",
        "board  | waits in its bootloader; its port is not there yet",
        "list   | Select Port",
        "story  | COM7 is not there yet",
        "board  | waits in its bootloader on COM7 (Arduino Zero)",
        "list   | Select Port, COM7",
        "window | Autoselected port COM7",
    } + ending;
    int at = 0;
    for (const QString &line : expected) {
        while (at < lines.size() && !lines.at(at).startsWith(line))
            ++at;
        QVERIFY2(at < lines.size(),
            qPrintable(
                QStringLiteral("missing or out of order: %1\n%2\n%3").arg(line, output, errors)));
        ++at;
    }
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
        const SambaMonitor::FlashTiming timing = SambaMonitor::datasheetTiming();
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
    demo.write("reset-twice\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "heard=0 description=\"Arduino Zero\"\n"));
    QVERIFY(!QFileInfo::exists(served + "/COM3"));
    QVERIFY(QFileInfo(served + "/COM7").symLinkTarget().startsWith("/dev/pts/"));

    // The real bossac against a board that stops answering half way through the
    // first chunk: it waits out its 5 s for the reply and gives up.
    demo.write("stop-answering-during-next-write\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "armed=stop-answering-during-next-write heard=0 description=\"Arduino Zero\"\n"));
    QProcess bossac;
    bossac.setWorkingDirectory(served);
    bossac.start("bossac",
        { "-i", "-d", "--port=COM7", "-U", "-i", "--offset=0x6000", "-e", "-w", "blink.bin",
            "-R" });
    QVERIFY(bossac.waitForFinished(30000));
    QCOMPARE(bossac.exitCode(), 1);
    QVERIFY(bossac.readAllStandardError().contains("SAM-BA operation failed"));
    QVERIFY(demo.waitForLine("board: state=silent port=COM7 image=other bootloader=intact heard="));
    QVERIFY(demo.waitForLine("description=\"Arduino Zero\" "
                             "says=\"stopped answering while bossac was writing\"\n"));
    // Plugged in again, it jumps into the half-written image, which hangs.
    demo.write("unplug\nplug-in\n");
    QVERIFY(demo.waitForLine("board: state=hung port=- image=other bootloader=intact "
                             "says=\"jumped to the application at 0x6000, which hangs: the image "
                             "is cut short: its handler 0x000087ff lies in erased flash"));
    demo.write("unplug-during-next-write\nreset-twice\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "heard=0 description=\"Arduino Zero\"\n"));
    demo.write("unplug-during-next-write\nstatus\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "armed=unplug-during-next-write heard=0 description=\"Arduino Zero\"\n"));
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

QTEST_MAIN(SimulatedBoardTest)
#include "tst_simulatedboard.moc"
