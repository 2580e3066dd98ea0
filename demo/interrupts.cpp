#include "interrupts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Close-on-exec, like everything the demo opens: bossac inherits nothing of it.
int signalPipe[2] = { -1, -1 };
std::atomic<int> receivedSignal { 0 };

void onSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    if (::write(signalPipe[1], &byte, 1) < 0)
        ::_exit(128 + signal);
}

void killChildren()
{
    const QByteArray ourPid = QByteArray::number(::getpid());
    const QStringList pids
        = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // After the command name, which is in parentheses: state, then parent pid.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == ourPid)
            ::kill(pid.toInt(), SIGKILL);
    }
}

void watch()
{
    char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1 && byte != 0) {
        receivedSignal = byte;
        killChildren();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

} // namespace

Interrupts::Interrupts()
{
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        qWarning("cannot watch for Ctrl+C: no pipe");
        return;
    }
    watcher = QThread::create(watch);
    watcher->start();
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

Interrupts::~Interrupts()
{
    if (!watcher)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    // A zero byte ends the watching thread.
    const char stop = 0;
    if (::write(signalPipe[1], &stop, 1) == 1) {
        watcher->wait();
        delete watcher;
    }
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
}

int Interrupts::received()
{
    return receivedSignal;
}

int Interrupts::exitCode(int result)
{
    return received() ? 128 + received() : result;
}
