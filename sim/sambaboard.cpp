#include "sambaboard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr quint32 userRowAddress = 0x00804000;
constexpr quint32 userRowSize = 256;
constexpr quint32 sramAddress = 0x20000000;
constexpr quint32 sramSize = 0x8000;
constexpr quint32 rowSize = 256;

constexpr quint32 cpuidAddress = 0xE000ED00;
constexpr quint32 aircrAddress = 0xE000ED0C;
constexpr quint32 didAddress = 0x41002018;
constexpr quint32 nvmCtrlA = 0x41004000;
constexpr quint32 nvmCtrlB = 0x41004004;
constexpr quint32 nvmParam = 0x41004008;
constexpr quint32 nvmIntFlag = 0x41004014;
constexpr quint32 nvmStatus = 0x41004018;
constexpr quint32 nvmAddr = 0x4100401C;
constexpr quint32 nvmLock = 0x41004020;

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

QByteArray littleEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

} // namespace

class SambaBoard::Private
{
public:
    Private(Fault fault, const QByteArray &flash);
    ~Private();

    bool open();
    void serve();
    // Runs the bytes bossac sent; false once the board closed its end.
    bool feed(const char *data, qsizetype size);
    bool execute();
    void reply(const QByteArray &bytes);

    quint8 readByte(quint32 address) const;
    quint32 readWord(quint32 address) const;
    void writeByte(quint32 address, quint8 value);
    void writeWord(quint32 address, quint32 value);

    Fault fault;
    int master = -1;
    int slave = -1;
    int wake[2] = { -1, -1 };
    QString slaveName;
    QString error;
    QStringList links;
    QThread *thread = nullptr;

    mutable QMutex mutex;
    QByteArray flash;
    QByteArray userRow;
    QByteArray sram;
    std::map<quint32, quint32> registers;
    QStringList commandLog;
    std::function<void()> listener;
    bool reset = false;
    bool silent = false;
    bool gone = false;
    int sourceSelections = 0;
    int programCommands = 0;
    quint32 sourceBuffer = 0;

    // Command parser: letter, first argument, accumulator, command text so far.
    char letter = 0;
    quint32 first = 0;
    quint32 accumulator = 0;
    QByteArray text;
    // Raw payload of an S command still to come.
    quint32 payloadAddress = 0;
    quint32 payloadLeft = 0;
};

SambaBoard::Private::Private(Fault fault, const QByteArray &flash)
    : fault(fault)
    , flash(flash)
    , userRow(userRowSize, '\xFF')
    , sram(sramSize, '\0')
    , silent(fault == NeverAnswers)
{
    // Arduino fuses: BOOTPROT 8 KiB, BOD33 on; bytes 6-7: no region locked.
    const char fuses[] = { '\xFA', '\xC7', '\xE0', '\xD8', '\xFF', '\xFF', '\xFF', '\xFF' };
    userRow.replace(0, sizeof fuses, fuses, sizeof fuses);
    registers = {
        { cpuidAddress, 0x410CC601 },
        { aircrAddress, 0xFA050000 },
        { didAddress, 0x10010305 },
        { nvmCtrlA, 0 },
        { nvmCtrlB, 0x00000002 },
        { nvmParam, 0x00031000 },
        { nvmIntFlag, 0x01 },
        { nvmStatus, 0 },
        { nvmAddr, 0 },
        { nvmLock, 0xFFFF },
    };
}

SambaBoard::Private::~Private()
{
    for (int fd : { master, slave, wake[0], wake[1] })
        if (fd >= 0)
            ::close(fd);
}

bool SambaBoard::Private::open()
{
    // Every descriptor is closed on exec: a bossac that inherited the master would
    // keep the port alive after the board vanished.
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = QStringLiteral("cannot open a pseudo-terminal: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        error = QStringLiteral("ptsname failed");
        return false;
    }
    slaveName = QString::fromLocal8Bit(name);
    // Holding the slave open keeps its raw settings between bossac runs and stops
    // bossac's close from hanging up the master.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = QStringLiteral("cannot open %1").arg(slaveName);
        return false;
    }
    termios settings;
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave, TCSANOW, &settings);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        error = QStringLiteral("cannot create a pipe");
        return false;
    }
    return true;
}

void SambaBoard::Private::serve()
{
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = { { wake[0], POLLIN, 0 }, { master, POLLIN, 0 } };
        const int ready = ::poll(fds, master >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (master < 0 || !fds[1].revents)
            continue;
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        std::function<void()> notify;
        {
            QMutexLocker lock(&mutex);
            const bool wasAnswering = !silent;
            // Cannot read nothing while the slave is held open; do not spin if it does.
            if (got <= 0 || !feed(buffer, got)) {
                ::close(master);
                master = -1;
                gone = true;
            }
            if (gone || (wasAnswering && silent))
                notify = listener;
        }
        if (notify)
            notify();
    }
}

bool SambaBoard::Private::feed(const char *data, qsizetype size)
{
    for (qsizetype i = 0; i < size; ++i) {
        if (payloadLeft > 0) {
            const quint32 chunk = qMin<quint32>(payloadLeft, static_cast<quint32>(size - i));
            for (quint32 k = 0; k < chunk; ++k)
                writeByte(payloadAddress + k, static_cast<quint8>(data[i + k]));
            payloadAddress += chunk;
            payloadLeft -= chunk;
            i += chunk - 1;
            continue;
        }
        const char c = data[i];
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
            if (letter && !execute())
                return false;
            letter = 0;
        } else if (c > ' ' && c < 0x7F) {
            letter = c;
            first = 0;
            accumulator = 0;
            text = QByteArray(1, c);
        }
    }
    return true;
}

bool SambaBoard::Private::execute()
{
    commandLog.append(QString::fromLatin1(text));
    // One-argument commands carry their address in the accumulator.
    const quint32 address = text.contains(',') ? first : accumulator;
    const quint32 value = accumulator;

    if (letter == 'S') {
        payloadAddress = address;
        payloadLeft = value;
        return true;
    }
    if (silent)
        return true;

    switch (letter) {
    case 'N':
        reply(QByteArrayLiteral("\n\r"));
        break;
    case 'V':
        reply(versionReply);
        break;
    case 'w':
        reply(littleEndian(readWord(address)));
        break;
    case 'o':
        reply(QByteArray(1, static_cast<char>(readByte(address))));
        break;
    case 'W':
        writeWord(address, value);
        break;
    case 'O':
        writeByte(address, static_cast<quint8>(value));
        break;
    case 'R': {
        QByteArray bytes(static_cast<int>(qMin<quint32>(value, 0x100000)), '\0');
        for (int k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(readByte(address + static_cast<quint32>(k)));
        reply(bytes);
        break;
    }
    case 'G':
        // bossac only loads its copy helper for this command line; nothing runs it.
        break;
    case 'X':
        // Erases row by row, from the row holding the address to the end of flash.
        for (quint32 a = address & ~(rowSize - 1); a < flashSize; ++a)
            flash[static_cast<int>(a)] = '\xFF';
        reply(QByteArrayLiteral("X\n\r"));
        break;
    case 'Y':
        if (value == 0) {
            if (fault == StopsAnswering && ++sourceSelections == 2) {
                silent = true;
                return true;
            }
            sourceBuffer = address;
        } else {
            if (fault == VanishesMidWrite && ++programCommands == 2)
                return false;
            // Programming can only clear bits: the result is old AND new.
            for (quint32 k = 0; k < value; ++k) {
                const quint32 target = address + k;
                if (target < flashSize)
                    flash[static_cast<int>(target)]
                        = static_cast<char>(static_cast<quint8>(flash[static_cast<int>(target)])
                            & readByte(sourceBuffer + k));
            }
        }
        reply(QByteArrayLiteral("Y\n\r"));
        break;
    case 'Z': {
        QByteArray bytes(static_cast<int>(qMin<quint32>(value, 0x100000)), '\0');
        for (int k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(readByte(address + static_cast<quint32>(k)));
        char crc[16];
        std::snprintf(crc, sizeof crc, "Z%08X#\n\r", crc16Xmodem(bytes));
        reply(QByteArray(crc));
        break;
    }
    default:
        break;
    }
    return true;
}

void SambaBoard::Private::reply(const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(
            master, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out = { master, POLLOUT, 0 };
            if (::poll(&out, 1, 1000) <= 0)
                return;
        } else {
            return;
        }
    }
}

quint8 SambaBoard::Private::readByte(quint32 address) const
{
    if (address < flashSize)
        return static_cast<quint8>(flash[static_cast<int>(address)]);
    if (address - userRowAddress < userRowSize)
        return static_cast<quint8>(userRow[static_cast<int>(address - userRowAddress)]);
    if (address - sramAddress < sramSize)
        return static_cast<quint8>(sram[static_cast<int>(address - sramAddress)]);
    const auto reg = registers.find(address & ~3u);
    if (reg != registers.end())
        return static_cast<quint8>(reg->second >> (8 * (address & 3)));
    return 0;
}

quint32 SambaBoard::Private::readWord(quint32 address) const
{
    const auto reg = registers.find(address);
    if (reg != registers.end())
        return reg->second;
    quint32 word = 0;
    for (quint32 k = 0; k < 4; ++k)
        word |= static_cast<quint32>(readByte(address + k)) << (8 * k);
    return word;
}

void SambaBoard::Private::writeByte(quint32 address, quint8 value)
{
    // Flash and the user row change only through the NVM controller (X and Y here).
    if (address - sramAddress < sramSize)
        sram[static_cast<int>(address - sramAddress)] = static_cast<char>(value);
}

void SambaBoard::Private::writeWord(quint32 address, quint32 value)
{
    switch (address) {
    case aircrAddress:
        if (value == resetRequest) {
            reset = true;
            silent = true;
        }
        return;
    case cpuidAddress:
    case didAddress:
    case nvmParam:
        return;
    case nvmIntFlag:
        // READY stays set; ERROR is cleared by writing 1.
        registers[address] = (registers[address] & ~(value & 0x02)) | 0x01;
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

SambaBoard::SambaBoard(Fault fault, const QByteArray &flash)
    : d(new Private(fault, flash))
{
    if (!d->open())
        return;
    d->thread = QThread::create([this] { d->serve(); });
    d->thread->start();
}

SambaBoard::~SambaBoard()
{
    stop();
    for (const QString &link : qAsConst(d->links))
        if (QFileInfo(link).symLinkTarget() == d->slaveName || !QFileInfo::exists(link))
            QFile::remove(link);
}

bool SambaBoard::isRunning() const
{
    return d->thread && d->thread->isRunning();
}

QString SambaBoard::errorString() const
{
    return d->error;
}

QString SambaBoard::slavePath() const
{
    return d->slaveName;
}

bool SambaBoard::linkAs(const QString &portName)
{
    const QString link = QDir::current().absoluteFilePath(portName);
    if (QFileInfo(link).isSymLink())
        QFile::remove(link);
    if (::symlink(QFile::encodeName(d->slaveName).constData(), QFile::encodeName(link).constData())
        != 0) {
        d->error = QStringLiteral("cannot link %1 to %2").arg(link, d->slaveName);
        return false;
    }
    d->links.append(link);
    return true;
}

QByteArray SambaBoard::initialFlash()
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

QByteArray SambaBoard::flash() const
{
    QMutexLocker lock(&d->mutex);
    return d->flash;
}

bool SambaBoard::resetRequested() const
{
    QMutexLocker lock(&d->mutex);
    return d->reset;
}

bool SambaBoard::answering() const
{
    QMutexLocker lock(&d->mutex);
    return !d->silent;
}

bool SambaBoard::vanished() const
{
    QMutexLocker lock(&d->mutex);
    return d->gone;
}

QStringList SambaBoard::commands() const
{
    QMutexLocker lock(&d->mutex);
    return d->commandLog;
}

void SambaBoard::armFault(Fault fault)
{
    QMutexLocker lock(&d->mutex);
    d->fault = fault;
    d->sourceSelections = 0;
    d->programCommands = 0;
    d->silent = fault == NeverAnswers || d->reset;
}

void SambaBoard::setListener(std::function<void()> listener)
{
    QMutexLocker lock(&d->mutex);
    d->listener = std::move(listener);
}

void SambaBoard::stop()
{
    if (!d->thread)
        return;
    const char byte = 0;
    if (::write(d->wake[1], &byte, 1) < 0)
        qWarning("cannot wake the board's thread");
    d->thread->wait();
    delete d->thread;
    d->thread = nullptr;
}
