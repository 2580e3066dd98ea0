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
// runs its application on COM3 ("Adafruit Feather M0"); its bootloader's port is COM7
// ("Arduino Zero"). Every reset drops the USB port at once and runs the bootloader's
// start rule (startCase()), Arduino's: it stays when 0x6000 reads erased, jumps at
// once after a power-on, and after any other reset stays on the second of two taps
// within half a second, or waits half a second for one and then jumps. The
// application then runs, with COM3, or hangs, with no port at all. A new port
// appears only after the enumeration delay, as a USB device's does. bossac's reset
// after an upload is a system reset: a tap, as a press of the reset button is. An
// upload that bossac erased, began to write and never ended with its reset leaves
// the application cut short, whatever the image's layout: it hangs at its next start.
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
        // The half second after a tap, while the bootloader waits for a second one.
        Starting,
        // The bootloader stopped answering: its port is still there.
        Silent,
        // The application was started and does not run: no port at all.
        Hung,
        Unplugged,
    };
    Q_ENUM(State)

    // What reset the chip, as the bootloader reads it from the power manager.
    enum ResetCause {
        PowerOn,
        ResetButton,
        // A reset request through AIRCR, as bossac makes at the end of an upload.
        SystemReset,
    };

    // The cases of the bootloader's start rule, in the order in which it tests them.
    enum StartCase {
        ErasedStackPointer,
        MisalignedVectorTable,
        PowerOnReset,
        SecondTap,
        FirstTap,
    };
    Q_ENUM(StartCase)

    enum Decision {
        StayAtOnce,
        JumpAtOnce,
        // Writes the double-tap magic, waits half a second, clears it and jumps.
        WaitThenJump,
    };

    struct StartRow
    {
        // As the bootloader's source names the case.
        const char *sourceCase;
        Decision decision;
        // What the board does, in a user's words.
        const char *text;
    };

    // Why the board is in its state, as the board knows it and a user may not.
    enum Cause {
        NoCause,
        Started,
        NoApplication,
        MisalignedApplication,
        StackNotInRam,
        ResetNotThumb,
        ResetOutsideImage,
        CutShort,
        LockedRows,
        FaultStruck,
        PortNotMade,
    };

    // What the chip does once the bootloader has jumped to the application.
    struct Outcome
    {
        State state;
        Cause cause;
        QString reason;
    };

    // Milliseconds from any fixed start; the double tap's wait reads it.
    using Clock = std::function<qint64()>;
    static constexpr int doubleTapWait = 500;
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
    // The fault that struck last.
    SambaBoard::Fault struckFault() const;
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

    // Replaces the clock the double tap's wait reads, so that a test can tap at given
    // times without waiting: the wait ends once the clock says so.
    void setClock(Clock clock);
    // How long a new port takes to appear; defaultEnumerationDelay unless set.
    void setEnumerationDelay(int milliseconds);
    // How long erasing and writing take, from the next port on; instant unless set.
    void setFlashTiming(SambaMonitor::FlashTiming timing);
    // The user row's lock bits (one per 16 KiB region, 0 = locked), from the next
    // port on.
    void setLockBits(quint16 bits);

    // The bootloader's start rule: which case a reset falls in, from the application's
    // first word (its initial stack pointer), the address of its vector table, what
    // reset the chip and whether SRAM holds the double-tap magic.
    static StartCase startCase(
        quint32 stackPointer, quint32 vectorTable, ResetCause reset, bool tapMagic);
    // The rule's table: what the bootloader does in each case.
    static const StartRow &startRow(StartCase startCase);
    // What the chip does after the jump into the application at 0x6000: it runs if its
    // vector table gives an initial stack pointer in RAM and a reset handler in Thumb
    // code inside the image, unless the last upload left it other than bossac wrote
    // it (`damage`: CutShort, which runs into erased flash and faults, or LockedRows).
    static Outcome afterJump(const QByteArray &flash, Cause damage = NoCause);
    // The flash the board leaves the factory with: the bootloader below 0x6000 and
    // an application above it.
    static QByteArray factoryFlash();

public slots:
    // One press of the reset button.
    void pressReset();
    void unplug();
    void plugIn();
    // Arms a fault for the next upload: in the bootloader only, once its port is
    // there. Returns whether it was armed.
    bool armFault(SambaBoard::Fault fault);

signals:
    void changed();
    // Emitted with each new message, just before the changed() that it explains.
    void said(const QString &message);

private:
    void onBoardThread(const std::function<void()> &work);
    void reset(ResetCause cause);
    void waitOver();
    void endWaitIfOver();
    void jump(StartCase startCase);
    void enter(State state, Cause cause, const QString &message);
    void setState(State state, Cause cause);
    void makePort();
    void leavePort();
    void portEvent(quint64 generation, SambaBoard::Event event);
    void announce(const QString &message);

    const QString folder;
    QThread thread;
    QObject *worker;
    QTimer *waitTimer;
    QTimer *enumerationTimer;

    // Guards what the getters read; the board's thread is the only writer.
    mutable QMutex mutex;
    State current = Unplugged;
    Cause currentCause = NoCause;
    std::unique_ptr<SambaBoard> port;
    // Counts the ports, so that a late event from one that is gone is ignored.
    quint64 portGeneration = 0;
    SambaBoard::Fault fault = SambaBoard::NoFault;
    SambaBoard::Fault struck = SambaBoard::NoFault;
    QByteArray storedFlash;
    quint16 lockBits = 0xFFFF;
    SambaMonitor::FlashTiming flashTiming;
    int enumerationDelay = defaultEnumerationDelay;
    // How the last upload left the application, as bossac's commands and the NVM
    // controller's answers tell: NoCause, CutShort or LockedRows.
    Cause imageDamage = NoCause;
    Clock clock;
    // A clock that a test replaced moves when the test says: the wait looks at it often.
    bool clockReplaced = false;
    // Whether the last word of SRAM, which a reset keeps, holds the bootloader's
    // double-tap magic (0x07738135), and when the bootloader wrote it.
    bool tapMagic = false;
    qint64 tapMagicWrittenAt = 0;
    QString lastMessage;
    QString error;
};

#endif // SIMULATEDBOARD_H
