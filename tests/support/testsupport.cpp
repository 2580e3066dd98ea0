#include "testsupport.h"

#include "mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
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
    return bytes;
}
