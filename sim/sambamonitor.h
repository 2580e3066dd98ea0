#ifndef SAMBAMONITOR_H
#define SAMBAMONITOR_H

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <map>

// The SAM-BA monitor of an Arduino SAMD21 bootloader (with the Arduino commands X, Y
// and Z) in binary mode: it takes the bytes bossac sends and returns the bytes the
// board answers, over a model of the chip's flash, user row, SRAM and registers. It
// knows no port or thread: SambaBoard serves it on a pseudo-terminal.
class SambaMonitor
{
public:
    // What goes wrong during the next write: half way through programming the first
    // chunk, so that every image is left partly written.
    enum Fault {
        NoFault,
        // The monitor stops answering, like a board that hangs: bossac waits for
        // the program command's reply in vain and gives up with exit code 1.
        StopsAnswering,
        // The board is unplugged: the port hangs up while bossac waits for the
        // reply, and bossac spins and never exits.
        VanishesMidWrite,
    };

    // Flash starts out, unless given, as a bootloader below 0x2000 and "old firmware"
    // (never 0xFF) above, so that erasing and programming both show.
    explicit SambaMonitor(const QByteArray &flash = initialFlash());

    // Runs the commands in `bytes` (a command may arrive split over several calls)
    // and returns the reply, empty when there is none.
    QByteArray feed(const QByteArray &bytes);

    // Makes `fault` happen during the next write. A monitor that no longer answers
    // stays silent: only a reset of the board brings it back.
    void armFault(Fault fault);

    // Whether the monitor still answers: not after a reset request, nor once a
    // fault silenced it.
    bool answering() const { return !silent; }
    // Whether bossac asked for a reset (AIRCR with key and SYSRESETREQ).
    bool resetRequested() const { return reset; }
    // Whether the board was unplugged mid-write: its port must hang up.
    bool hungUp() const { return unplugged; }
    // Whether an erase or a program command changed the flash.
    bool flashWritten() const { return written; }
    QByteArray flash() const { return flashBytes; }
    // Every command received, without its '#' and payload, e.g. "Y00006000,00001000".
    QStringList commands() const { return commandLog; }

    static QByteArray initialFlash();

private:
    QByteArray execute(quint32 address, quint32 value);
    QByteArray program(quint32 address, quint32 size);
    void eraseFrom(quint32 address);
    void refuseLockedRow();
    quint8 readByte(quint32 address) const;
    quint32 readWord(quint32 address) const;
    void writeByte(quint32 address, quint8 value);
    void writeWord(quint32 address, quint32 value);

    QByteArray flashBytes;
    QByteArray userRow;
    QByteArray sram;
    std::map<quint32, quint32> registers;
    QStringList commandLog;
    Fault fault = NoFault;
    bool reset = false;
    bool silent = false;
    bool unplugged = false;
    bool written = false;
    quint32 sourceBuffer = 0;

    // The command being parsed: letter, first argument, accumulator, text so far.
    char letter = 0;
    quint32 first = 0;
    quint32 accumulator = 0;
    QByteArray text;
    // Where the raw payload of an S command goes, and how much of it is to come.
    quint32 payloadAddress = 0;
    quint32 payloadLeft = 0;
};

#endif // SAMBAMONITOR_H
