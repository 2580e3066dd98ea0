#ifndef SAMBAMONITOR_H
#define SAMBAMONITOR_H

#include "samd21.h"

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <map>

// The SAM-BA monitor of an Arduino SAMD21 bootloader (with the Arduino commands X, Y
// and Z) in binary mode: it takes the bytes bossac sends and returns the bytes the
// board answers, over a model of the chip's flash, user row, SRAM and registers. It
// knows no port or thread: SambaBoard serves it on a pseudo-terminal.
class SambaMonitor
{
public:
    // How long the NVM controller is busy: per row erased and per page written.
    struct FlashTiming
    {
        qint64 rowEraseMicroseconds = 0;
        qint64 pageWriteMicroseconds = 0;
    };
    // A real board's pace, from bossac's timings on real boards: 0.75 ms a row,
    // 0.35 ms a page.
    static FlashTiming typicalTiming();
    // The slowest pace bossac copes with: pages take the datasheet's worst case,
    // 2.5 ms. A row erase takes 4 ms, below the datasheet's 6 ms: at 6 ms the 928 rows
    // above the application would take 5.6 s, past the 5 s bossac waits for the
    // erase's reply.
    static FlashTiming slowestTiming();

    // Asked before the NVM controller writes each page of a program command, with
    // the page's index and the command's page count; false halts the chip there, as
    // a board that loses power or hangs mid-write. The monitor then neither writes
    // nor answers again.
    using PageGate = std::function<bool(quint32 page, quint32 pages)>;

    // Flash starts out, unless given, as the bootloader below 0x6000 and "old
    // firmware" (never 0xFF) above, so that erasing and programming both show.
    // `lockBits` are the user row's lock bits, one per 16 KiB region, 0 = locked.
    explicit SambaMonitor(const QByteArray &flash = initialFlash(), quint16 lockBits = 0xFFFF);

    // Runs the commands in `bytes` (a command may arrive split over several calls)
    // and returns the reply, empty when there is none.
    QByteArray feed(const QByteArray &bytes);

    void setTiming(FlashTiming timing) { flashTiming = timing; }
    // How long the NVM controller has been busy since the last call.
    qint64 takeBusyMicroseconds();
    void setPageGate(PageGate gate) { pageGate = std::move(gate); }

    // Whether the monitor still answers: not after a reset request, nor once halted.
    bool answering() const { return !reset && !isHalted; }
    bool halted() const { return isHalted; }
    // Whether bossac asked for a reset (AIRCR with key and SYSRESETREQ).
    bool resetRequested() const { return reset; }
    // Whether the NVM controller refused a row: protected by BOOTPROT or locked.
    bool lockErrorSeen() const { return lockError; }
    // Whether flash was erased (an X command).
    bool flashErased() const { return erased; }
    // Whether what the host did leaves a cut-short image: it erased flash, began to
    // program it, and never asked for the reset that ends an upload.
    bool uploadCutShort() const { return erased && programmed && !reset; }
    QByteArray flash() const { return flashBytes; }
    // Every command received, without its '#' and payload, e.g. "Y00006000,00001000".
    QStringList commands() const { return commandLog; }

    static QByteArray initialFlash();

private:
    QByteArray execute(quint32 address, quint32 value);
    QByteArray program(quint32 address, quint32 size);
    void eraseFrom(quint32 address);
    bool rowRefused(quint32 address);
    quint8 readByte(quint32 address) const;
    quint32 readWord(quint32 address) const;
    void writeByte(quint32 address, quint8 value);
    void writeWord(quint32 address, quint32 value);

    QByteArray flashBytes;
    QByteArray userRow;
    QByteArray sram;
    std::map<quint32, quint32> registers;
    QStringList commandLog;
    FlashTiming flashTiming;
    qint64 busyMicroseconds = 0;
    PageGate pageGate;
    bool isHalted = false;
    bool reset = false;
    bool lockError = false;
    bool erased = false;
    bool programmed = false;
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
