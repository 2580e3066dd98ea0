#include "simulatedboard.h"

#include "sambaboard.h"

#include <QDir>
#include <QMetaObject>

namespace {

constexpr quint32 ramStart = 0x20000000;
constexpr quint32 ramEnd = 0x20008000;
// Cortex-M0+ system exceptions and the SAMD21's 29 interrupts.
constexpr int vectorCount = 16 + 29;

const QString notLinkedFor0x6000
    = QStringLiteral("the image at 0x6000 has no valid vector table: was it linked for 0x6000?");

quint32 wordAt(const QByteArray &bytes, int offset)
{
    quint32 word = 0;
    for (int i = 0; i < 4; ++i)
        word |= static_cast<quint32>(static_cast<quint8>(bytes.at(offset + i))) << (8 * i);
    return word;
}

void appendWord(QByteArray &bytes, quint32 word)
{
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(word >> (8 * i));
}

void appendHalfword(QByteArray &bytes, quint16 halfword)
{
    bytes += static_cast<char>(halfword);
    bytes += static_cast<char>(halfword >> 8);
}

} // namespace

SimulatedBoard::SimulatedBoard(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , flashWhileUnplugged(factoryFlash())
{
    enter(RunsApplication);
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

QString SimulatedBoard::stateText() const
{
    switch (current) {
    case RunsApplication:
        return QStringLiteral("runs its application");
    case Bootloader:
        if (armedFault == SambaBoard::VanishesMidWrite)
            return QStringLiteral(
                "waits in its bootloader; will be unplugged during the next write");
        if (armedFault == SambaBoard::StopsAnswering && port->answering())
            return QStringLiteral(
                "waits in its bootloader; will stop answering during the next write");
        if (!port->answering() && !port->resetRequested())
            return QStringLiteral("has stopped answering (press reset twice)");
        return QStringLiteral("waits in its bootloader");
    case Unplugged:
        break;
    }
    return QStringLiteral("is unplugged");
}

QString SimulatedBoard::portName() const
{
    switch (current) {
    case RunsApplication:
        return QStringLiteral("COM3");
    case Bootloader:
        return QStringLiteral("COM7");
    case Unplugged:
        break;
    }
    return QString();
}

QString SimulatedBoard::portDescription() const
{
    switch (current) {
    case RunsApplication:
        return QStringLiteral("Adafruit Feather M0");
    case Bootloader:
        return QStringLiteral("Arduino Zero");
    case Unplugged:
        break;
    }
    return QString();
}

int SimulatedBoard::commandsHeard() const
{
    return port ? port->commands().size() : 0;
}

QByteArray SimulatedBoard::flash() const
{
    return port ? port->flash() : flashWhileUnplugged;
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

bool SimulatedBoard::bootloaderIntact() const
{
    return flash().left(applicationAddress) == factoryFlash().left(applicationAddress);
}

QString SimulatedBoard::startProblem(const QByteArray &image)
{
    if (image.size() < 8)
        return notLinkedFor0x6000;
    const quint32 stackPointer = wordAt(image, 0);
    const quint32 resetVector = wordAt(image, 4);
    const quint32 resetHandler = resetVector & ~1u;
    const bool stackInRam = stackPointer > ramStart && stackPointer <= ramEnd;
    // Cortex-M runs Thumb code only: a reset vector without bit 0 faults at once.
    const bool resetInImage = (resetVector & 1u) && resetHandler >= applicationAddress + 8
        && resetHandler < applicationAddress + static_cast<quint32>(image.size());
    return stackInRam && resetInImage ? QString() : notLinkedFor0x6000;
}

QByteArray SimulatedBoard::sampleApplication(int size, quint32 seed)
{
    const quint32 resetHandler = applicationAddress + vectorCount * 4;
    // The reset handler makes PA17 (the LED) an output, then toggles it after a delay
    // loop, forever. Thumb code, followed by its two literals.
    const quint16 blink[] = {
        0x4804, // ldr  r0, [pc, #16]   PORT
        0x2101, // movs r1, #1
        0x0449, // lsls r1, r1, #17     PA17
        0x6081, // str  r1, [r0, #8]    DIRSET
        0x61C1, // str  r1, [r0, #28]   OUTTGL
        0x4A03, // ldr  r2, [pc, #12]   delay
        0x3A01, // subs r2, #1
        0xD1FD, // bne  (subs)
        0xE7FA, // b    (OUTTGL)
        0x46C0, // nop, aligns the literals
    };
    const quint32 defaultHandler = resetHandler + sizeof blink + 8;

    QByteArray bytes;
    appendWord(bytes, ramEnd);
    appendWord(bytes, resetHandler | 1u);
    for (int vector = 2; vector < vectorCount; ++vector) {
        const bool reserved = (vector >= 4 && vector <= 10) || vector == 12 || vector == 13;
        appendWord(bytes, reserved ? 0u : defaultHandler | 1u);
    }
    for (quint16 instruction : blink)
        appendHalfword(bytes, instruction);
    appendWord(bytes, 0x41004400); // PORT
    appendWord(bytes, 1000000);
    appendHalfword(bytes, 0xE7FE); // default handler: b .

    // Code-like bytes: Thumb instructions of a few common forms. None has 0xFF as
    // its high byte, so the image never ends in what looks like erased flash.
    quint32 state = seed;
    while (bytes.size() + 1 < size) {
        state = state * 1664525u + 1013904223u;
        const quint16 low = static_cast<quint16>(state >> 8);
        const quint16 reg = (state >> 4) & 7;
        switch (state >> 29) {
        case 0:
            appendHalfword(bytes, 0x2000 | reg << 8 | (low & 0xFF)); // movs
            break;
        case 1:
            appendHalfword(bytes, 0x1800 | (low & 0x1FF)); // adds
            break;
        case 2:
            appendHalfword(bytes, 0x6800 | (low & 0x7FF)); // ldr
            break;
        case 3:
            appendHalfword(bytes, 0x6000 | (low & 0x7FF)); // str
            break;
        case 4:
            appendHalfword(bytes, 0x2800 | reg << 8 | (low & 0xFF)); // cmp
            break;
        case 5:
            appendHalfword(bytes, 0xD000 | (low & 0xDFF)); // conditional branch
            break;
        case 6:
            appendHalfword(bytes, 0xB5F0); // push {r4-r7, lr}
            break;
        default:
            appendHalfword(bytes, 0xBDF0); // pop {r4-r7, pc}
            break;
        }
    }
    if (bytes.size() < size)
        bytes += '\0';
    return bytes.left(size);
}

QByteArray SimulatedBoard::factoryFlash()
{
    QByteArray bytes = SambaBoard::initialFlash().left(applicationAddress);
    bytes += sampleApplication(9216, 0xFAC70000);
    bytes += QByteArray(static_cast<int>(SambaBoard::flashSize) - bytes.size(), '\xFF');
    return bytes;
}

void SimulatedBoard::doubleTapReset()
{
    if (current == Unplugged)
        return;
    lastMessage.clear();
    enter(Bootloader);
}

void SimulatedBoard::unplug()
{
    lastMessage.clear();
    enter(Unplugged);
}

void SimulatedBoard::plugIn()
{
    if (current != Unplugged)
        return;
    // Powered up, the bootloader starts the application if there is one.
    lastMessage = startProblem(applicationImage());
    enter(lastMessage.isEmpty() ? RunsApplication : Bootloader);
}

void SimulatedBoard::unplugDuringNextWrite()
{
    if (current != Bootloader)
        return;
    armedFault = SambaBoard::VanishesMidWrite;
    port->armFault(SambaBoard::VanishesMidWrite);
    emit changed();
}

void SimulatedBoard::stopAnsweringDuringNextWrite()
{
    if (current != Bootloader)
        return;
    armedFault = SambaBoard::StopsAnswering;
    port->armFault(SambaBoard::StopsAnswering);
    emit changed();
}

void SimulatedBoard::enter(State state)
{
    const QByteArray bytes = flash();
    port.reset();
    armedFault = SambaBoard::NoFault;
    current = state;
    if (state == Unplugged) {
        flashWhileUnplugged = bytes;
        emit changed();
        return;
    }
    // Every enumeration is a port of its own, as a USB device's is.
    port.reset(new SambaBoard(
        state == RunsApplication ? SambaBoard::NeverAnswers : SambaBoard::NoFault, bytes));
    // Called on the port's thread; the state changes on this object's.
    port->setListener([this] {
        QMetaObject::invokeMethod(this, &SimulatedBoard::portEvent, Qt::QueuedConnection);
    });
    if (!port->isRunning() || !port->linkAs(QDir(folder).filePath(portName())))
        error = port->errorString();
    emit changed();
}

void SimulatedBoard::portEvent()
{
    if (!port)
        return;
    if (port->vanished()) {
        lastMessage = QStringLiteral("unplugged while bossac was writing");
        enter(Unplugged);
    } else if (current == Bootloader && port->resetRequested()) {
        // Reset after the upload: the bootloader starts the application at 0x6000 if
        // it looks like one, and otherwise stays.
        const QString problem = startProblem(applicationImage());
        lastMessage
            = problem.isEmpty() ? QStringLiteral("started the application at 0x6000") : problem;
        enter(problem.isEmpty() ? RunsApplication : Bootloader);
    } else {
        if (!port->answering())
            lastMessage = QStringLiteral("stopped answering while bossac was writing");
        emit changed();
    }
}
