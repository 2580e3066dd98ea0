// The uploader's real window against a simulated board, for trying the tool on a
// machine without one: the board's ports are pseudo-terminals linked under their COM
// names in a fresh working folder, where the real bossac opens them.
//
//   UVOFirmwareUploaderDemo [--image F]           the window beside the board's panel
//   UVOFirmwareUploaderDemo --story [--image F]   a whole upload, told in the terminal
//   UVOFirmwareUploaderDemo --serve FOLDER        the board alone, driven from stdin
//
// --enumeration-delay MS and --instant-flash make the board quicker than a real one.

#include "boardconsole.h"
#include "demowindow.h"
#include "interrupts.h"
#include "qcombox.h"
#include "sampleapplication.h"
#include "simulatedboard.h"
#include "story.h"
#include "workingfolder.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const QString sampleName = QStringLiteral("blink.bin");

QByteArray sample()
{
    return sampleApplication(10240, 0xB1B1);
}

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

bool hasOption(int argc, char *argv[], const char *option)
{
    const size_t length = std::strlen(option);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], option, length) == 0
            && (argv[i][length] == '\0' || argv[i][length] == '='))
            return true;
    return false;
}

// The story prints what the window shows; the port selector's debug lines and the
// offscreen platform's notes would only come in between.
void storyMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && !message.startsWith(QLatin1String("This plugin does not support")))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The board's pace: a real one's unless the command line makes it quicker.
struct Pace
{
    int enumerationDelay = SimulatedBoard::defaultEnumerationDelay;
    bool instantFlash = false;
};

void setPace(SimulatedBoard &board, const Pace &pace)
{
    board.setEnumerationDelay(pace.enumerationDelay);
    board.setFlashTiming(
        pace.instantFlash ? SambaMonitor::FlashTiming() : SambaMonitor::datasheetTiming());
}

int serveBoard(const QString &folderName, const Pace &pace)
{
    const QDir folder(QFileInfo(folderName).absoluteFilePath());
    if (!folder.exists())
        return fail(QStringLiteral("%1 is not a folder").arg(folderName));
    if (!writeFile(folder.filePath(sampleName), sample()))
        return fail(QStringLiteral("cannot write ") + folder.filePath(sampleName));
    SimulatedBoard board(folder.path());
    if (!board.isRunning())
        return fail(QStringLiteral("the simulated board cannot start: ") + board.errorString());
    setPace(board, pace);
    BoardConsole console(board, sample());
    return QCoreApplication::exec();
}

int runDemo(bool story, const QString &imageFile, const QString &picture, const Pace &pace,
    SambaBoard::Fault fault)
{
    const QString bossac = QStandardPaths::findExecutable(QStringLiteral("bossac"));
    if (bossac.isEmpty())
        return fail(QStringLiteral("bossac was not found on PATH: install it (Debian: bossa-cli)"));
    // bossac opens the port names and the window keeps saved.txt in the working
    // folder; a fresh one each time leaves the user's folders alone.
    WorkingFolder folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path()) || !folder.putBossacOnPath(bossac))
        return fail(folder.errorString());
    if (!writeFile(sampleName, sample()))
        return fail(QStringLiteral("cannot write ") + sampleName);

    QString imagePath = sampleName;
    QByteArray image = sample();
    if (!imageFile.isEmpty()) {
        // A file that cannot be read goes to the window all the same, which refuses
        // it. Only a regular file is read: a device may never end.
        imagePath = imageFile;
        image.clear();
        QFile file(imageFile);
        if (QFileInfo(imageFile).isFile() && file.open(QIODevice::ReadOnly))
            image = file.readAll();
    }
    // The window starts with the image in its Firmware field, as if chosen before.
    if (!story)
        writeFile(QStringLiteral("saved.txt"), imagePath.toUtf8());

    SimulatedBoard board(folder.path());
    if (!board.isRunning())
        return fail(QStringLiteral("the simulated board cannot start: ") + board.errorString());
    setPace(board, pace);
    QCOMBox::setPortLister([&board] {
        QList<SerialPortEntry> ports;
        const QString name = board.portName();
        if (!name.isEmpty())
            ports.append({ name, board.portDescription() });
        return ports;
    });

    if (story)
        qInstallMessageHandler(storyMessages);
    std::printf("Working folder %s, with %s and the board's port.\n", qPrintable(folder.path()),
        qPrintable(sampleName));
    std::fflush(stdout);
    DemoWindow demo(board);
    demo.show();
    if (!story)
        return QApplication::exec();

    Story play(demo.uploader(), board, imagePath, image);
    play.armBeforeUpload(fault);
    const int result = play.play();
    if (!picture.isEmpty() && !demo.grab().save(picture, "PNG"))
        return fail(QStringLiteral("cannot write ") + picture);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool serve = hasOption(argc, argv, "--serve");
    const bool story = hasOption(argc, argv, "--story");
    // Neither the story nor the board alone needs a display.
    if ((story || serve) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::unique_ptr<QCoreApplication> application(
        serve ? new QCoreApplication(argc, argv) : new QApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("UVOFirmwareUploaderDemo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The uploader's window against a simulated board, flashed by the real bossac."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("story"),
        QStringLiteral("Play a whole upload in the terminal, without a display.") });
    parser.addOption({ QStringLiteral("image"),
        QStringLiteral("Flash <file> (in the window: start with it in the Firmware field) "
                       "instead of the sample blink.bin."),
        QStringLiteral("file") });
    parser.addOption({ QStringLiteral("picture"),
        QStringLiteral("After the story, save the window and the board's panel as <png>."),
        QStringLiteral("png") });
    parser.addOption({ QStringLiteral("serve"),
        QStringLiteral("Run the board alone, its port links and blink.bin in <folder>, driven "
                       "by commands on stdin: reset, reset-twice, unplug, plug-in, "
                       "stop-answering-during-next-write, unplug-during-next-write, status, "
                       "quit."),
        QStringLiteral("folder") });
    parser.addOption({ QStringLiteral("fault"),
        QStringLiteral("Arm <fault> just before the story's upload: "
                       "stop-answering-during-next-write or unplug-during-next-write."),
        QStringLiteral("fault") });
    parser.addOption({ QStringLiteral("enumeration-delay"),
        QStringLiteral("A new port of the board appears <ms> milliseconds after it is due "
                       "(default 1000, as a real board's)."),
        QStringLiteral("ms") });
    parser.addOption({ QStringLiteral("instant-flash"),
        QStringLiteral("Erase and write the flash at once, not at the chip's pace.") });
    parser.process(*application);
    if (serve && (story || parser.isSet(QStringLiteral("image"))))
        return fail(QStringLiteral("--serve goes alone"));
    if (!story && parser.isSet(QStringLiteral("picture")))
        return fail(QStringLiteral("--picture goes with --story"));
    const QString faultName = parser.value(QStringLiteral("fault"));
    const SambaBoard::Fault fault = SambaBoard::faultNamed(faultName);
    if (!faultName.isEmpty() && fault == SambaBoard::NoFault)
        return fail(QStringLiteral("unknown fault ") + faultName);
    if (!story && fault != SambaBoard::NoFault)
        return fail(QStringLiteral("--fault goes with --story"));
    Pace pace;
    pace.instantFlash = parser.isSet(QStringLiteral("instant-flash"));
    if (parser.isSet(QStringLiteral("enumeration-delay"))) {
        bool number = false;
        pace.enumerationDelay = parser.value(QStringLiteral("enumeration-delay")).toInt(&number);
        if (!number || pace.enumerationDelay < 0)
            return fail(QStringLiteral("--enumeration-delay takes milliseconds"));
    }

    const Interrupts interrupts;
    WorkingFolder::removeStale();
    if (serve)
        return Interrupts::exitCode(serveBoard(parser.value(QStringLiteral("serve")), pace));

    // Named from where the demo was started, before it moves to its working folder.
    const auto absolute = [&parser](const QString &option) {
        return parser.isSet(option) ? QFileInfo(parser.value(option)).absoluteFilePath()
                                    : QString();
    };
    return Interrupts::exitCode(runDemo(story, absolute(QStringLiteral("image")),
        absolute(QStringLiteral("picture")), pace, fault));
}
