#include "simulatedboard.h"

#include "samd21.h"
#include "sampleapplication.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTimer>

using namespace Samd21;

namespace {

struct StateFacts
{
    const char *name;
    const char *port;
    const char *description;
    const char *text;
};

// In the order of SimulatedBoard::State. A board that hangs in its bootloader keeps
// the port it had; an application that hangs never had one.
const StateFacts stateFacts[] = {
    { "application", "COM3", "Adafruit Feather M0", "runs its application" },
    { "bootloader", "COM7", "Arduino Zero", "waits in its bootloader" },
    { "starting", "", "", "restarts: its bootloader waits for a second press" },
    { "silent", "COM7", "Arduino Zero", "has stopped answering" },
    { "hung", "", "", "shows no port: the application does not run" },
    { "unplugged", "", "", "is unplugged" },
};
static_assert(sizeof stateFacts / sizeof *stateFacts == SimulatedBoard::Unplugged + 1,
    "one row of facts for each state");

qint64 monotonicMilliseconds()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return timer.elapsed();
}

QString hex(quint32 word)
{
    return QStringLiteral("0x%1").arg(word, 8, 16, QLatin1Char('0'));
}

// Where the programmed bytes above 0x6000 end.
quint32 imageEnd(const QByteArray &flash)
{
    int end = flash.size();
    while (end > static_cast<int>(applicationAddress) && flash.at(end - 1) == '\xFF')
        --end;
    return static_cast<quint32>(end);
}

bool hasPort(SimulatedBoard::State state)
{
    return *stateFacts[state].port != '\0';
}

} // namespace

SimulatedBoard::SimulatedBoard(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , worker(new QObject)
    , windowTimer(new QTimer(worker))
    , enumerationTimer(new QTimer(worker))
    , storedFlash(factoryFlash())
    , clock(monotonicMilliseconds)
{
    windowTimer->setSingleShot(true);
    windowTimer->setInterval(doublePressWindow);
    enumerationTimer->setSingleShot(true);
    connect(windowTimer, &QTimer::timeout, worker, [this] { applyStartRule(); });
    connect(enumerationTimer, &QTimer::timeout, worker, [this] { makePort(); });
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.setObjectName(QStringLiteral("simulated board"));
    thread.start();
    // The board leaves the factory running its application, its port already there.
    onBoardThread([this] {
        enter(Application, NoCause, QString());
        makePort();
    });
}

SimulatedBoard::~SimulatedBoard()
{
    // Stops the port's thread before anything it may call back into goes away.
    onBoardThread([this] {
        windowTimer->stop();
        enumerationTimer->stop();
        QMutexLocker lock(&mutex);
        port.reset();
    });
    thread.quit();
    thread.wait();
}

void SimulatedBoard::onBoardThread(const std::function<void()> &work)
{
    if (QThread::currentThread() == &thread)
        work();
    else
        QMetaObject::invokeMethod(worker, work, Qt::BlockingQueuedConnection);
}

bool SimulatedBoard::isRunning() const
{
    QMutexLocker lock(&mutex);
    return error.isEmpty();
}

QString SimulatedBoard::errorString() const
{
    QMutexLocker lock(&mutex);
    return error;
}

SimulatedBoard::State SimulatedBoard::state() const
{
    QMutexLocker lock(&mutex);
    return current;
}

QString SimulatedBoard::stateName() const
{
    return QLatin1String(stateFacts[state()].name);
}

QString SimulatedBoard::stateText() const
{
    QMutexLocker lock(&mutex);
    QString text = QLatin1String(stateFacts[current].text);
    if (hasPort(current) && !port)
        text += QStringLiteral("; its port is not there yet");
    if (fault == SambaBoard::UnplugDuringNextWrite)
        text += QStringLiteral("; will be unplugged during the next write");
    else if (fault == SambaBoard::StopAnsweringDuringNextWrite)
        text += QStringLiteral("; will stop answering during the next write");
    return text;
}

QString SimulatedBoard::portName() const
{
    QMutexLocker lock(&mutex);
    return port ? QLatin1String(stateFacts[current].port) : QString();
}

QString SimulatedBoard::portDescription() const
{
    QMutexLocker lock(&mutex);
    return port ? QLatin1String(stateFacts[current].description) : QString();
}

SimulatedBoard::Cause SimulatedBoard::cause() const
{
    QMutexLocker lock(&mutex);
    return currentCause;
}

SambaBoard::Fault SimulatedBoard::armedFault() const
{
    QMutexLocker lock(&mutex);
    return fault;
}

QString SimulatedBoard::message() const
{
    QMutexLocker lock(&mutex);
    return lastMessage;
}

qint64 SimulatedBoard::bytesHeard() const
{
    QMutexLocker lock(&mutex);
    return port ? port->bytesHeard() : 0;
}

QByteArray SimulatedBoard::flash() const
{
    QMutexLocker lock(&mutex);
    return port ? port->flash() : storedFlash;
}

QByteArray SimulatedBoard::applicationImage() const
{
    const QByteArray bytes = flash();
    return bytes.mid(applicationAddress, static_cast<int>(imageEnd(bytes) - applicationAddress));
}

bool SimulatedBoard::holdsImage(const QByteArray &image) const
{
    const QByteArray bytes = flash().mid(applicationAddress);
    if (!bytes.startsWith(image))
        return false;
    const int paddedEnd = (image.size() + pageSize - 1) / pageSize * pageSize;
    for (int i = image.size(); i < bytes.size(); ++i)
        if (bytes.at(i) != '\xFF' && (i >= paddedEnd || bytes.at(i) != '\0'))
            return false;
    return true;
}

bool SimulatedBoard::belowApplicationUntouched() const
{
    return flash().left(applicationAddress) == factoryFlash().left(applicationAddress);
}

void SimulatedBoard::setClock(Clock newClock)
{
    onBoardThread([this, &newClock] { clock = std::move(newClock); });
}

void SimulatedBoard::setEnumerationDelay(int milliseconds)
{
    onBoardThread([this, milliseconds] { enumerationDelay = milliseconds; });
}

void SimulatedBoard::setFlashTiming(SambaMonitor::FlashTiming timing)
{
    onBoardThread([this, timing] { flashTiming = timing; });
}

void SimulatedBoard::setLockBits(quint16 bits)
{
    onBoardThread([this, bits] { lockBits = bits; });
}

SimulatedBoard::Start SimulatedBoard::startRule(const QByteArray &flash)
{
    const quint32 stackPointer = wordAt(flash, applicationAddress);
    const quint32 resetVector = wordAt(flash, resetVectorAddress);
    if (resetVector == 0xFFFFFFFF)
        return { Bootloader, NoApplication,
            QStringLiteral("0x6004 reads erased: there is no application, so the bootloader "
                           "stays") };

    const QString jumped = QStringLiteral("jumped to the application at 0x6000, which hangs: ");
    if (stackPointer <= sramAddress || stackPointer > sramEnd)
        return { Hung, StackNotInRam,
            jumped
                + QStringLiteral("its initial stack pointer %1 is not in RAM")
                      .arg(hex(stackPointer)) };
    // Cortex-M runs Thumb code only: a reset vector without bit 0 faults at once.
    if (!(resetVector & 1u))
        return { Hung, ResetNotThumb,
            jumped
                + QStringLiteral("its reset vector %1 is not Thumb code").arg(hex(resetVector)) };
    const quint32 end = imageEnd(flash);
    const auto programmed = [&](quint32 handler) {
        return handler >= applicationAddress + 8 && handler + 2 <= end
            && wordAt(flash, static_cast<int>(handler) & ~3) != 0xFFFFFFFF;
    };
    if (!programmed(resetVector & ~1u))
        return { Hung, ResetOutsideImage,
            jumped
                + QStringLiteral("its reset vector %1 points outside the image (0x6000 to %2)")
                      .arg(hex(resetVector), hex(end)) };
    // The exception handlers: NMI, HardFault, SVCall, PendSV and SysTick.
    for (int vector : { 2, 3, 11, 14, 15 }) {
        const quint32 handler = wordAt(flash, static_cast<int>(applicationAddress) + 4 * vector);
        if (handler != 0 && !programmed(handler & ~1u))
            return { Hung, CutShort,
                jumped
                    + QStringLiteral("the image is cut short: its handler %1 lies in erased "
                                     "flash (the image ends at %2)")
                          .arg(hex(handler), hex(end)) };
    }
    return { Application, Started, QStringLiteral("started the application at 0x6000") };
}

QByteArray SimulatedBoard::factoryFlash()
{
    static const QByteArray bytes = [] {
        QByteArray flash = SambaMonitor::initialFlash().left(applicationAddress);
        flash += sampleApplication(9216, 0xFAC70000);
        flash += QByteArray(static_cast<int>(flashSize) - flash.size(), '\xFF');
        return flash;
    }();
    return bytes;
}

void SimulatedBoard::pressReset()
{
    onBoardThread([this] {
        if (current == Unplugged)
            return;
        const qint64 now = clock();
        const bool secondPress = firstPressPending && now - firstPressAt <= doublePressWindow;
        if (!secondPress) {
            firstPressAt = now;
            restart(true);
            return;
        }
        // The bootloader saw the second press while it waited for one: it stays.
        firstPressPending = false;
        windowTimer->stop();
        enter(Bootloader, NoCause, QString());
    });
}

void SimulatedBoard::unplug()
{
    onBoardThread([this] {
        if (current == Unplugged)
            return;
        firstPressPending = false;
        windowTimer->stop();
        enter(Unplugged, NoCause, QString());
    });
}

void SimulatedBoard::plugIn()
{
    onBoardThread([this] {
        if (current == Unplugged)
            restart(false);
    });
}

void SimulatedBoard::unplugDuringNextWrite()
{
    armFault(SambaBoard::UnplugDuringNextWrite);
}

void SimulatedBoard::stopAnsweringDuringNextWrite()
{
    armFault(SambaBoard::StopAnsweringDuringNextWrite);
}

void SimulatedBoard::restart(bool countsAsPress)
{
    // The USB port goes with the reset; the bootloader then waits half a second for
    // a second press before it applies its start rule.
    firstPressPending = countsAsPress;
    enter(Starting, NoCause, QString());
    windowTimer->start();
}

void SimulatedBoard::applyStartRule()
{
    firstPressPending = false;
    const Start start = startRule(flash());
    QString reason = start.reason;
    if (lockRefusal)
        reason += QStringLiteral("; during the upload the NVM controller refused to erase or "
                                 "write locked rows");
    lockRefusal = false;
    enter(start.state, start.cause, reason);
}

void SimulatedBoard::enter(State state, Cause cause, const QString &message)
{
    enumerationTimer->stop();
    leavePort();
    setState(state, cause);
    announce(message);
    if (hasPort(state)) {
        if (enumerationDelay > 0)
            enumerationTimer->start(enumerationDelay);
        else
            makePort();
    }
}

void SimulatedBoard::setState(State state, Cause cause)
{
    QMutexLocker lock(&mutex);
    current = state;
    currentCause = cause;
    fault = SambaBoard::NoFault;
    error.clear();
}

void SimulatedBoard::makePort()
{
    enumerationTimer->stop();
    std::unique_ptr<SambaBoard> made(new SambaBoard(storedFlash,
        current == Application ? SambaBoard::Application : SambaBoard::Bootloader, lockBits));
    made->setFlashTiming(flashTiming);
    // Called on the port's thread; the state changes on the board's.
    const quint64 generation = portGeneration;
    made->setListener([this, generation](SambaBoard::Event event) {
        QMetaObject::invokeMethod(
            worker, [this, generation, event] { portEvent(generation, event); },
            Qt::QueuedConnection);
    });
    const QString name = QLatin1String(stateFacts[current].port);
    QString failure;
    if (!made->isRunning() || !made->linkAs(QDir(folder).filePath(name)))
        failure = QStringLiteral("cannot make its port %1: %2").arg(name, made->errorString());
    {
        QMutexLocker lock(&mutex);
        port = std::move(made);
        error = failure;
        if (!failure.isEmpty()) {
            currentCause = PortNotMade;
            lastMessage = failure;
        }
    }
    if (!failure.isEmpty())
        emit said(failure);
    emit changed();
}

void SimulatedBoard::leavePort()
{
    if (!port)
        return;
    QMutexLocker lock(&mutex);
    storedFlash = port->flash();
    lockRefusal = lockRefusal || port->lockErrorSeen();
    port.reset();
    ++portGeneration;
}

void SimulatedBoard::armFault(SambaBoard::Fault armed)
{
    onBoardThread([this, armed] {
        if (current != Bootloader || !port)
            return;
        {
            QMutexLocker lock(&mutex);
            fault = armed;
        }
        port->armFault(armed);
        emit changed();
    });
}

void SimulatedBoard::portEvent(quint64 generation, SambaBoard::Event event)
{
    // A port that has been replaced or unplugged since has nothing more to say.
    if (generation != portGeneration)
        return;
    switch (event) {
    case SambaBoard::Unplugged:
        enter(Unplugged, UnpluggedMidWrite, QStringLiteral("unplugged while bossac was writing"));
        break;
    case SambaBoard::StoppedAnswering:
        // The port stays: the chip hangs in the bootloader and no longer answers.
        setState(Silent, StoppedAnswering);
        announce(QStringLiteral("stopped answering while bossac was writing"));
        break;
    case SambaBoard::ResetRequested:
        restart(false);
        break;
    }
}

void SimulatedBoard::announce(const QString &message)
{
    {
        QMutexLocker lock(&mutex);
        lastMessage = message;
    }
    if (!message.isEmpty())
        emit said(message);
    emit changed();
}
