// The simulated board that the demo program runs the window against: its life cycle
// (reset timing, plugging, faults mid-write, events from ports that are gone), which
// images its bootloader starts, and the demo: its whole story through the real bossac,
// and the board alone driven from standard input.

#include "sampleapplication.h"
#include "simulatedboard.h"
#include "testsupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QThread>
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

    // Waits until standard output holds a line that contains `text`.
    bool waitForLine(const QString &text)
    {
        return QTest::qWaitFor(
            [&] {
                output += readAllStandardOutput();
                return QString::fromUtf8(output).contains(text);
            },
            25000);
    }

    QByteArray output;

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
// commands; returns once the board has acted on the reset, or gave up.
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
    QSignalSpy changed(&board, &SimulatedBoard::changed);
    QVERIFY(host.send("WE000ED0C,05FA0004#"));
    QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, 10000);
}

// The reset request reaches the port and is acted on there, but its event is not yet
// delivered: whatever the next step does to the board comes first.
void requestResetWithoutEvents(SimulatedBoard &board, const QString &folder)
{
    Host host(QDir(folder).filePath(board.portName()));
    QVERIFY(host.isOpen());
    const QByteArray request = "WE000ED0C,05FA0004#";
    QVERIFY(host.send(request));
    QElapsedTimer clock;
    clock.start();
    while (board.bytesHeard() < request.size() && clock.elapsed() < 10000)
        QThread::msleep(1);
    QCOMPARE(board.bytesHeard(), qint64(request.size()));
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
    void onlyAnApplicationLinkedFor0x6000Starts_data();
    void onlyAnApplicationLinkedFor0x6000Starts();
    void storyPlaysThroughTheRealBossac_data();
    void storyPlaysThroughTheRealBossac();
    void servedBoardFollowsCommandsAndCleansUp();
};

void SimulatedBoardTest::boardLifeCycle_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("image"); // factory, uploaded, partly written or erased
    QTest::addColumn<QString>("says"); // part of the board's message; empty: no message

    const QString started = QStringLiteral("started the application at 0x6000");
    const QString unpluggedMidWrite = QStringLiteral("unplugged while bossac was writing");
    const QString stoppedAnswering = QStringLiteral("stopped answering while bossac was writing");
    const QString incomplete = QStringLiteral("incomplete: its upload was interrupted");
    const QStringList toBootloader { "press 0", "press 100" };

    QTest::newRow("one press restarts the application")
        << QStringList { "press 0" } << "application"
        << "COM3"
        << "factory" << started;
    QTest::newRow("two presses 500 ms apart enter the bootloader")
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
    QTest::newRow("an image linked for 0x2000 is not started")
        << toBootloader + QStringList { "upload-0x2000 2048" } << "bootloader"
        << "COM7"
        << "uploaded"
        << "points outside it. Link it for 0x6000.";
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
    QTest::newRow("a reset revives a silent board")
        << toBootloader + QStringList { "arm silence", "upload 1024", "press 1000", "press 1100" }
        << "bootloader"
        << "COM7"
        << "partly written"
        << "";
    QTest::newRow("interrupted write, then plug in: stays in the bootloader")
        << toBootloader + QStringList { "arm unplug", "upload 2048", "plug" } << "bootloader"
        << "COM7"
        << "partly written" << incomplete;
    QTest::newRow("interrupted write, then reset: stays in the bootloader")
        << toBootloader + QStringList { "arm silence", "upload 2048", "press 1000" } << "bootloader"
        << "COM7"
        << "partly written" << incomplete;
    QTest::newRow("a complete upload after an interrupted one starts")
        << toBootloader + QStringList { "arm unplug", "upload 2048", "plug", "upload 2048" }
        << "application"
        << "COM3"
        << "uploaded" << started;
    QTest::newRow("a port that cannot be made is said")
        << QStringList { "lose the folder", "press 0" } << "application"
        << "COM3"
        << "factory"
        << "cannot make its port COM3: cannot link";
    QTest::newRow("a late reset request from a port since unplugged")
        << toBootloader + QStringList { "request reset", "unplug" } << "unplugged"
        << ""
        << "factory"
        << "";
    QTest::newRow("a late reset request from a port since replaced")
        << toBootloader + QStringList { "request reset", "press 1000", "press 1100" }
        << "bootloader"
        << "COM7"
        << "factory"
        << "";
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
    qint64 now = 0;
    board.setClock([&now] { return now; });
    QByteArray uploaded;
    for (const QString &step : qAsConst(steps)) {
        const QStringList words = step.split(' ');
        if (words.first() == "press") {
            now = words.at(1).toLongLong();
            board.pressReset();
        } else if (step == "unplug") {
            board.unplug();
        } else if (step == "plug") {
            board.plugIn();
        } else if (step == "arm unplug") {
            board.unplugDuringNextWrite();
        } else if (step == "arm silence") {
            board.stopAnsweringDuringNextWrite();
        } else if (words.first().startsWith("upload")) {
            const int size = words.at(1).toInt();
            uploaded
                = words.first() == "upload" ? sampleApplication(size, 3) : linkedFor0x2000(size);
            upload(board, folder.path(), uploaded);
        } else if (step == "lose the folder") {
            QVERIFY(QDir(folder.path()).removeRecursively());
        } else if (step == "request reset") {
            requestResetWithoutEvents(board, folder.path());
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
        if (QTest::currentTestFailed())
            return;
    }
    QCoreApplication::processEvents();

    QCOMPARE(board.stateName(), state);
    QCOMPARE(board.portName(), port);
    QVERIFY2(says.isEmpty() ? board.message().isEmpty() : board.message().contains(says),
        qPrintable(board.message()));
    QVERIFY(board.belowApplicationUntouched());
    const QByteArray flash = board.flash().mid(0x6000);
    if (image == "factory") {
        QCOMPARE(board.flash(), SimulatedBoard::factoryFlash());
    } else if (image == "uploaded") {
        QVERIFY(board.holdsImage(uploaded));
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
}

void SimulatedBoardTest::onlyAnApplicationLinkedFor0x6000Starts_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("problem"); // part of the reason; empty: it starts

    const QByteArray sample = sampleApplication(1024, 1);
    const quint32 resetVector = 0x60B5;
    const QString stackPointer = QStringLiteral("stack pointer 0x%1 is not in RAM");
    const QString outside = QStringLiteral("points outside it. Link it for 0x6000.");
    QTest::newRow("the sample application") << sample << "";
    QTest::newRow("stack pointer at the top of RAM") << withWord(sample, 0, 0x20008000) << "";
    QTest::newRow("stack pointer above RAM")
        << withWord(sample, 0, 0x20008004) << stackPointer.arg("20008004");
    QTest::newRow("stack pointer at the bottom of RAM")
        << withWord(sample, 0, 0x20000000) << stackPointer.arg("20000000");
    QTest::newRow("an ELF file") << withWord(sample, 0, 0x464C457F) << stackPointer.arg("464c457f");
    QTest::newRow("erased flash") << QByteArray(1024, '\xFF') << "0x6000 is erased";
    QTest::newRow("nothing at all") << QByteArray() << "0x6000 is erased";
    QTest::newRow("reset vector without the Thumb bit")
        << withWord(sample, 4, resetVector - 1) << "0x000060b4 is not Thumb code";
    QTest::newRow("reset vector below 0x6000") << withWord(sample, 4, 0x20B5) << outside;
    QTest::newRow("reset vector into the vector table") << withWord(sample, 4, 0x6005) << outside;
    QTest::newRow("reset vector past the image")
        << withWord(sample, 4, 0x6000 + 1024 + 1) << outside;
    QTest::newRow("last halfword of the image") << withWord(sample, 4, 0x6000 + 1022 + 1) << "";
    QTest::newRow("shorter than two words") << sample.left(7) << "too short to hold a vector table";
}

void SimulatedBoardTest::onlyAnApplicationLinkedFor0x6000Starts()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, problem);
    const QString found = SimulatedBoard::startProblem(image);
    QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
}

void SimulatedBoardTest::storyPlaysThroughTheRealBossac_data()
{
    QTest::addColumn<QByteArray>("image"); // empty: the demo's own blink.bin
    QTest::addColumn<int>("signal"); // sent once the story has begun; 0: none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("ending");

    const QString notLinkedFor0x6000 = QStringLiteral(
        "the image at 0x6000 does not start: its reset vector 0x000020b5 points outside it. "
        "Link it for 0x6000.");
    const QStringList done {
        "window | Uploading...",
        "window | bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"",
        "window | Device       : ATSAMD21x18",
        "window | Done!",
        "6. The board restarts.",
    };
    QTest::newRow("blink.bin") << QByteArray() << 0 << 0
                               << done
            + QStringList { "board  | started the application at 0x6000",
                  "board  | runs its application on COM3 (Adafruit Feather M0)",
                  "window | Autoselected port COM3",
                  "board  | 0x6000 holds blink.bin byte for byte",
                  "story: every step happened as it should." };
    QTest::newRow("image linked for 0x2000") << linkedFor0x2000(6000) << 0 << 1
                                             << done
            + QStringList { "board  | " + notLinkedFor0x6000,
                  "story: step 6 went wrong: " + notLinkedFor0x6000 };
    QTest::newRow("SIGTERM") << QByteArray() << int(SIGTERM) << 128 + SIGTERM
                             << QStringList { "story: interrupted by signal 15" };
}

void SimulatedBoardTest::storyPlaysThroughTheRealBossac()
{
    QFETCH(QByteArray, image);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QStringList, ending);

    ScopedWorkingDirectory cwd;
    const QString temporary = cwd.filePath("tmp");
    QVERIFY(QDir().mkpath(temporary));
    QStringList arguments { "--story" };
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
        QVERIFY(demo.waitForLine("1. The board runs its application"));
        ::kill(static_cast<pid_t>(demo.processId()), signal);
    }
    QVERIFY2(demo.waitForFinished(25000), "the story did not end");
    demo.output += demo.readAllStandardOutput();
    const QString output = QString::fromUtf8(demo.output);
    const QString errors = QString::fromUtf8(demo.readAllStandardError());
    const QStringList lines = output.split('\n');

    // Every step's lines, in order, then how the story ends.
    const QStringList expected = (signal ? QStringList() : QStringList {
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
        "board  | waits in its bootloader on COM7 (Arduino Zero)",
        "window | Autoselected port COM7",
    }) + ending;
    int at = 0;
    for (const QString &line : expected) {
        while (at < lines.size() && !lines.at(at).startsWith(line))
            ++at;
        QVERIFY2(at < lines.size(),
            qPrintable(
                QStringLiteral("missing or out of order: %1\n%2\n%3").arg(line, output, errors)));
        ++at;
    }
    // Nothing reached bossac before the board was in its bootloader.
    if (!signal)
        QVERIFY(output.indexOf("Uploading...") > output.indexOf("Autoselected port COM7"));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QVERIFY2(demo.exitCode() == exitCode, qPrintable(output + errors));
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
    demo.start(QStringLiteral(UVO_DEMO), { "--serve", served });
    QVERIFY(demo.waitForLine("board: state=application port=COM3 image=other bootloader=intact "
                             "heard=0 description=\"Adafruit Feather M0\"\n"));
    QCOMPARE(demoFolders(temporary), QStringList { "uvo-demo-running" });
    demo.write("reset-twice\n");
    QVERIFY(demo.waitForLine("board: state=bootloader port=COM7 image=other bootloader=intact "
                             "heard=0 description=\"Arduino Zero\"\n"));
    QVERIFY(QFileInfo(served + "/COM7").symLinkTarget().startsWith("/dev/pts/"));
    QVERIFY(!QFileInfo::exists(served + "/COM3"));
    demo.write("unplug\nplug-in\n");
    QVERIFY(demo.waitForLine("board: state=application port=COM3 image=other bootloader=intact "
                             "heard=0 description=\"Adafruit Feather M0\" says=\"started the application at 0x6000\"\n"));
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
