// The uploader's real window against a simulated board, for trying the tool on a
// machine without one: the board's ports are pseudo-terminals linked under their
// COM names in a fresh working folder, where the real bossac opens them.
//
//   UVOFirmwareUploaderDemo                       the window and the board's panel
//   UVOFirmwareUploaderDemo --story [--image F]   a whole upload, told in the terminal

#include "boardpanel.h"
#include "mainwindow.h"
#include "qcombox.h"
#include "simulatedboard.h"
#include "story.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const QString sampleName = QStringLiteral("blink.bin");

int fail(const QString &message)
{
    std::fprintf(stderr, "UVOFirmwareUploaderDemo: %s\n", qPrintable(message));
    return 2;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The story prints what the window shows; the port selector's debug lines and the
// offscreen platform's notes would only come in between.
void storyMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && !message.startsWith(QLatin1String("This plugin does not support")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The window and the panel side by side, as the picture in the README shows them.
bool savePicture(QWidget &window, QWidget &panel, const QString &path)
{
    const QPixmap left = window.grab();
    const QPixmap right = panel.grab();
    constexpr int gap = 12;
    QImage picture(left.width() + gap + right.width(), qMax(left.height(), right.height()),
        QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.drawPixmap(0, 0, left);
    painter.drawPixmap(left.width() + gap, 0, right);
    painter.end();
    return picture.save(path, "PNG");
}

int interruptPipe[2] = { -1, -1 };

void interrupted(int)
{
    const char byte = 0;
    if (::write(interruptPipe[1], &byte, 1) < 0)
        ::_exit(130);
}

// Ctrl+C or a terminate request ends the event loop like closing the window, so that
// the working folder and the board's port links are removed.
void quitOnInterrupt(QApplication &application)
{
    if (::pipe(interruptPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, &QApplication::quit);
    std::signal(SIGINT, interrupted);
    std::signal(SIGTERM, interrupted);
}

} // namespace

int main(int argc, char *argv[])
{
    bool story = false;
    for (int i = 1; i < argc; ++i)
        story = story || std::strcmp(argv[i], "--story") == 0;
    // The story needs no display.
    if (story && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("UVOFirmwareUploaderDemo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The uploader's window against a simulated board, flashed by the real bossac."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("story"),
        QStringLiteral("Play a whole upload in the terminal, without a display.") });
    parser.addOption({ QStringLiteral("image"),
        QStringLiteral("Flash <file> in the story instead of the sample blink.bin."),
        QStringLiteral("file") });
    parser.addOption({ QStringLiteral("picture"),
        QStringLiteral("After the story, save the window and the board's panel as <png>."),
        QStringLiteral("png") });
    parser.process(application);
    if (!story
        && (parser.isSet(QStringLiteral("image")) || parser.isSet(QStringLiteral("picture"))))
        return fail(QStringLiteral("--image and --picture go with --story"));

    // Named from where the demo was started, before it moves to its working folder.
    const QString picture = parser.isSet(QStringLiteral("picture"))
        ? QFileInfo(parser.value(QStringLiteral("picture"))).absoluteFilePath()
        : QString();
    const QString imageFile = parser.isSet(QStringLiteral("image"))
        ? QFileInfo(parser.value(QStringLiteral("image"))).absoluteFilePath()
        : QString();

    if (QStandardPaths::findExecutable(QStringLiteral("bossac")).isEmpty())
        return fail(QStringLiteral("bossac was not found on PATH: install it (Debian: bossa-cli)"));

    // bossac opens the port names and the window keeps saved.txt in the working
    // folder; a fresh one each time leaves the user's folders alone.
    QTemporaryDir folder(QDir::temp().filePath(QStringLiteral("uvo-demo-XXXXXX")));
    if (!folder.isValid() || !QDir::setCurrent(folder.path()))
        return fail(QStringLiteral("cannot make a working folder: ") + folder.errorString());
    const QByteArray sample = SimulatedBoard::sampleApplication(10240, 0xB1B1);
    if (!writeFile(sampleName, sample))
        return fail(QStringLiteral("cannot write ") + sampleName);

    QString imageName = sampleName;
    QByteArray image = sample;
    if (!imageFile.isEmpty()) {
        QFile file(imageFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        image = file.readAll();
        // Copied in under its own name: the window turns slashes into backslashes, so
        // on Linux bossac finds only a file named without a folder.
        imageName = QFileInfo(file.fileName()).fileName();
        if (imageName != sampleName && !writeFile(imageName, image))
            return fail(QStringLiteral("cannot write ") + imageName);
    } else if (!story) {
        // The window starts with the sample in its path field, as if chosen before.
        writeFile(QStringLiteral("saved.txt"), sampleName.toUtf8());
    }

    SimulatedBoard board(folder.path());
    if (!board.isRunning())
        return fail(QStringLiteral("the simulated board cannot start: ") + board.errorString());
    QCOMBox::setPortLister([&board] {
        QList<SerialPortEntry> ports;
        if (board.state() != SimulatedBoard::Unplugged)
            ports.append({ board.portName(), board.portDescription() });
        return ports;
    });

    if (story) {
        qInstallMessageHandler(storyMessages);
        std::printf("Working folder %s, with %s and the board's port.\n", qPrintable(folder.path()),
            qPrintable(imageName));
    }
    MainWindow window;
    window.resize(720, 460);
    // A window of its own that closes with the uploader's.
    auto *panel = new BoardPanel(board, sampleName, sample, &window);
    panel->setWindowFlag(Qt::Window);
    window.show();
    panel->move(window.frameGeometry().topRight() + QPoint(12, 0));
    panel->show();

    if (!story) {
        quitOnInterrupt(application);
        return application.exec();
    }
    const int result = Story(window, board, imageName, image).play();
    if (!picture.isEmpty() && !savePicture(window, *panel, picture))
        return fail(QStringLiteral("cannot write ") + picture);
    return result;
}
