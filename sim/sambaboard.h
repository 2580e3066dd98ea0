#ifndef SAMBABOARD_H
#define SAMBABOARD_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>

// An Arduino SAMD21G18A board sitting in its SAM-BA bootloader (with the Arduino
// commands X, Y and Z), served on a pseudo-terminal by a thread of its own, so that
// the real bossac can flash it. Flash starts out, unless given, as a bootloader
// below 0x2000 and "old firmware" (never 0xFF) above, so that erasing and
// programming both show.
class SambaBoard
{
public:
    enum Fault {
        NoFault,
        // Nothing on the port speaks SAM-BA, as on a board that runs its application:
        // bossac finds no device.
        NeverAnswers,
        // Goes silent at the second source-buffer selection (Y...,0#), after one
        // 4 KiB chunk has been programmed: bossac gives up with exit code 1.
        StopsAnswering,
        // Closes the pseudo-terminal instead of answering the second program command
        // (Y...,n#), like a board unplugged mid-write. The port hangs up while bossac
        // waits for the reply: its reads return nothing, and it spins and never exits.
        VanishesMidWrite,
    };

    static constexpr quint32 flashSize = 0x40000;
    static constexpr quint32 bootloaderSize = 0x2000;
    static constexpr quint32 bootloaderStackPointer = 0x20007FFC;
    static constexpr quint32 resetRequest = 0x05FA0004;

    explicit SambaBoard(Fault fault = NoFault, const QByteArray &flash = initialFlash());
    ~SambaBoard();
    SambaBoard(const SambaBoard &) = delete;
    SambaBoard &operator=(const SambaBoard &) = delete;

    // Whether the pseudo-terminal was opened and the board is serving it.
    bool isRunning() const;
    QString errorString() const;
    // The pseudo-terminal's slave, e.g. "/dev/pts/4".
    QString slavePath() const;
    // Makes `portName` in the working directory a link to the slave, so that bossac,
    // which opens the port name relative to its working directory, finds the board
    // under a name such as "COM7". The link is removed with the board.
    bool linkAs(const QString &portName);

    // The flash content the board starts with.
    static QByteArray initialFlash();
    QByteArray flash() const;
    // Whether bossac asked for a reset (AIRCR SYSRESETREQ); the board is silent since.
    bool resetRequested() const;
    // Whether the board still answers: not after a reset, nor once a fault silenced it.
    bool answering() const;
    // Whether the board closed its end of the pseudo-terminal (VanishesMidWrite).
    bool vanished() const;
    // Every command received, without its '#' and payload, e.g. "Y00006000,00001000".
    QStringList commands() const;

    // Makes the fault happen during the next write, counted from now.
    void armFault(Fault fault);
    // Called on the board's own thread whenever it was reset, fell silent or vanished.
    void setListener(std::function<void()> listener);

    // Stops serving; the state stays readable. Called by the destructor.
    void stop();

private:
    class Private;
    std::unique_ptr<Private> d;
};

#endif // SAMBABOARD_H
