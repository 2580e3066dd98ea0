// The simulated board that the demo program runs the window against: the whole story
// through the real bossac, and which images the board starts after an upload.

#include "simulatedboard.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

// The demo in a process group of its own: a story that does not end is ended with
// the bossac it started, which would otherwise outlive it.
class DemoProcess : public QProcess
{
public:
    ~DemoProcess() override
    {
        if (state() != NotRunning)
            ::kill(-static_cast<pid_t>(processId()), SIGKILL);
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// Appends a little-endian word at `offset`, as the vector table holds it.
QByteArray withWord(QByteArray image, int offset, quint32 word)
{
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<char>(word >> (8 * i));
    return image;
}

const QString notLinkedFor0x6000
    = QStringLiteral("the image at 0x6000 has no valid vector table: was it linked for 0x6000?");

} // namespace

class SimulatedBoardTest : public QObject
{
    Q_OBJECT

private slots:
    void storyPlaysThroughTheRealBossac_data();
    void storyPlaysThroughTheRealBossac();
    void onlyAnApplicationLinkedFor0x6000Starts_data();
    void onlyAnApplicationLinkedFor0x6000Starts();
};

void SimulatedBoardTest::storyPlaysThroughTheRealBossac_data()
{
    QTest::addColumn<QByteArray>("image"); // empty: the demo's own blink.bin
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("ending");

    const QByteArray linkedFor0x2000
        = withWord(SimulatedBoard::sampleApplication(6000, 7), 4, 0x20B5);
    QTest::newRow("blink.bin") << QByteArray() << 0
                               << QStringList { "board  | started the application at 0x6000",
                                      "board  | runs its application on COM3 (Adafruit Feather M0)",
                                      "window | Autoselected port COM3",
                                      "board  | 0x6000 holds blink.bin byte for byte",
                                      "story: every step happened as it should." };
    QTest::newRow("image linked for 0x2000")
        << linkedFor0x2000 << 1
        << QStringList { "board  | " + notLinkedFor0x6000,
               "story: step 5 went wrong: " + notLinkedFor0x6000 };
}

void SimulatedBoardTest::storyPlaysThroughTheRealBossac()
{
    QFETCH(QByteArray, image);
    QFETCH(int, exitCode);
    QFETCH(QStringList, ending);

    ScopedWorkingDirectory cwd;
    QStringList arguments { "--story" };
    QString imageName = "blink.bin";
    if (!image.isEmpty()) {
        imageName = "app.bin";
        QFile file(cwd.filePath(imageName));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
        arguments << "--image" << file.fileName();
    }
    DemoProcess demo;
    demo.start(QStringLiteral(UVO_DEMO), arguments);
    QVERIFY2(demo.waitForFinished(45000), "the story did not end");
    const QString output = QString::fromUtf8(demo.readAllStandardOutput());
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
        "board  | waits in its bootloader on COM7 (Arduino Zero)",
        "window | Autoselected port COM7",
        "window | Uploading...",
        "window | bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"" + imageName + "\" -R",
        "window | Device       : ATSAMD21x18",
        "window | Done!",
    } + ending;
    int at = 0;
    for (const QString &line : expected) {
        while (at < lines.size() && !lines.at(at).startsWith(line))
            ++at;
        QVERIFY2(at < lines.size(),
            qPrintable(
                QStringLiteral("missing or out of order: %1\n%2\n%3").arg(line, output, errors)));
    }
    // Nothing reached bossac before the board was in its bootloader.
    QVERIFY(output.indexOf("Uploading...") > output.indexOf("Autoselected port COM7"));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QVERIFY2(demo.exitCode() == exitCode, qPrintable(output + errors));
}

void SimulatedBoardTest::onlyAnApplicationLinkedFor0x6000Starts_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("starts");

    const QByteArray sample = SimulatedBoard::sampleApplication(1024, 1);
    const quint32 resetVector = 0x60B5;
    QTest::newRow("the sample application") << sample << true;
    QTest::newRow("stack pointer at the top of RAM") << withWord(sample, 0, 0x20008000) << true;
    QTest::newRow("stack pointer above RAM") << withWord(sample, 0, 0x20008004) << false;
    QTest::newRow("erased flash") << QByteArray(1024, '\xFF') << false;
    QTest::newRow("reset vector without the Thumb bit")
        << withWord(sample, 4, resetVector - 1) << false;
    QTest::newRow("reset vector below 0x6000") << withWord(sample, 4, 0x20B5) << false;
    QTest::newRow("reset vector past the image") << withWord(sample, 4, 0x6000 + 1024 + 1) << false;
    QTest::newRow("last halfword of the image") << withWord(sample, 4, 0x6000 + 1022 + 1) << true;
    QTest::newRow("shorter than two words") << sample.left(7) << false;
}

void SimulatedBoardTest::onlyAnApplicationLinkedFor0x6000Starts()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, starts);
    QCOMPARE(SimulatedBoard::startProblem(image), starts ? QString() : notLinkedFor0x6000);
}

QTEST_MAIN(SimulatedBoardTest)
#include "tst_simulatedboard.moc"
