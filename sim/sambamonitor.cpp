#include "sambamonitor.h"

#include "samd21.h"

#include <cstdio>

using namespace Samd21;

namespace {

const QByteArray versionReply = QByteArrayLiteral("v2.0 [Arduino:XYZ] Jan  1 2024 00:00:00\n\r");

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

quint16 crc16Xmodem(const QByteArray &data)
{
    quint16 crc = 0;
    for (char byte : data) {
        crc ^= static_cast<quint16>(static_cast<quint8>(byte) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x1021)
                                 : static_cast<quint16>(crc << 1);
    }
    return crc;
}

} // namespace

SambaMonitor::SambaMonitor(const QByteArray &flash, quint16 lockBits)
    : flashBytes(flash)
    , userRow(userRowSize, '\xFF')
    , sram(sramSize, '\0')
{
    // Arduino fuses but for BOOTPROT, which protects 16 KiB; BOD33 on; bytes 6-7:
    // the lock bits, which the chip loads into NVMCTRL's LOCK register at reset.
    const char fuses[] = { static_cast<char>(0xF8 | bootprot16KiB), '\xC7', '\xE0', '\xD8', '\xFF',
        '\xFF', static_cast<char>(lockBits), static_cast<char>(lockBits >> 8) };
    userRow.replace(0, sizeof fuses, fuses, sizeof fuses);
    registers = {
        { cpuid, 0x410CC601 },
        { aircr, 0xFA050000 },
        { did, 0x10010305 },
        { nvmCtrlA, 0 },
        { nvmCtrlB, 0x00000002 },
        { nvmParam, 0x00031000 },
        { nvmIntFlag, nvmIntFlagReady },
        { nvmStatus, 0 },
        { nvmAddr, 0 },
        { nvmLock, lockBits },
    };
}

QByteArray SambaMonitor::feed(const QByteArray &bytes)
{
    QByteArray reply;
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size && !isHalted; ++i) {
        if (payloadLeft > 0) {
            const quint32 chunk = qMin<quint32>(payloadLeft, static_cast<quint32>(size - i));
            for (quint32 k = 0; k < chunk; ++k)
                writeByte(payloadAddress + k, static_cast<quint8>(bytes.at(i + k)));
            payloadAddress += chunk;
            payloadLeft -= chunk;
            i += chunk - 1;
            continue;
        }
        const char c = bytes.at(i);
        const int digit = hexDigit(c);
        if (digit >= 0) {
            if (letter) {
                accumulator = accumulator << 4 | static_cast<quint32>(digit);
                text += c;
            }
        } else if (c == ',') {
            first = accumulator;
            accumulator = 0;
            text += c;
        } else if (c == '#') {
            if (letter) {
                commandLog.append(QString::fromLatin1(text));
                // One-argument commands carry their address in the accumulator.
                const quint32 address = text.contains(',') ? first : accumulator;
                reply += execute(address, accumulator);
            }
            letter = 0;
        } else if (c > ' ' && c < 0x7F) {
            letter = c;
            first = 0;
            accumulator = 0;
            text = QByteArray(1, c);
        }
    }
    return reply;
}

qint64 SambaMonitor::takeBusyMicroseconds()
{
    const qint64 busy = busyMicroseconds;
    busyMicroseconds = 0;
    return busy;
}

QByteArray SambaMonitor::execute(quint32 address, quint32 value)
{
    if (letter == 'S') {
        payloadAddress = address;
        payloadLeft = value;
        return QByteArray();
    }
    if (!answering())
        return QByteArray();

    switch (letter) {
    case 'N':
        return QByteArrayLiteral("\n\r");
    case 'V':
        return versionReply;
    case 'w':
        return littleEndian(readWord(address));
    case 'o':
        return QByteArray(1, static_cast<char>(readByte(address)));
    case 'W':
        writeWord(address, value);
        return QByteArray();
    case 'O':
        writeByte(address, static_cast<quint8>(value));
        return QByteArray();
    case 'R': {
        QByteArray bytes(static_cast<int>(qMin<quint32>(value, 0x100000)), '\0');
        for (int k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(readByte(address + static_cast<quint32>(k)));
        return bytes;
    }
    case 'X':
        eraseFrom(address);
        return QByteArrayLiteral("X\n\r");
    case 'Y':
        if (value == 0) {
            sourceBuffer = address;
            return QByteArrayLiteral("Y\n\r");
        }
        return program(address, value);
    case 'Z': {
        QByteArray bytes(static_cast<int>(qMin<quint32>(value, 0x100000)), '\0');
        for (int k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(readByte(address + static_cast<quint32>(k)));
        char crc[16];
        std::snprintf(crc, sizeof crc, "Z%08X#\n\r", crc16Xmodem(bytes));
        return QByteArray(crc);
    }
    default:
        // G runs code; bossac only loads its copy helper for this command line.
        return QByteArray();
    }
}

QByteArray SambaMonitor::program(quint32 address, quint32 size)
{
    // The NVM controller writes page by page; a page can only clear bits, so the
    // result is old AND new.
    const quint32 pages = size / pageSize;
    programmed = true;
    for (quint32 page = 0; page < pages; ++page) {
        if (pageGate && !pageGate(page, pages)) {
            isHalted = true;
            return QByteArray();
        }
        const quint32 target = address + page * pageSize;
        if (target >= flashSize || rowRefused(target))
            continue;
        for (quint32 k = 0; k < pageSize; ++k) {
            const int at = static_cast<int>(target + k);
            flashBytes[at] = static_cast<char>(static_cast<quint8>(flashBytes.at(at))
                & readByte(sourceBuffer + page * pageSize + k));
        }
        busyMicroseconds += flashTiming.pageWriteMicroseconds;
    }
    return QByteArrayLiteral("Y\n\r");
}

void SambaMonitor::eraseFrom(quint32 address)
{
    erased = true;
    // Row by row, from the row holding the address to the end of flash.
    for (quint32 row = address & ~(rowSize - 1); row < flashSize; row += rowSize) {
        if (rowRefused(row))
            continue;
        flashBytes.replace(static_cast<int>(row), rowSize, QByteArray(rowSize, '\xFF'));
        busyMicroseconds += flashTiming.rowEraseMicroseconds;
    }
}

bool SambaMonitor::rowRefused(quint32 address)
{
    const bool locked = !(registers[nvmLock] & (1u << (address / lockRegionSize)));
    if (address >= protectedSize && !locked)
        return false;
    // As the chip does for a row that BOOTPROT or a lock region protects: it sets
    // the error flags and carries on. The Arduino bootloader does not look at them.
    registers[nvmStatus] |= nvmStatusLockError;
    registers[nvmIntFlag] |= nvmIntFlagError;
    lockError = true;
    return true;
}

quint8 SambaMonitor::readByte(quint32 address) const
{
    if (address < flashSize)
        return static_cast<quint8>(flashBytes[static_cast<int>(address)]);
    if (address - userRowAddress < userRowSize)
        return static_cast<quint8>(userRow[static_cast<int>(address - userRowAddress)]);
    if (address - sramAddress < sramSize)
        return static_cast<quint8>(sram[static_cast<int>(address - sramAddress)]);
    const auto reg = registers.find(address & ~3u);
    if (reg != registers.end())
        return static_cast<quint8>(reg->second >> (8 * (address & 3)));
    return 0;
}

quint32 SambaMonitor::readWord(quint32 address) const
{
    const auto reg = registers.find(address);
    if (reg != registers.end())
        return reg->second;
    quint32 word = 0;
    for (quint32 k = 0; k < 4; ++k)
        word |= static_cast<quint32>(readByte(address + k)) << (8 * k);
    return word;
}

void SambaMonitor::writeByte(quint32 address, quint8 value)
{
    // Flash and the user row change only through the NVM controller (X and Y here).
    if (address - sramAddress < sramSize)
        sram[static_cast<int>(address - sramAddress)] = static_cast<char>(value);
}

void SambaMonitor::writeWord(quint32 address, quint32 value)
{
    switch (address) {
    case aircr:
        if (isResetRequest(value)) {
            reset = true;
        }
        return;
    case cpuid:
    case did:
    case nvmParam:
        return;
    case nvmIntFlag:
        // READY stays set; ERROR is cleared by writing 1.
        registers[address] = (registers[address] & ~(value & nvmIntFlagError)) | nvmIntFlagReady;
        return;
    case nvmStatus:
        registers[address] &= ~(value & 0x1E);
        return;
    default:
        break;
    }
    const auto reg = registers.find(address);
    if (reg != registers.end()) {
        reg->second = value;
        return;
    }
    for (quint32 k = 0; k < 4; ++k)
        writeByte(address + k, static_cast<quint8>(value >> (8 * k)));
}

SambaMonitor::FlashTiming SambaMonitor::typicalTiming()
{
    return { typicalRowEraseMicroseconds, typicalPageWriteMicroseconds };
}

SambaMonitor::FlashTiming SambaMonitor::slowestTiming()
{
    return { 4000, maxPageWriteMicroseconds };
}

QByteArray SambaMonitor::initialFlash()
{
    QByteArray bytes(static_cast<int>(flashSize), '\0');
    // The bootloader: its initial stack pointer, then a text that is easy to spot.
    bytes.replace(0, 4, littleEndian(bootloaderStackPointer));
    const QByteArray mark = QByteArrayLiteral("SAM-BA bootloader ");
    for (int i = 4; i < static_cast<int>(bootloaderSize); ++i)
        bytes[i] = mark[i % mark.size()];
    // Old firmware: varied bytes, never 0xFF, so that an erase shows.
    for (int i = static_cast<int>(bootloaderSize); i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(((i * 31) >> 3) & 0x7F);
    return bytes;
}
