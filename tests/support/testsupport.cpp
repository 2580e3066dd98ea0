#include "testsupport.h"

#include "mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextCodec>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    QDir::setCurrent(previous);
}

ScopedPathPrefix::ScopedPathPrefix(const QString &folder)
    : previous(qgetenv("PATH"))
{
    qputenv(
        "PATH", QFile::encodeName(folder) + QFile::encodeName(QDir::listSeparator()) + previous);
}

ScopedPathPrefix::~ScopedPathPrefix()
{
    qputenv("PATH", previous);
}

ScopedPortList::ScopedPortList(const QList<SerialPortEntry> &ports)
    : current(std::make_shared<QList<SerialPortEntry>>(ports))
{
    // The lister shares the list, so it never points at a destroyed one.
    QCOMBox::setPortLister([list = current] { return *list; });
}

ScopedPortList::~ScopedPortList()
{
    QCOMBox::setPortLister(nullptr);
}

QString installStandIn(const QString &folder, const QString &program, const QByteArray &steps)
{
    QString path = QDir(folder).filePath(program);
    // The build puts the stand-in beside the test programs: a path compiled in would
    // name this machine's file system, which a Windows build run elsewhere (or under
    // Wine) does not see under that name.
    QString standIn
        = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("uvo_standin"));
#ifdef Q_OS_WIN
    if (!path.endsWith(QLatin1String(".exe")))
        path += QLatin1String(".exe");
    standIn += QLatin1String(".exe");
#endif
    QFile::remove(path);
    if (!QFile::copy(standIn, path))
        qFatal("cannot copy the stand-in %s to %s", qPrintable(standIn), qPrintable(path));
    QFile stepsFile(path + QLatin1String(".steps"));
    if (!stepsFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || stepsFile.write(steps) != steps.size())
        qFatal("cannot write %s", qPrintable(stepsFile.fileName()));
    return path;
}

bool processIsGone(qint64 pid)
{
#ifdef Q_OS_WIN
    HANDLE handle = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!handle)
        return true;
    const bool exited = ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    ::CloseHandle(handle);
    return exited;
#else
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

namespace {

// Counts the window's ticks: the window re-arms its tick with QTimer::singleShot and
// a slot name, which Qt serves with a QSingleShotTimer whose timeout() signal is
// connected to that slot. A timer left over from a window already destroyed has
// lost its connection, and a single shot with a function has none: neither counts.
class TickCounter : public QObject
{
public:
    TickCounter() { QCoreApplication::instance()->installEventFilter(this); }
    int ticks = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Timer && watched->inherits("QSingleShotTimer")
            && (watched->*connectedReceivers)(SIGNAL(timeout())) > 0)
            ++ticks;
        return false;
    }

private:
    // QObject::receivers() is protected; this names it for any QObject.
    struct ReceiverCount : QObject
    {
        using QObject::receivers;
    };
    static constexpr int (QObject::*connectedReceivers)(
        const char *) const = &ReceiverCount::receivers;
};

} // namespace

bool waitForTicks(int count)
{
    TickCounter counter;
    return QTest::qWaitFor([&counter, count] { return counter.ticks >= count; }, 10000);
}

void touchWhenLogShows(MainWindow &window, const QString &text, const QString &file)
{
    QPlainTextEdit *log = logPanel(window);
    QObject::connect(log, &QPlainTextEdit::textChanged, log, [log, text, file] {
        if (!QFile::exists(file) && log->toPlainText().contains(text))
            QFile(file).open(QIODevice::WriteOnly);
    });
}

QPlainTextEdit *logPanel(MainWindow &window)
{
    return window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
}

QStringList logParagraphs(MainWindow &window)
{
    return logPanel(window)->toPlainText().split(QLatin1Char('\n'));
}

QStringList logLines(MainWindow &window)
{
    QStringList lines = logParagraphs(window);
    lines.removeAll(QString());
    return lines;
}

void fillLogScrolledToTop(MainWindow &window)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        qFatal("the window was not shown");
    QPlainTextEdit *log = logPanel(window);
    for (int line = 1; line <= 100; ++line)
        log->appendPlainText(QStringLiteral("earlier line %1").arg(line));
    log->verticalScrollBar()->setValue(0);
}

bool logScrolledToEnd(MainWindow &window)
{
    const QScrollBar *bar = logPanel(window)->verticalScrollBar();
    return bar->maximum() > 0 && bar->value() == bar->maximum();
}

QByteArray firmwareImage(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    quint32 state = seed;
    for (char &byte : bytes) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<char>(state >> 24);
    }
    const quint32 stackPointer = 0x20008000;
    const quint32 resetHandler = 0x6000 + 8 + 1;
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(stackPointer >> (8 * i));
        bytes[4 + i] = static_cast<char>(resetHandler >> (8 * i));
    }
    return bytes;
}

bool createFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath())
        && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

void addFirmwareFileRows()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<FirmwareFile>("make");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("verdict");

    // The flash above 0x6000 of the largest SAMD21, 256 KiB.
    constexpr int room = 0x40000 - 0x6000;
    QByteArray linkedFor0x2000 = firmwareImage(6000);
    linkedFor0x2000.replace(4, 4, QByteArray("\xB5\x20\x00\x00", 4));
    QByteArray linkedElsewhere = firmwareImage(6000);
    linkedElsewhere.replace(4, 4, QByteArray("\x01\x00\x03\x00", 4));

    QTest::newRow("a path to nothing") << "gone/app.bin" << FirmwareFile::Nothing << QByteArray()
                                       << "Error, the file gone/app.bin does not exist";
    QTest::newRow("an empty file") << "empty.bin" << FirmwareFile::File << QByteArray()
                                   << "Error, the file empty.bin is empty";
    QTest::newRow("a folder named like a firmware file")
        << "build.bin" << FirmwareFile::Folder << QByteArray()
        << "Error, build.bin is a folder, not a firmware file";
    QTest::newRow("one byte more than fits above 0x6000")
        << "big.bin" << FirmwareFile::File << firmwareImage(room + 1)
        << "Error, the file big.bin is too large: 237569 bytes, where at most 237568 fit above "
           "0x6000";
    QTest::newRow("300000 bytes")
        << "huge.bin" << FirmwareFile::File << firmwareImage(300000)
        << "Error, the file huge.bin is too large: 300000 bytes, where at "
           "most 237568 fit above 0x6000";
    QTest::newRow("an image linked for 0x2000")
        << "zero.bin" << FirmwareFile::File << linkedFor0x2000
        << "Error, zero.bin seems linked for 0x2000, not for 0x6000: build it for 0x6000";
    QTest::newRow("an image linked for no usual address")
        << "far.bin" << FirmwareFile::File << linkedElsewhere
        << "Error, far.bin is not linked for 0x6000 (its reset handler is at 0x30000): build it "
           "for 0x6000";
    QTest::newRow("not an image at all: text")
        << "notes.bin" << FirmwareFile::File << QByteArray("Hello, board.\n")
        << "Error, notes.bin is not a firmware image for the SAMD21: upload the .bin of a SAMD21 "
           "build";
    QTest::newRow("shorter than two words")
        << "short.bin" << FirmwareFile::File << firmwareImage(16).left(7)
        << "Error, short.bin is not a firmware image for the SAMD21: upload the .bin of a SAMD21 "
           "build";
    QTest::newRow("an ELF file") << "app.elf" << FirmwareFile::File
                                 << QByteArray("\x7F"
                                               "ELF")
            + QByteArray(60, '\x01')
                                 << "Error, app.elf is an ELF file: upload the .bin that the build "
                                    "makes from it";
    QTest::newRow("an Intel HEX file")
        << "app.hex" << FirmwareFile::File
        << QByteArray(":10600000FC7F0020096000000B6000000B60000025\n")
        << "Error, app.hex is an Intel HEX file: upload the .bin that the build makes from it";
#ifdef Q_OS_WIN
    // No ANSI code page but UTF-8 (65001) holds letters outside the basic plane.
    const QString rocket = QString::fromUtf8("Raketen \xF0\x9F\x9A\x80/app.bin");
    const QTextCodec *codePage = QTextCodec::codecForLocale();
    QTest::newRow("a name that the code page may not carry to bossac")
        << rocket << FirmwareFile::File << firmwareImage(1024)
        << (codePage->toUnicode(codePage->fromUnicode(rocket)) == rocket
                   ? QStringLiteral("Done!")
                   : "Error, bossac cannot open " + rocket
                       + ": the system's code page lacks letters of its name, so move or rename "
                         "it");
#endif
#ifdef Q_OS_UNIX
    QTest::newRow("a device") << "/dev/null" << FirmwareFile::Nothing << QByteArray()
                              << "Error, /dev/null is not a regular file";
    // Permissions do not keep root out.
    if (::geteuid() != 0)
        QTest::newRow("a file that cannot be read")
            << "locked.bin" << FirmwareFile::UnreadableFile << firmwareImage(4096)
            << "Error, the file locked.bin cannot be read: Permission denied";
#endif

    QTest::newRow("exactly the 237568 bytes above 0x6000")
        << "full.bin" << FirmwareFile::File << firmwareImage(room) << "Done!";
    QTest::newRow("a folder with a space and non-ASCII letters")
        << QString::fromUtf8("Mes Fïrmwäres/app v2 ü.bin") << FirmwareFile::File
        << firmwareImage(4096, 2) << "Done!";
    // On Windows a separator, here part of the file's name: bossac opens either.
    QTest::newRow("backslashes") << "fw\\app.bin" << FirmwareFile::File << firmwareImage(2048, 3)
                                 << "Done!";
}

bool makeFirmwareFile(FirmwareFile make, const QString &field, const QByteArray &content)
{
    const QString path = QDir::fromNativeSeparators(field);
    switch (make) {
    case FirmwareFile::Nothing:
        return true;
    case FirmwareFile::File:
        return createFile(path, content);
    case FirmwareFile::Folder:
        return QDir().mkpath(path);
    case FirmwareFile::UnreadableFile:
        return createFile(path, content) && QFile::setPermissions(path, QFileDevice::WriteOwner);
    }
    return false;
}
