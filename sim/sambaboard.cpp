#include "sambaboard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class SambaBoard::Private
{
public:
    Private(const QByteArray &flash, Mode mode, quint16 lockBits);
    ~Private();

    bool open();
    void serve();
    void write(const QByteArray &bytes);
    bool waitForWake(qint64 microseconds);

    const Mode mode;
    int master = -1;
    int slave = -1;
    int wake[2] = { -1, -1 };
    QString slaveName;
    QString error;
    QStringList links;
    QThread *thread = nullptr;

    mutable QMutex mutex;
    SambaMonitor monitor;
    std::function<void(Event)> listener;
    qint64 heard = 0;
    Fault fault = NoFault;
    bool gone = false;
};

SambaBoard::Private::Private(const QByteArray &flash, Mode mode, quint16 lockBits)
    : mode(mode)
    , monitor(flash, lockBits)
{
    // The fault strikes half way through the first program command after it was
    // armed: the chip halts there.
    monitor.setPageGate(
        [this](quint32 page, quint32 pages) { return fault == NoFault || page < pages / 2; });
}

SambaBoard::Private::~Private()
{
    for (int fd : { master, slave, wake[0], wake[1] })
        if (fd >= 0)
            ::close(fd);
}

bool SambaBoard::Private::open()
{
    // Every descriptor is closed on exec: a bossac that inherited the master would
    // keep the port alive after the board was unplugged.
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = QStringLiteral("cannot open a pseudo-terminal: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        error = QStringLiteral("ptsname failed");
        return false;
    }
    slaveName = QString::fromLocal8Bit(name);
    // Holding the slave open keeps its raw settings between bossac runs and stops
    // bossac's close from hanging up the master.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = QStringLiteral("cannot open %1").arg(slaveName);
        return false;
    }
    termios settings;
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave, TCSANOW, &settings);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        error = QStringLiteral("cannot create a pipe");
        return false;
    }
    return true;
}

void SambaBoard::Private::serve()
{
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = { { wake[0], POLLIN, 0 }, { master, POLLIN, 0 } };
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            qWarning("board on %s: poll failed (%s); the port no longer answers",
                qPrintable(slaveName), std::strerror(errno));
            return;
        }
        if (fds[0].revents)
            return;
        if (!fds[1].revents)
            continue;
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;

        // The reply is made under the lock and written without it: writing may wait
        // for bossac to read, and the board's owner takes the lock to look at it.
        QByteArray reply;
        qint64 busy = 0;
        bool hangUp = false;
        bool silenced = false;
        bool reset = false;
        std::function<void(Event)> notify;
        {
            QMutexLocker lock(&mutex);
            const bool wasAnswering = monitor.answering();
            const bool wasReset = monitor.resetRequested();
            if (got > 0) {
                heard += got;
                if (mode == Bootloader)
                    reply = monitor.feed(QByteArray::fromRawData(buffer, static_cast<int>(got)));
                busy = monitor.takeBusyMicroseconds();
            }
            const bool struck = monitor.halted() && wasAnswering;
            const FaultFacts *facts = factsOf(fault);
            // Cannot read nothing while the slave is held open; do not spin if it does.
            hangUp = got <= 0 || (struck && facts && facts->strike == HangUp);
            gone = hangUp;
            reset = !wasReset && monitor.resetRequested();
            silenced = struck && !hangUp;
            notify = listener;
        }
        // The chip is busy erasing or writing; bossac waits for its reply meanwhile.
        if (busy > 0 && waitForWake(busy))
            return;
        if (!reply.isEmpty())
            write(reply);
        if (hangUp) {
            ::close(master);
            master = -1;
        }
        if (notify && (hangUp || reset || silenced))
            notify(hangUp ? Unplugged : reset ? ResetRequested : StoppedAnswering);
        if (hangUp)
            return;
    }
}

bool SambaBoard::Private::waitForWake(qint64 microseconds)
{
    pollfd wakeUp = { wake[0], POLLIN, 0 };
    const timespec timeout = { static_cast<time_t>(microseconds / 1000000),
        static_cast<long>(microseconds % 1000000 * 1000) };
    return ::ppoll(&wakeUp, 1, &timeout, nullptr) > 0;
}

void SambaBoard::Private::write(const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(
            master, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out = { master, POLLOUT, 0 };
            if (::poll(&out, 1, 1000) > 0)
                continue;
        }
        qWarning("board on %s: reply cut short, %lld of %lld bytes written", qPrintable(slaveName),
            static_cast<long long>(written), static_cast<long long>(bytes.size()));
        return;
    }
}

SambaBoard::SambaBoard(const QByteArray &flash, Mode mode, quint16 lockBits)
    : d(new Private(flash, mode, lockBits))
{
    if (!d->open())
        return;
    d->thread = QThread::create([this] { d->serve(); });
    d->thread->start();
}

SambaBoard::~SambaBoard()
{
    stop();
    for (const QString &link : qAsConst(d->links))
        if (QFileInfo(link).symLinkTarget() == d->slaveName || !QFileInfo::exists(link))
            QFile::remove(link);
}

bool SambaBoard::isRunning() const
{
    return d->thread && d->thread->isRunning();
}

QString SambaBoard::errorString() const
{
    return d->error;
}

QString SambaBoard::slavePath() const
{
    return d->slaveName;
}

bool SambaBoard::linkAs(const QString &portName)
{
    const QString link = QDir::current().absoluteFilePath(portName);
    if (QFileInfo(link).isSymLink())
        QFile::remove(link);
    if (::symlink(QFile::encodeName(d->slaveName).constData(), QFile::encodeName(link).constData())
        != 0) {
        d->error = QStringLiteral("cannot link %1 to %2: %3")
                       .arg(link, d->slaveName, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    d->links.append(link);
    return true;
}

QByteArray SambaBoard::flash() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.flash();
}

bool SambaBoard::resetRequested() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.resetRequested();
}

bool SambaBoard::answering() const
{
    QMutexLocker lock(&d->mutex);
    return d->mode == Bootloader && d->monitor.answering();
}

bool SambaBoard::unplugged() const
{
    QMutexLocker lock(&d->mutex);
    return d->gone;
}

bool SambaBoard::lockErrorSeen() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.lockErrorSeen();
}

bool SambaBoard::flashErased() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.flashErased();
}

bool SambaBoard::uploadCutShort() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.uploadCutShort();
}

QStringList SambaBoard::commands() const
{
    QMutexLocker lock(&d->mutex);
    return d->monitor.commands();
}

qint64 SambaBoard::bytesHeard() const
{
    QMutexLocker lock(&d->mutex);
    return d->heard;
}

void SambaBoard::armFault(Fault fault)
{
    QMutexLocker lock(&d->mutex);
    d->fault = fault;
}

void SambaBoard::setFlashTiming(SambaMonitor::FlashTiming timing)
{
    QMutexLocker lock(&d->mutex);
    d->monitor.setTiming(timing);
}

void SambaBoard::setListener(std::function<void(Event)> listener)
{
    QMutexLocker lock(&d->mutex);
    d->listener = std::move(listener);
}

void SambaBoard::stop()
{
    if (!d->thread)
        return;
    const char byte = 0;
    if (::write(d->wake[1], &byte, 1) < 0)
        qWarning("cannot wake the board's thread");
    d->thread->wait();
    delete d->thread;
    d->thread = nullptr;
}

const std::vector<SambaBoard::FaultFacts> &SambaBoard::faults()
{
    // Adding a fault is adding a row; a new kind of strike also needs its action in
    // Private::serve().
    static const std::vector<FaultFacts> rows {
        { UnplugDuringNextWrite, "unplug-during-next-write", "Unplug during the next write",
            "will be unplugged during the next write", "unplugged while bossac was writing",
            "Plug it in; it may show no port: press reset twice for the bootloader, then upload "
            "again.",
            HangUp },
        { StopAnsweringDuringNextWrite, "stop-answering-during-next-write",
            "Stop answering during the next write", "will stop answering during the next write",
            "stopped answering while bossac was writing", "Press reset twice and upload again.",
            Silence },
    };
    return rows;
}

const SambaBoard::FaultFacts *SambaBoard::factsOf(Fault fault)
{
    for (const FaultFacts &facts : faults())
        if (facts.fault == fault)
            return &facts;
    return nullptr;
}

QString SambaBoard::faultName(Fault fault)
{
    const FaultFacts *facts = factsOf(fault);
    return facts ? QLatin1String(facts->name) : QString();
}

SambaBoard::Fault SambaBoard::faultNamed(const QString &name)
{
    for (const FaultFacts &facts : faults())
        if (name == QLatin1String(facts.name))
            return facts.fault;
    return NoFault;
}

QString SambaBoard::faultNames(const QString &separator)
{
    QStringList names;
    for (const FaultFacts &facts : faults())
        names.append(QLatin1String(facts.name));
    return names.join(separator);
}
