#ifndef SAMBABOARD_H
#define SAMBABOARD_H

#include "sambamonitor.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

// The USB serial port of an Arduino SAMD21 board, served on a pseudo-terminal by a
// thread of its own, so that the real bossac can open it. In bootloader mode the
// board's SAM-BA monitor (SambaMonitor) reads and answers on it, taking as long as
// its flash does; in application mode it is the port of the board's running
// application, which speaks no SAM-BA: it takes every byte and answers none, and
// bossac finds no device there. What can go wrong on the way, a board that hangs or
// is unplugged mid-write, is made here, at the port.
class SambaBoard
{
public:
    enum Mode { Bootloader, Application };

    // What can go wrong at the port. Each strikes half way through programming the
    // next chunk, so that every image is left partly written; each has a row in
    // faults().
    enum Fault {
        NoFault,
        StopAnsweringDuringNextWrite,
        UnplugDuringNextWrite,
    };

    // What a fault does at the port when it strikes.
    enum Strike {
        // The chip hangs: the port stays, and bossac waits for the program command's
        // reply in vain.
        Silence,
        // The board is unplugged: the port hangs up while bossac waits for the reply.
        HangUp,
    };

    struct FaultFacts
    {
        Fault fault;
        // On command lines and in the board's status line.
        const char *name;
        // The board panel's button that arms it.
        const char *button;
        // The board's state while it is armed, after "the board".
        const char *armed;
        // What the board says once it struck, and what to do about it.
        const char *struck;
        const char *advice;
        Strike strike;
    };

    // One row for each fault but NoFault.
    static const std::vector<FaultFacts> &faults();
    // The row of `fault`; nullptr for NoFault.
    static const FaultFacts *factsOf(Fault fault);
    // A fault's name, such as "unplug-during-next-write"; empty for NoFault.
    static QString faultName(Fault fault);
    // The fault of that name; NoFault for any other.
    static Fault faultNamed(const QString &name);
    // Every fault's name, joined by `separator`.
    static QString faultNames(const QString &separator);

    // What the port reports to its listener.
    enum Event {
        ResetRequested,
        // A fault struck: the chip no longer answers (Silence).
        StoppedAnswering,
        // The board closed its end of the pseudo-terminal (HangUp).
        Unplugged,
    };

    // `lockBits`: the user row's lock bits, one per 16 KiB region, 0 = locked.
    explicit SambaBoard(const QByteArray &flash = SambaMonitor::initialFlash(),
        Mode mode = Bootloader, quint16 lockBits = 0xFFFF);
    ~SambaBoard();
    SambaBoard(const SambaBoard &) = delete;
    SambaBoard &operator=(const SambaBoard &) = delete;

    // Whether the pseudo-terminal was opened and the board is serving it.
    bool isRunning() const;
    QString errorString() const;
    // The pseudo-terminal's slave, e.g. "/dev/pts/4".
    QString slavePath() const;
    // Makes `portName` (relative to the working directory, or absolute) a link to the
    // slave, so that bossac, which opens the port name relative to its working
    // directory, finds the board under a name such as "COM7". The link is removed
    // with the board.
    bool linkAs(const QString &portName);

    QByteArray flash() const;
    bool resetRequested() const;
    bool answering() const;
    // Whether the board was unplugged mid-write: it closed its end of the
    // pseudo-terminal.
    bool unplugged() const;
    // Whether the NVM controller refused to erase or write a protected or locked row.
    bool lockErrorSeen() const;
    // Whether bossac erased flash, and whether it left a cut-short image: it erased,
    // began to write, and never asked for the reset that ends an upload.
    bool flashErased() const;
    bool uploadCutShort() const;
    QStringList commands() const;
    // Bytes that reached the port and have been acted on.
    qint64 bytesHeard() const;

    void armFault(Fault fault);
    // How long erasing and writing take; instant unless set.
    void setFlashTiming(SambaMonitor::FlashTiming timing);
    // Called on the board's own thread, without any lock held, when something happens.
    void setListener(std::function<void(Event)> listener);

    // Stops serving; the state stays readable. Called by the destructor.
    void stop();

private:
    class Private;
    std::unique_ptr<Private> d;
};

#endif // SAMBABOARD_H
