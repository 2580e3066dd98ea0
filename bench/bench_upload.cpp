// How much the window adds to a bossac run: flashes a 200 KiB image into the
// emulated board (a) with bossac started directly and (b) through the window's
// Upload button, interleaved, and prints both medians and their ratio.
//
// Usage: bench_upload [runs]   (default 7 of each)

#include "mainwindow.h"
#include "sambaboard.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

const QString portName = QStringLiteral("COM7");
const QString firmwareName = QStringLiteral("fw.bin");
const QString commandLine
    = QStringLiteral("bossac -i -d --port=COM7 -U -i --offset=0x6000 -e -w \"fw.bin\" -R");
constexpr int imageOffset = 0x6000;
constexpr int imageSize = 200 * 1024;

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "bench_upload: %s\n", qPrintable(message));
    std::exit(1);
}

void checkFlashed(const SambaBoard &board, const QByteArray &image, const char *how)
{
    // The reset is bossac's last write, which nothing answers: bossac may be gone before
    // the board's thread has read it.
    if (board.flash().mid(imageOffset, image.size()) != image
        || !QTest::qWaitFor([&] { return board.resetRequested(); }, 10000))
        fail(QStringLiteral("the board was not flashed %1").arg(QLatin1String(how)));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A fresh board, linked as the port in the working directory.
std::unique_ptr<SambaBoard> startBoard()
{
    std::unique_ptr<SambaBoard> board(new SambaBoard);
    if (!board->isRunning() || !board->linkAs(portName))
        fail(board->errorString());
    return board;
}

double runDirect(const QByteArray &image)
{
    const std::unique_ptr<SambaBoard> board = startBoard();
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.takeFirst();
    QProcess bossac;
    QElapsedTimer timer;
    timer.start();
    bossac.start(program, arguments);
    if (!bossac.waitForFinished(60000) || bossac.exitCode() != 0)
        fail(QStringLiteral("bossac failed: %1")
                 .arg(QString::fromUtf8(bossac.readAllStandardError())));
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    checkFlashed(*board, image, "by bossac");
    return ms;
}

double runWindow(const QByteArray &image, qsizetype *logCharacters, int *logParagraphs)
{
    const std::unique_ptr<SambaBoard> board = startBoard();
    MainWindow window;
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(firmwareName);
    auto *upload = window.findChild<QPushButton *>(QStringLiteral("pushButton_2"));
    QPlainTextEdit *log = logPanel(window);
    QElapsedTimer timer;
    timer.start();
    upload->click();
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    if (!log->toPlainText().trimmed().endsWith(QLatin1String("Done!")))
        fail(QStringLiteral("the upload failed:\n%1").arg(log->toPlainText()));
    checkFlashed(*board, image, "through the window");
    *logCharacters = log->toPlainText().size();
    *logParagraphs = log->blockCount();
    return ms;
}

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The port selector reports every scan on the debug channel, and the offscreen
    // platform warns about the popup it cannot raise.
    if (type != QtDebugMsg && !message.startsWith(QLatin1String("This plugin does not support")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    qInstallMessageHandler(quietDebug);

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    ScopedWorkingDirectory cwd;
    const QByteArray image = firmwareImage(imageSize);
    QFile firmware(cwd.filePath(firmwareName));
    if (!firmware.open(QIODevice::WriteOnly) || firmware.write(image) != image.size())
        fail(QStringLiteral("cannot write %1").arg(firmware.fileName()));
    firmware.close();
    const ScopedPortList ports(
        QList<SerialPortEntry> { { portName, QStringLiteral("Arduino Zero") } });

    std::vector<double> direct;
    std::vector<double> throughWindow;
    qsizetype logCharacters = 0;
    int logParagraphs = 0;
    for (int run = 0; run < runs; ++run) {
        // Alternate which goes first, so that drift hits both alike.
        if (run % 2 == 0) {
            direct.push_back(runDirect(image));
            throughWindow.push_back(runWindow(image, &logCharacters, &logParagraphs));
        } else {
            throughWindow.push_back(runWindow(image, &logCharacters, &logParagraphs));
            direct.push_back(runDirect(image));
        }
        std::printf("run %d: bossac %.1f ms, window %.1f ms\n", run + 1, direct.back(),
            throughWindow.back());
    }

    const double a = median(direct);
    const double b = median(throughWindow);
    std::printf("image: %d bytes at 0x%X, %d runs each\n", imageSize, imageOffset, runs);
    std::printf("median bossac alone:      %.1f ms\n", a);
    std::printf("median through the window: %.1f ms\n", b);
    std::printf("ratio window/bossac:       %.3f (goal <= 1.05)\n", b / a);
    std::printf("log after one upload:      %lld characters, %d paragraphs\n",
        static_cast<long long>(logCharacters), logParagraphs);
    return 0;
}
