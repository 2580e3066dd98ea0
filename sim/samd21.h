#ifndef SAMD21_H
#define SAMD21_H

#include <QByteArray>
#include <QtGlobal>

// The SAMD21G18A of an Arduino-style board, as the simulated board models it: its
// memory map, the registers bossac reads and writes, and the little-endian words
// that its flash and registers hold.
namespace Samd21 {

constexpr quint32 flashSize = 0x40000;
constexpr quint32 pageSize = 64;
constexpr quint32 rowSize = 256;
// The bootloader fills everything below the application, 24 KiB. BOOTPROT has no
// 24 KiB setting, so its fuses protect the largest size below that, 16 KiB: the chip
// refuses to erase or write those rows. The 8 KiB above them are the bootloader's
// too, and unprotected; the uploader never writes below the application.
constexpr quint32 bootloaderSize = 0x6000;
constexpr quint32 protectedSize = 0x4000;
// BOOTPROT's code for 16 KiB, in bits 2:0 of the user row's first byte.
constexpr quint8 bootprot16KiB = 0x1;
// Where the uploader writes the application, and where the bootloader starts it: the
// application's vector table, its initial stack pointer first, then its reset vector.
constexpr quint32 applicationAddress = bootloaderSize;
// VTOR takes a vector table on a 128-byte boundary only (TBLOFF is bits 31:7).
constexpr quint32 vectorTableAlignment = 0x80;
// 16 lock regions of 16 KiB each; a clear lock bit locks its region.
constexpr quint32 lockRegionSize = flashSize / 16;
constexpr quint32 bootloaderStackPointer = 0x20007FFC;

constexpr quint32 sramAddress = 0x20000000;
constexpr quint32 sramSize = 0x8000;
constexpr quint32 sramEnd = sramAddress + sramSize;
constexpr quint32 userRowAddress = 0x00804000;
constexpr quint32 userRowSize = 256;

constexpr quint32 cpuid = 0xE000ED00;
constexpr quint32 aircr = 0xE000ED0C;
constexpr quint32 did = 0x41002018;
constexpr quint32 nvmCtrlA = 0x41004000;
constexpr quint32 nvmCtrlB = 0x41004004;
constexpr quint32 nvmParam = 0x41004008;
constexpr quint32 nvmIntFlag = 0x41004014;
constexpr quint32 nvmStatus = 0x41004018;
constexpr quint32 nvmAddr = 0x4100401C;
constexpr quint32 nvmLock = 0x41004020;

// The NVM controller's worst-case times (SAMD21 datasheet, NVM characteristics):
// programming one page takes up to 2.5 ms (tFPP), erasing one row up to 6 ms (tRE).
constexpr qint64 maxPageWriteMicroseconds = 2500;
constexpr qint64 maxRowEraseMicroseconds = 6000;
// What real boards take, from bossac's own timings in public logs of Arduino-style
// bootloaders on a SAMD21 (992 rows erased in 0.740 s, 777 pages written in 0.255 s)
// and on the SAMR21, a SAMD21 with a radio (256 rows in 0.190 s, 60 pages in
// 0.023 s): about 0.75 ms a row, and 0.35 ms a page with its USB transfer.
constexpr qint64 typicalPageWriteMicroseconds = 350;
constexpr qint64 typicalRowEraseMicroseconds = 750;

constexpr quint32 nvmIntFlagReady = 0x01;
constexpr quint32 nvmIntFlagError = 0x02;
constexpr quint32 nvmStatusLockError = 0x08;

// A write to AIRCR resets the chip when it carries the key and SYSRESETREQ.
constexpr bool isResetRequest(quint32 aircrValue)
{
    return (aircrValue >> 16) == 0x05FA && (aircrValue & 4u);
}

inline quint32 wordAt(const QByteArray &bytes, int offset)
{
    quint32 word = 0;
    for (int i = 0; i < 4; ++i)
        word |= static_cast<quint32>(static_cast<quint8>(bytes.at(offset + i))) << (8 * i);
    return word;
}

inline void appendWord(QByteArray &bytes, quint32 word)
{
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(word >> (8 * i));
}

inline void appendHalfword(QByteArray &bytes, quint16 halfword)
{
    bytes += static_cast<char>(halfword);
    bytes += static_cast<char>(halfword >> 8);
}

inline QByteArray littleEndian(quint32 word)
{
    QByteArray bytes;
    appendWord(bytes, word);
    return bytes;
}

} // namespace Samd21

#endif // SAMD21_H
