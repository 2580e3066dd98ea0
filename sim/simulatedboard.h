#ifndef SIMULATEDBOARD_H
#define SIMULATEDBOARD_H

#include "sambaboard.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

class QTimer;

// A SAMD21 board with a life of its own, for trying the uploader without one. It
// runs its application on COM3 ("Adafruit Feather M0"). Its one reset button drops
// its USB port at once; pressed again within 500 ms, the bootloader stays and its
// port COM7 ("Arduino Zero") appears. Otherwise, half a second later, the bootloader
// applies its start rule (startRule()): it stays when 0x6004 reads erased, and jumps
// to the application otherwise, which runs, with COM3, or hangs, with no port at
// all. A new port appears only after the enumeration delay, as a USB device's does.
// After an upload, bossac's reset does the same as one press. The board keeps no
// memory of an upload beyond what its flash holds.
//
// The board lives on a thread of its own, so that its clock, its ports and its
// faults go on while the uploader's window blocks in an upload. Its slots may be
// called from any thread and return once the board has acted; its getters may be
// called from any thread; its signals come from the board's thread. Its ports are
// links, named after them, in a folder (the uploader's working directory, where
// bossac opens them); every enumeration is a new pseudo-terminal. Linux only.
class SimulatedBoard : public QObject
{
    Q_OBJECT

public:
    enum State {
        Application,
        Bootloader,
        // Half a second after a reset, while the bootloader waits for a second press.
        Starting,
        // The bootloader stopped answering: its port is still there.
        Silent,
        // The application was started and does not run: no port at all.
        Hung,
        Unplugged,
    };
    Q_ENUM(State)

    // Why the board is in its state, as the board knows it and a user may not.
    enum Cause {
        NoCause,
        Started,
        NoApplication,
        StackNotInRam,
        ResetNotThumb,
        ResetOutsideImage,
        CutShort,
        UnpluggedMidWrite,
        StoppedAnswering,
        PortNotMade,
    };

    // What the bootloader does with the flash it finds, and why.
    struct Start
    {
        State state;
        Cause cause;
        QString reason;
    };

    // Milliseconds from any fixed start; the reset button's timing reads it.
    using Clock = std::function<qint64()>;
    static constexpr int doublePressWindow = 500;
    static constexpr int defaultEnumerationDelay = 1000;

    explicit SimulatedBoard(const QString &folder, QObject *parent = nullptr);
    ~SimulatedBoard() override;

    // Whether the board's first port could be made; errorString() says why not.
    bool isRunning() const;
    QString errorString() const;

    State state() const;
    // The state in a word: "application", "bootloader", "starting", "silent", "hung"
    // or "unplugged".
    QString stateName() const;
    // The state as a user sees it, e.g. "runs its application", with a fault that is
    // armed.
    QString stateText() const;
    // The board's port and its description; empty while there is none.
    QString portName() const;
    QString portDescription() const;
    Cause cause() const;
    SambaBoard::Fault armedFault() const;
    // What the board last had to say: the facts, e.g. why its application hangs.
    QString message() const;
    // Bytes that reached the current port since it appeared.
    qint64 bytesHeard() const;

    QByteArray flash() const;
    // What 0x6000 holds: up to the last byte that is not erased.
    QByteArray applicationImage() const;
    // Whether 0x6000 holds `image` byte for byte, followed by bossac's padding to a
    // whole page and then erased flash.
    bool holdsImage(const QByteArray &image) const;
    // Whether everything below 0x6000 is as the board left the factory.
    bool belowApplicationUntouched() const;

    // Replaces the clock the reset button reads, so that a test can press it at
    // given times without waiting.
    void setClock(Clock clock);
    // How long a new port takes to appear; defaultEnumerationDelay unless set.
    void setEnumerationDelay(int milliseconds);
    // How long erasing and writing take, from the next port on; instant unless set.
    void setFlashTiming(SambaMonitor::FlashTiming timing);
    // The user row's lock bits (one per 16 KiB region, 0 = locked), from the next
    // port on.
    void setLockBits(quint16 bits);

    // The bootloader's start rule, and what the chip does after the jump, read from
    // the flash alone. It stays when the word at 0x6004 reads erased; otherwise the
    // application runs if its vector table gives an initial stack pointer in RAM, a
    // reset handler in Thumb code inside the image, and if every handler it names
    // lies on programmed flash: an image cut short (its exception handlers sit at its
    // end, as a linker places them) runs into erased flash and hangs.
    static Start startRule(const QByteArray &flash);
    // The flash the board leaves the factory with: the bootloader below 0x6000 and
    // an application above it.
    static QByteArray factoryFlash();

public slots:
    // One press of the reset button: restarts the board, or, as the second press
    // within 500 ms of a first, keeps it in the bootloader.
    void pressReset();
    void unplug();
    void plugIn();
    // Arm a fault for the next upload, in the bootloader only: half way through the
    // next chunk the board is unplugged (bossac then hangs until it is killed), or
    // stops answering.
    void unplugDuringNextWrite();
    void stopAnsweringDuringNextWrite();
    void armFault(SambaBoard::Fault fault);

signals:
    void changed();
    // Emitted with each new message, just before the changed() that it explains.
    void said(const QString &message);

private:
    void onBoardThread(const std::function<void()> &work);
    void restart(bool countsAsPress);
    void applyStartRule();
    void enter(State state, Cause cause, const QString &message);
    void setState(State state, Cause cause);
    void makePort();
    void leavePort();
    void portEvent(quint64 generation, SambaBoard::Event event);
    void announce(const QString &message);

    const QString folder;
    QThread thread;
    QObject *worker;
    QTimer *windowTimer;
    QTimer *enumerationTimer;

    // Guards what the getters read; the board's thread is the only writer.
    mutable QMutex mutex;
    State current = Unplugged;
    Cause currentCause = NoCause;
    std::unique_ptr<SambaBoard> port;
    // Counts the ports, so that a late event from one that is gone is ignored.
    quint64 portGeneration = 0;
    SambaBoard::Fault fault = SambaBoard::NoFault;
    QByteArray storedFlash;
    quint16 lockBits = 0xFFFF;
    SambaMonitor::FlashTiming flashTiming;
    int enumerationDelay = defaultEnumerationDelay;
    // An upload met locked rows: the next start says so.
    bool lockRefusal = false;
    Clock clock;
    qint64 firstPressAt = 0;
    bool firstPressPending = false;
    QString lastMessage;
    QString error;
};

#endif // SIMULATEDBOARD_H
