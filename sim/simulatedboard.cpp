#include "simulatedboard.h"

#include "samd21.h"
#include "sampleapplication.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMetaObject>

using namespace Samd21;

namespace {

struct StateFacts
{
    const char *name;
    const char *port;
    const char *description;
    const char *text;
};

// In the order of SimulatedBoard::State. A board that hangs keeps the port it had.
const StateFacts stateFacts[] = {
    { "application", "COM3", "Adafruit Feather M0", "runs its application" },
    { "bootloader", "COM7", "Arduino Zero", "waits in its bootloader" },
    { "silent", "COM7", "Arduino Zero", "has stopped answering (press reset)" },
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

} // namespace

SimulatedBoard::SimulatedBoard(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , storedFlash(factoryFlash())
    , clock(monotonicMilliseconds)
{
    enter(Application);
}

SimulatedBoard::~SimulatedBoard()
{
    // Stops the port's thread before anything it may call back into goes away.
    port.reset();
}

bool SimulatedBoard::isRunning() const
{
    return error.isEmpty();
}

QString SimulatedBoard::errorString() const
{
    return error;
}

QString SimulatedBoard::stateName() const
{
    return QLatin1String(stateFacts[current].name);
}

QString SimulatedBoard::stateText() const
{
    QString text = QLatin1String(stateFacts[current].text);
    if (armedFault == SambaMonitor::VanishesMidWrite)
        text += QStringLiteral("; will be unplugged during the next write");
    else if (armedFault == SambaMonitor::StopsAnswering)
        text += QStringLiteral("; will stop answering during the next write");
    return text;
}

QString SimulatedBoard::portName() const
{
    return QLatin1String(stateFacts[current].port);
}

QString SimulatedBoard::portDescription() const
{
    return QLatin1String(stateFacts[current].description);
}

qint64 SimulatedBoard::bytesHeard() const
{
    return port ? port->bytesHeard() : 0;
}

QByteArray SimulatedBoard::flash() const
{
    return port ? port->flash() : storedFlash;
}

QByteArray SimulatedBoard::applicationImage() const
{
    const QByteArray bytes = flash();
    int end = bytes.size();
    while (end > static_cast<int>(applicationAddress) && bytes.at(end - 1) == '\xFF')
        --end;
    return bytes.mid(applicationAddress, end - static_cast<int>(applicationAddress));
}

bool SimulatedBoard::holdsImage(const QByteArray &image) const
{
    return flash().mid(applicationAddress, image.size()) == image;
}

bool SimulatedBoard::belowApplicationUntouched() const
{
    return flash().left(applicationAddress) == factoryFlash().left(applicationAddress);
}

void SimulatedBoard::setClock(Clock newClock)
{
    clock = std::move(newClock);
}

QString SimulatedBoard::startProblem(const QByteArray &image)
{
    if (image.count('\xFF') == image.size())
        return QStringLiteral("0x6000 is erased: there is no application to start. Upload one.");
    if (image.size() < 8)
        return QStringLiteral("the image at 0x6000 is too short to hold a vector table. Upload "
                              "an application linked for 0x6000.");
    const quint32 stackPointer = wordAt(image, 0);
    const quint32 resetVector = wordAt(image, 4);
    const quint32 resetHandler = resetVector & ~1u;
    if (stackPointer <= sramAddress || stackPointer > sramEnd)
        return QStringLiteral("the image at 0x6000 does not start: its initial stack pointer %1 "
                              "is not in RAM. Upload the .bin of a SAMD21 build, not an .elf "
                              "or .hex file.")
            .arg(hex(stackPointer));
    // Cortex-M runs Thumb code only: a reset vector without bit 0 faults at once.
    if (!(resetVector & 1u))
        return QStringLiteral("the image at 0x6000 does not start: its reset vector %1 is not "
                              "Thumb code. Build it for the Cortex-M0+.")
            .arg(hex(resetVector));
    if (resetHandler < applicationAddress + 8
        || resetHandler >= applicationAddress + static_cast<quint32>(image.size()))
        return QStringLiteral("the image at 0x6000 does not start: its reset vector %1 points "
                              "outside it. Link it for 0x6000.")
            .arg(hex(resetVector));
    return QString();
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
    if (current == Unplugged)
        return;
    const qint64 now = clock();
    const bool secondPress = firstPressPending && now - firstPressAt <= doublePressWindow;
    firstPressPending = !secondPress;
    firstPressAt = now;
    if (!secondPress) {
        restart();
        return;
    }
    // The bootloader saw the second press while it waited for one: it stays.
    enter(Bootloader);
    say(QString());
}

void SimulatedBoard::unplug()
{
    if (current == Unplugged)
        return;
    firstPressPending = false;
    enter(Unplugged);
    say(QString());
}

void SimulatedBoard::plugIn()
{
    if (current != Unplugged)
        return;
    restart();
}

void SimulatedBoard::unplugDuringNextWrite()
{
    armFault(SambaMonitor::VanishesMidWrite);
}

void SimulatedBoard::stopAnsweringDuringNextWrite()
{
    armFault(SambaMonitor::StopsAnswering);
}

void SimulatedBoard::restart()
{
    // The bootloader starts the application at 0x6000 if it looks like one, and
    // otherwise stays.
    leavePort();
    const QString problem = whyNotStart();
    enter(problem.isEmpty() ? Application : Bootloader);
    say(problem.isEmpty() ? QStringLiteral("started the application at 0x6000") : problem);
}

void SimulatedBoard::enter(State state)
{
    current = state;
    armedFault = SambaMonitor::NoFault;
    if (state == Silent)
        return;
    leavePort();
    error.clear();
    if (state == Unplugged)
        return;
    port.reset(new SambaBoard(
        storedFlash, state == Application ? SambaBoard::Application : SambaBoard::Bootloader));
    // Called on the port's thread; the state changes on this object's.
    const quint64 generation = portGeneration;
    port->setListener([this, generation](SambaBoard::Event event) {
        QMetaObject::invokeMethod(
            this, [this, generation, event] { portEvent(generation, event); },
            Qt::QueuedConnection);
    });
    if (!port->isRunning() || !port->linkAs(QDir(folder).filePath(portName())))
        error = QStringLiteral("cannot make its port %1: %2").arg(portName(), port->errorString());
}

void SimulatedBoard::leavePort()
{
    if (!port)
        return;
    storedFlash = port->flash();
    if (port->flashWritten())
        uploadInterrupted = !port->resetRequested();
    port.reset();
    ++portGeneration;
}

void SimulatedBoard::armFault(SambaMonitor::Fault fault)
{
    if (current != Bootloader)
        return;
    armedFault = fault;
    port->armFault(fault);
    emit changed();
}

void SimulatedBoard::portEvent(quint64 generation, SambaBoard::Event event)
{
    // A port that has been replaced or unplugged since has nothing more to say.
    if (generation != portGeneration)
        return;
    switch (event) {
    case SambaBoard::HungUp:
        enter(Unplugged);
        say(QStringLiteral("unplugged while bossac was writing: plug it in, press reset twice "
                           "and upload again"));
        break;
    case SambaBoard::FellSilent:
        enter(Silent);
        say(QStringLiteral("stopped answering while bossac was writing: press reset"));
        break;
    case SambaBoard::ResetRequested:
        restart();
        break;
    }
}

void SimulatedBoard::say(const QString &message)
{
    // A port that could not be made matters more than what the board meant to say.
    lastMessage = error.isEmpty() ? message : error;
    if (!lastMessage.isEmpty())
        emit said(lastMessage);
    emit changed();
}

QString SimulatedBoard::whyNotStart() const
{
    const QByteArray image = applicationImage();
    if (uploadInterrupted && !image.isEmpty())
        return QStringLiteral("the image at 0x6000 is incomplete: its upload was interrupted. "
                              "Press reset twice and upload it again.");
    return startProblem(image);
}
