#ifndef SAMBABOARD_H
#define SAMBABOARD_H

#include "sambamonitor.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>

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

    // Half way through programming the next chunk, so that every image is left
    // partly written.
    enum Fault {
        NoFault,
        // The chip hangs: bossac waits for the program command's reply in vain.
        StopAnsweringDuringNextWrite,
        // The board is unplugged: the port hangs up while bossac waits for the reply.
        UnplugDuringNextWrite,
    };

    // A fault's name on command lines and in the board's status line, such as
    // "unplug-during-next-write"; empty for NoFault.
    static QString faultName(Fault fault);
    // The fault of that name; NoFault for any other.
    static Fault faultNamed(const QString &name);

    // What the port reports to its listener.
    enum Event {
        ResetRequested,
        StoppedAnswering,
        // The board closed its end of the pseudo-terminal.
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
