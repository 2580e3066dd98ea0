#include "firmwarecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

namespace {

constexpr quint32 applicationAddress = 0x6000;
// The largest SAMD21 has 256 KiB of flash; the bootloader keeps the 24 KiB below the
// application.
constexpr qint64 largestImage = 0x40000 - applicationAddress;
// The largest SAMD21's 32 KiB of RAM.
constexpr quint32 ramStart = 0x20000000;
constexpr quint32 ramEnd = 0x20008000;
// Where images for the other usual SAMD21 layouts start: no bootloader, the stock
// Arduino Zero bootloader (8 KiB), a 16 KiB one.
constexpr quint32 otherLinkAddresses[] = { 0x4000, 0x2000, 0x0000 };

quint32 wordAt(const QByteArray &bytes, int offset)
{
    quint32 word = 0;
    for (int i = 0; i < 4; ++i)
        word |= static_cast<quint32>(static_cast<quint8>(bytes.at(offset + i))) << (8 * i);
    return word;
}

QString hex(quint32 address)
{
    return QStringLiteral("0x") + QString::number(address, 16).rightJustified(4, QLatin1Char('0'));
}

} // namespace

QString firmwareFileProblem(const QString &path)
{
    // The file bossac gets: the field's text with the platform's separators. Windows
    // takes either slash; elsewhere a backslash is part of a name. QFile wants '/'.
    const QString fileName = QDir::fromNativeSeparators(path);
    const QFileInfo info(fileName);
    if (!info.exists())
        return QStringLiteral("Error, the file %1 does not exist").arg(path);
    if (info.isDir())
        return QStringLiteral("Error, %1 is a folder, not a firmware file").arg(path);
    // A device or a pipe: reading one may never end.
    if (!info.isFile())
        return QStringLiteral("Error, %1 is not a regular file").arg(path);

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Error, the file %1 cannot be read: %2")
            .arg(path, file.errorString());
#ifdef Q_OS_WIN
    // bossac takes its arguments in the ANSI code page, where a letter that it lacks
    // becomes a look-alike or a question mark: it would look for another file.
    const QTextCodec *codePage = QTextCodec::codecForLocale();
    if (codePage->toUnicode(codePage->fromUnicode(path)) != path)
        return QStringLiteral("Error, bossac cannot open %1: the system's code page lacks "
                              "letters of its name, so move or rename it")
            .arg(path);
#endif
    const qint64 size = file.size();
    if (size == 0)
        return QStringLiteral("Error, the file %1 is empty").arg(path);
    if (size > largestImage)
        return QStringLiteral("Error, the file %1 is too large: %2 bytes, where at most %3 fit "
                              "above 0x6000")
            .arg(path, QString::number(size), QString::number(largestImage));

    // An image starts with its vector table: the initial stack pointer, then the
    // address of the reset handler, in Thumb code (odd) inside the image.
    const QByteArray head = file.read(8);
    if (head.startsWith("\x7F"
                        "ELF"))
        return QStringLiteral("Error, %1 is an ELF file: upload the .bin that the build makes "
                              "from it")
            .arg(path);
    if (head.startsWith(':'))
        return QStringLiteral("Error, %1 is an Intel HEX file: upload the .bin that the build "
                              "makes from it")
            .arg(path);
    // The stack grows down from its initial pointer: the top of RAM is a valid one.
    const quint32 stackPointer = head.size() == 8 ? wordAt(head, 0) : 0;
    const quint32 resetHandler = head.size() == 8 ? wordAt(head, 4) : 0;
    if (stackPointer <= ramStart || stackPointer > ramEnd || !(resetHandler & 1u))
        return QStringLiteral("Error, %1 is not a firmware image for the SAMD21: upload the .bin "
                              "of a SAMD21 build")
            .arg(path);
    const quint32 entry = resetHandler & ~1u;
    if (entry >= applicationAddress && entry - applicationAddress < size)
        return QString();
    for (quint32 address : otherLinkAddresses)
        if (entry >= address && entry - address < size)
            return QStringLiteral("Error, %1 seems linked for %2, not for 0x6000: build it for "
                                  "0x6000")
                .arg(path, hex(address));
    return QStringLiteral("Error, %1 is not linked for 0x6000 (its reset handler is at %2): "
                          "build it for 0x6000")
        .arg(path, hex(entry));
}
