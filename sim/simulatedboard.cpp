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

// How often the double tap's wait looks at a clock that a test replaced.
constexpr int replacedClockPoll = 10;

bool hasPort(SimulatedBoard::State state)
{
    return *stateFacts[state].port != '\0';
}

} // namespace

SimulatedBoard::SimulatedBoard(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , worker(new QObject)
    , waitTimer(new QTimer(worker))
    , enumerationTimer(new QTimer(worker))
    , storedFlash(factoryFlash())
    , clock(monotonicMilliseconds)
{
    waitTimer->setSingleShot(true);
    waitTimer->setTimerType(Qt::PreciseTimer);
    enumerationTimer->setSingleShot(true);
    connect(waitTimer, &QTimer::timeout, worker, [this] { waitOver(); });
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
        waitTimer->stop();
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
    if (const SambaBoard::FaultFacts *facts = SambaBoard::factsOf(fault))
        text += QStringLiteral("; ") + QLatin1String(facts->armed);
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

SambaBoard::Fault SimulatedBoard::struckFault() const
{
    QMutexLocker lock(&mutex);
    return struck;
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
    onBoardThread([this, &newClock] {
        clock = std::move(newClock);
        clockReplaced = true;
    });
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

SimulatedBoard::StartCase SimulatedBoard::startCase(
    quint32 stackPointer, quint32 vectorTable, ResetCause reset, bool tapMagic)
{
    if (stackPointer == 0xFFFFFFFF)
        return ErasedStackPointer;
    if (vectorTable % vectorTableAlignment != 0)
        return MisalignedVectorTable;
    if (reset == PowerOn)
        return PowerOnReset;
    return tapMagic ? SecondTap : FirstTap;
}

const SimulatedBoard::StartRow &SimulatedBoard::startRow(StartCase startCase)
{
    // In the order of StartCase.
    static const StartRow rows[] = {
        { "erased flash cell value", StayAtOnce,
            "0x6000 reads erased: there is no application, so the bootloader stays at once" },
        { "vector table not aligned enough", StayAtOnce,
            "the application's vector table is not aligned as VTOR needs, so the bootloader "
            "stays" },
        { "power-on", JumpAtOnce,
            "powered on: the bootloader jumped to the application at 0x6000 at once" },
        { "second tap", StayAtOnce, "reset again within half a second: the bootloader stays" },
        { "first tap", WaitThenJump,
            "no second reset within half a second: the bootloader jumped to the application at "
            "0x6000" },
    };
    static_assert(sizeof rows / sizeof *rows == FirstTap + 1, "one row for each case");
    return rows[startCase];
}

SimulatedBoard::Outcome SimulatedBoard::afterJump(const QByteArray &flash, Cause damage)
{
    const quint32 stackPointer = wordAt(flash, applicationAddress);
    const quint32 resetVector = wordAt(flash, applicationAddress + 4);
    const QString hangs = QStringLiteral("which hangs: ");
    if (stackPointer <= sramAddress || stackPointer > sramEnd)
        return { Hung, StackNotInRam,
            hangs
                + QStringLiteral("its initial stack pointer %1 is not in RAM")
                      .arg(hex(stackPointer)) };
    if (resetVector == 0xFFFFFFFF)
        return { Hung, ResetOutsideImage,
            hangs + QStringLiteral("its reset vector reads erased (0xffffffff)") };
    // Cortex-M runs Thumb code only: a reset vector without bit 0 faults at once.
    if (!(resetVector & 1u))
        return { Hung, ResetNotThumb,
            hangs + QStringLiteral("its reset vector %1 is not Thumb code").arg(hex(resetVector)) };
    const quint32 end = imageEnd(flash);
    const quint32 handler = resetVector & ~1u;
    if (handler < applicationAddress + 8 || handler + 2 > end
        || wordAt(flash, static_cast<int>(handler) & ~3) == 0xFFFFFFFF)
        return { Hung, ResetOutsideImage,
            hangs
                + QStringLiteral("its reset vector %1 points outside the image (0x6000 to %2)")
                      .arg(hex(resetVector), hex(end)) };
    if (damage == CutShort)
        return { Hung, CutShort,
            hangs
                + QStringLiteral("the image is cut short: its upload stopped after the erase, "
                                 "before bossac's reset, and the chip runs into erased flash") };
    if (damage == LockedRows)
        return { Hung, LockedRows,
            hangs
                + QStringLiteral("it is not the image uploaded: during the upload the NVM "
                                 "controller refused to erase or write locked rows") };
    return { Application, Started, QStringLiteral("which runs") };
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
        if (current != Unplugged)
            reset(ResetButton);
    });
}

void SimulatedBoard::unplug()
{
    onBoardThread([this] {
        if (current == Unplugged)
            return;
        // SRAM, and the double-tap magic in it, goes with the power.
        tapMagic = false;
        enter(Unplugged, NoCause, QString());
    });
}

void SimulatedBoard::plugIn()
{
    onBoardThread([this] {
        if (current == Unplugged)
            reset(PowerOn);
    });
}

void SimulatedBoard::reset(ResetCause cause)
{
    // A wait that the clock says is over ended in a jump before this reset came.
    if (current == Starting && clock() - tapMagicWrittenAt > doubleTapWait) {
        tapMagic = false;
        jump(FirstTap);
    }
    // The USB port goes with the reset; the rule reads the flash as the port left it.
    enumerationTimer->stop();
    leavePort();
    const StartCase rule
        = startCase(wordAt(storedFlash, applicationAddress), applicationAddress, cause, tapMagic);
    const StartRow &row = startRow(rule);
    // Past the alignment test the bootloader clears the magic, or writes it to wait for
    // a second tap.
    if (rule != ErasedStackPointer && rule != MisalignedVectorTable)
        tapMagic = false;
    switch (row.decision) {
    case StayAtOnce:
        enter(Bootloader,
            rule == ErasedStackPointer          ? NoApplication
                : rule == MisalignedVectorTable ? MisalignedApplication
                                                : NoCause,
            QLatin1String(row.text));
        break;
    case JumpAtOnce:
        jump(rule);
        break;
    case WaitThenJump:
        tapMagic = true;
        tapMagicWrittenAt = clock();
        enter(Starting, NoCause, QString());
        waitTimer->start(clockReplaced ? replacedClockPoll : doubleTapWait + 1);
        break;
    }
}

void SimulatedBoard::waitOver()
{
    if (current != Starting)
        return;
    // The clock decides: a timer that fired early, or a test's clock that has not moved
    // on, waits again.
    const qint64 left = tapMagicWrittenAt + doubleTapWait - clock();
    if (left >= 0) {
        waitTimer->start(clockReplaced ? replacedClockPoll
                                       : static_cast<int>(qMin<qint64>(left, doubleTapWait)) + 1);
        return;
    }
    tapMagic = false;
    jump(FirstTap);
}

void SimulatedBoard::jump(StartCase rule)
{
    const Outcome outcome = afterJump(storedFlash, imageDamage);
    enter(outcome.state, outcome.cause,
        QLatin1String(startRow(rule).text) + QStringLiteral(", ") + outcome.reason);
}

void SimulatedBoard::enter(State state, Cause cause, const QString &message)
{
    waitTimer->stop();
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
    // An erase starts an upload: what followed it tells how the upload left the image.
    if (port->flashErased())
        imageDamage = port->lockErrorSeen() ? LockedRows
            : port->uploadCutShort()        ? CutShort
                                            : NoCause;
    port.reset();
    ++portGeneration;
}

bool SimulatedBoard::armFault(SambaBoard::Fault armed)
{
    bool done = false;
    onBoardThread([this, armed, &done] {
        if (current != Bootloader || !port || !SambaBoard::factsOf(armed))
            return;
        {
            QMutexLocker lock(&mutex);
            fault = armed;
        }
        port->armFault(armed);
        done = true;
        emit changed();
    });
    return done;
}

void SimulatedBoard::portEvent(quint64 generation, SambaBoard::Event event)
{
    // A port that has been replaced or unplugged since has nothing more to say.
    if (generation != portGeneration)
        return;
    if (event == SambaBoard::ResetRequested) {
        reset(SystemReset);
        return;
    }
    const SambaBoard::FaultFacts *facts = SambaBoard::factsOf(fault);
    {
        QMutexLocker lock(&mutex);
        struck = fault;
    }
    const QString message
        = facts ? QLatin1String(facts->struck) : QStringLiteral("its port stopped working");
    if (event == SambaBoard::Unplugged) {
        tapMagic = false;
        enter(Unplugged, FaultStruck, message);
        return;
    }
    // The port stays: the chip hangs in the bootloader and no longer answers.
    setState(Silent, FaultStruck);
    announce(message);
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
