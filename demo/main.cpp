// The uploader's real window against a simulated board, for trying the tool on a
// machine without one: the board's ports are pseudo-terminals linked under their COM
// names in a fresh working folder, where the real bossac opens them.
//
//   UVOFirmwareUploaderDemo [--image F]           the window beside the board's panel
//   UVOFirmwareUploaderDemo --story [--image F]   a whole upload, told in the terminal
//     [--fault NAME [--upload-limit S]]           with a fault, and the recovery
//   UVOFirmwareUploaderDemo --serve FOLDER        the board alone, driven from stdin
//
// --enumeration-delay MS and --flash-timing typical|slowest|instant set the board's
// pace.

#include "boardconsole.h"
#include "demowindow.h"
#include "interrupts.h"
#include "mainwindow.h"
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
#include <QLoggingCategory>
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

// The board's pace: a real one's unless the command line says otherwise.
struct Pace
{
    int enumerationDelay = SimulatedBoard::defaultEnumerationDelay;
    SambaMonitor::FlashTiming flashTiming = SambaMonitor::typicalTiming();
};

void setPace(SimulatedBoard &board, const Pace &pace)
{
    board.setEnumerationDelay(pace.enumerationDelay);
    board.setFlashTiming(pace.flashTiming);
}

// What --flash-timing takes.
bool flashTimingNamed(const QString &name, SambaMonitor::FlashTiming &timing)
{
    if (name == QLatin1String("typical"))
        timing = SambaMonitor::typicalTiming();
    else if (name == QLatin1String("slowest"))
        timing = SambaMonitor::slowestTiming();
    else if (name == QLatin1String("instant"))
        timing = SambaMonitor::FlashTiming();
    else
        return false;
    return true;
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

    // The port selector's debug lines are for a developer who asks for them
    // (QT_LOGGING_RULES="default.debug=true"), not for someone trying the window.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
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
    // Help and the version are printed without a window.
    bool informs = false;
    for (const char *option : { "--help", "--help-all", "-h", "-?", "--version", "-v" })
        informs = informs || hasOption(argc, argv, option);
    // Neither the story nor the board alone needs a display.
    if ((story || serve) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::unique_ptr<QCoreApplication> application(
        serve || informs ? new QCoreApplication(argc, argv) : new QApplication(argc, argv));
    QCoreApplication::setApplicationName(QStringLiteral("UVOFirmwareUploaderDemo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UVO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The uploader's window against a simulated board, flashed by the real "
                       "bossac. The port list's debug lines are printed only when asked, with "
                       "QT_LOGGING_RULES=\"default.debug=true\"."));
    parser.addHelpOption();
    parser.addVersionOption();
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
                       "by commands on stdin: reset, reset-twice, unplug, plug-in, %1, status, "
                       "quit.")
            .arg(SambaBoard::faultNames(QStringLiteral(", "))),
        QStringLiteral("folder") });
    parser.addOption({ QStringLiteral("fault"),
        QStringLiteral("Arm <fault> just before the story's upload, then recover from it: %1.")
            .arg(SambaBoard::faultNames(QStringLiteral(" or "))),
        QStringLiteral("fault") });
    parser.addOption({ QStringLiteral("enumeration-delay"),
        QStringLiteral("A new port of the board appears <ms> milliseconds after it is due "
                       "(default 1000, as a real board's)."),
        QStringLiteral("ms") });
    parser.addOption({ QStringLiteral("flash-timing"),
        QStringLiteral("How long erasing and writing the flash take: typical (a real board's, "
                       "the default), slowest (the datasheet's maximum per page, and the "
                       "slowest erase bossac waits for) or instant."),
        QStringLiteral("pace") });
    parser.addOption(
        { QStringLiteral("instant-flash"), QStringLiteral("The same as --flash-timing instant.") });
    parser.addOption({ QStringLiteral("upload-limit"),
        QStringLiteral("The window stops bossac <s> seconds after Upload, not 60: a quicker "
                       "story of a board unplugged during the write."),
        QStringLiteral("s") });
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
    if (parser.isSet(QStringLiteral("instant-flash")))
        pace.flashTiming = SambaMonitor::FlashTiming();
    if (parser.isSet(QStringLiteral("flash-timing"))
        && !flashTimingNamed(parser.value(QStringLiteral("flash-timing")), pace.flashTiming))
        return fail(QStringLiteral("--flash-timing takes typical, slowest or instant"));
    if (parser.isSet(QStringLiteral("enumeration-delay"))) {
        bool number = false;
        pace.enumerationDelay = parser.value(QStringLiteral("enumeration-delay")).toInt(&number);
        if (!number || pace.enumerationDelay < 0)
            return fail(QStringLiteral("--enumeration-delay takes milliseconds"));
    }
    if (parser.isSet(QStringLiteral("upload-limit"))) {
        bool number = false;
        const int seconds = parser.value(QStringLiteral("upload-limit")).toInt(&number);
        if (!number || seconds <= 0 || !story)
            return fail(QStringLiteral("--upload-limit takes seconds, with --story"));
        MainWindow::setUploadTimeout(seconds * 1000);
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
