// Checks the icon, version block and manifest that Windows shows for the program.
// On Windows it reads them out of the built program (copied beside this test) with
// the loader's own resource calls, as the shell does; elsewhere it compiles
// resources/uvo.rc with MinGW's windres into a .res file and reads that. Also checks
// the logo that the window loads from the compiled-in resource collection.

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QResource>
#include <QString>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#ifndef UVO_WINDRES
#error "UVO_WINDRES must name the windres program (empty when CMake did not find it)"
#endif
#ifndef UVO_RESOURCES_DIR
#error "UVO_RESOURCES_DIR must name the folder that holds uvo.rc"
#endif
#endif

namespace {

const quint16 rtIcon = 3;
const quint16 rtGroupIcon = 14;
const quint16 rtVersion = 16;
const quint16 rtManifest = 24;
const quint16 langEnglishUs = 0x0409;

// A type or name in a .res header: a 16-bit number or a string.
struct ResId
{
    bool isNumber = true;
    quint16 number = 0;
    QString text;

    QString toString() const { return isNumber ? QString::number(number) : text; }
};

struct ResEntry
{
    ResId type;
    ResId name;
    quint16 language = 0;
    QByteArray data;
};

// Little-endian reads with bounds checks; a read past the end clears ok.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes, int offset = 0)
        : bytes(bytes)
        , pos(offset)
    {
    }

    quint16 u16()
    {
        if (!has(2))
            return 0;
        const quint16 value = qFromLittleEndian<quint16>(bytes.constData() + pos);
        pos += 2;
        return value;
    }
    quint32 u32()
    {
        if (!has(4))
            return 0;
        const quint32 value = qFromLittleEndian<quint32>(bytes.constData() + pos);
        pos += 4;
        return value;
    }
    // A NUL-terminated UTF-16 string.
    QString wideString()
    {
        QString text;
        for (quint16 c = u16(); ok && c != 0; c = u16())
            text.append(QChar(c));
        return text;
    }
    // A .res type or name: 0xFFFF followed by a number, or a string.
    ResId id()
    {
        ResId result;
        if (has(2) && qFromLittleEndian<quint16>(bytes.constData() + pos) == 0xFFFF) {
            pos += 2;
            result.number = u16();
        } else {
            result.isNumber = false;
            result.text = wideString();
        }
        return result;
    }
    QByteArray take(int size)
    {
        if (size < 0 || !has(size))
            return {};
        const QByteArray part = bytes.mid(pos, size);
        pos += size;
        return part;
    }
    void alignTo4(int base = 0) { pos = base + ((pos - base + 3) & ~3); }
    bool has(int size)
    {
        if (pos < 0 || size > bytes.size() - pos)
            ok = false;
        return ok;
    }

    const QByteArray &bytes;
    int pos;
    bool ok = true;
};

#ifndef Q_OS_WIN
// Splits a .res file into its resources. Each one is a header (data size, header
// size, type, name, then fixed fields holding the language) followed by its data,
// everything aligned to four bytes.
QList<ResEntry> parseRes(const QByteArray &file, QString *error)
{
    QList<ResEntry> entries;
    int pos = 0;
    while (pos < file.size()) {
        Reader header(file, pos);
        const quint32 dataSize = header.u32();
        const quint32 headerSize = header.u32();
        ResEntry entry;
        entry.type = header.id();
        entry.name = header.id();
        header.alignTo4();
        header.u32(); // data version
        header.u16(); // memory flags
        entry.language = header.u16();
        header.u32(); // version
        header.u32(); // characteristics
        if (!header.ok || headerSize < 32 || header.pos > pos + int(headerSize)
            || dataSize > quint32(file.size()) || headerSize > quint32(file.size() - pos)
            || dataSize > quint32(file.size() - pos) - headerSize) {
            *error = QStringLiteral("malformed resource header at offset %1").arg(pos);
            return {};
        }
        entry.data = file.mid(pos + int(headerSize), int(dataSize));
        entries.append(entry);
        pos = (pos + int(headerSize) + int(dataSize) + 3) & ~3;
    }
    return entries;
}
#endif

// One node of a VERSIONINFO tree: length, value length, type (1 text, 0 binary),
// key, value and children, each part aligned to four bytes from the resource start.
struct VersionNode
{
    QString key;
    quint16 type = 0;
    QByteArray value;
    QList<VersionNode> children;

    const VersionNode *child(const QString &name) const
    {
        for (const VersionNode &node : children) {
            if (node.key == name)
                return &node;
        }
        return nullptr;
    }
    // The value of a text node, without its terminating NULs.
    QString text() const
    {
        QString result;
        for (int i = 0; i + 1 < value.size(); i += 2)
            result.append(QChar(qFromLittleEndian<quint16>(value.constData() + i)));
        while (result.endsWith(QChar(0)))
            result.chop(1);
        return result;
    }
};

bool parseVersionNode(const QByteArray &data, int pos, VersionNode *node, int *next)
{
    Reader reader(data, pos);
    const quint16 length = reader.u16();
    const quint16 valueLength = reader.u16();
    node->type = reader.u16();
    node->key = reader.wideString();
    reader.alignTo4();
    const int end = pos + length;
    if (!reader.ok || length < 6 || end > data.size())
        return false;
    // Text values count UTF-16 units, binary values count bytes.
    const int valueBytes = node->type == 1 ? valueLength * 2 : valueLength;
    node->value = reader.take(qMin(valueBytes, qMax(0, end - reader.pos)));
    reader.alignTo4();
    while (reader.ok && reader.pos < end) {
        VersionNode child;
        int childEnd = 0;
        if (!parseVersionNode(data, reader.pos, &child, &childEnd) || childEnd > end)
            return false;
        node->children.append(child);
        reader.pos = childEnd;
        reader.alignTo4();
    }
    *next = end;
    return reader.ok;
}

#ifdef Q_OS_WIN
ResId resourceId(LPCWSTR id)
{
    ResId result;
    result.isNumber = IS_INTRESOURCE(id);
    if (result.isNumber)
        result.number = static_cast<quint16>(reinterpret_cast<quintptr>(id));
    else
        result.text = QString::fromWCharArray(id);
    return result;
}

BOOL CALLBACK addResource(
    HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR entries)
{
    const HRSRC found = FindResourceExW(module, type, name, language);
    const HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const auto *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    ResEntry entry;
    entry.type = resourceId(type);
    entry.name = resourceId(name);
    entry.language = language;
    if (bytes)
        entry.data = QByteArray(bytes, int(SizeofResource(module, found)));
    reinterpret_cast<QList<ResEntry> *>(entries)->append(entry);
    return TRUE;
}

BOOL CALLBACK addLanguages(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR entries)
{
    return EnumResourceLanguagesW(module, type, name, addResource, entries);
}

BOOL CALLBACK addNames(HMODULE module, LPWSTR type, LONG_PTR entries)
{
    return EnumResourceNamesW(module, type, addLanguages, entries);
}

// Every resource of an executable, through the calls the shell and the loader use.
QList<ResEntry> resourcesOf(const QString &program, QString *error)
{
    const HMODULE module = LoadLibraryExW(reinterpret_cast<LPCWSTR>(program.utf16()), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        *error = QStringLiteral("cannot load %1 (error %2)").arg(program).arg(GetLastError());
        return {};
    }
    QList<ResEntry> entries;
    EnumResourceTypesW(module, addNames, reinterpret_cast<LONG_PTR>(&entries));
    FreeLibrary(module);
    return entries;
}
#endif

QString hex(quint32 value)
{
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

} // namespace

class TestWinResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void iconGroupIsIdiIcon1WithNineSizes();
    void iconImagesMatchTheirGroupEntries_data();
    void iconImagesMatchTheirGroupEntries();
    void versionInfoNamesTheProgramAtVersionZero();
    void manifestRequestsInvokerLevelAndCommonControls6_data();
    void manifestRequestsInvokerLevelAndCommonControls6();
    void windowLogoIsUncompressed256PixelsWithAlpha();

private:
    // Fails the calling test unless windres produced a readable .res file.
    bool compiled();
    QList<ResEntry> entriesOfType(quint16 type) const;
    const ResEntry *icon(quint16 id) const;

    QTemporaryDir tempDir;
    QString compileError;
    QList<ResEntry> entries;
};

void TestWinResources::initTestCase()
{
#ifdef Q_OS_WIN
    const QString program = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("UVOFirmwareUploader.exe"));
    entries = resourcesOf(program, &compileError);
    if (compileError.isEmpty() && entries.isEmpty())
        compileError = QStringLiteral("%1 holds no resources").arg(program);
#else
    const QString windres = QStringLiteral(UVO_WINDRES);
    const QString resourcesDir = QStringLiteral(UVO_RESOURCES_DIR);
    if (windres.isEmpty()) {
        compileError = QStringLiteral(
            "windres (i686-w64-mingw32-windres, or windres in a MinGW kit) was not found when "
            "CMake configured this build; install binutils-mingw-w64-i686 and gcc-mingw-w64-i686 "
            "and configure again");
        return;
    }
    if (!QFileInfo(windres).isExecutable()) {
        compileError = QStringLiteral("windres program %1 is not executable").arg(windres);
        return;
    }
    if (!tempDir.isValid()) {
        compileError = QStringLiteral("could not create a temporary directory");
        return;
    }

    const QString output = tempDir.filePath(QStringLiteral("uvo.res"));
    const QStringList arguments {
        QStringLiteral("-I"),
        resourcesDir,
        QStringLiteral("-O"),
        QStringLiteral("res"),
        QStringLiteral("-i"),
        QDir(resourcesDir).filePath(QStringLiteral("uvo.rc")),
        QStringLiteral("-o"),
        output,
    };
    QProcess process;
    process.setWorkingDirectory(resourcesDir);
    process.start(windres, arguments);
    // Generous bound against a hung preprocessor; a normal run takes well under a second.
    if (!process.waitForFinished(60000)) {
        compileError = QStringLiteral("%1 did not finish: %2").arg(windres, process.errorString());
        process.kill();
        process.waitForFinished();
        return;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        compileError = QStringLiteral("%1 %2 failed with exit code %3:\n%4")
                           .arg(windres, arguments.join(QLatin1Char(' ')))
                           .arg(process.exitCode())
                           .arg(QString::fromLocal8Bit(process.readAllStandardError()));
        return;
    }

    QFile file(output);
    if (!file.open(QIODevice::ReadOnly)) {
        compileError = QStringLiteral("windres wrote no readable %1").arg(output);
        return;
    }
    entries = parseRes(file.readAll(), &compileError);
    if (compileError.isEmpty() && entries.isEmpty())
        compileError = QStringLiteral("%1 holds no resources").arg(output);
#endif
}

bool TestWinResources::compiled()
{
    if (!compileError.isEmpty())
        QTest::qFail(
            qPrintable(QStringLiteral("no resources to check: ") + compileError),
            __FILE__, __LINE__);
    return compileError.isEmpty();
}

QList<ResEntry> TestWinResources::entriesOfType(quint16 type) const
{
    QList<ResEntry> result;
    for (const ResEntry &entry : entries) {
        if (entry.type.isNumber && entry.type.number == type)
            result.append(entry);
    }
    return result;
}

const ResEntry *TestWinResources::icon(quint16 id) const
{
    for (const ResEntry &entry : entries) {
        if (entry.type.isNumber && entry.type.number == rtIcon && entry.name.isNumber
            && entry.name.number == id)
            return &entry;
    }
    return nullptr;
}

// Explorer and the taskbar pick the program's icon from this group.
void TestWinResources::iconGroupIsIdiIcon1WithNineSizes()
{
    if (!compiled())
        return;
    const QList<ResEntry> groups = entriesOfType(rtGroupIcon);
    QCOMPARE(groups.size(), 1);
    const ResEntry &group = groups.first();
    QVERIFY2(!group.name.isNumber, qPrintable(group.name.toString()));
    QCOMPARE(group.name.text, QStringLiteral("IDI_ICON1"));
    QCOMPARE(hex(group.language), hex(langEnglishUs));

    Reader reader(group.data);
    QCOMPARE(reader.u16(), quint16(0)); // reserved
    QCOMPARE(reader.u16(), quint16(1)); // 1 = icon, 2 = cursor
    const quint16 count = reader.u16();
    QCOMPARE(count, quint16(9));
    QCOMPARE(group.data.size(), 6 + 14 * count);

    QList<int> sizes;
    for (int i = 0; i < count; ++i) {
        const QByteArray entry = reader.take(14);
        const int width = quint8(entry[0]) == 0 ? 256 : quint8(entry[0]);
        const int height = quint8(entry[1]) == 0 ? 256 : quint8(entry[1]);
        QCOMPARE(height, width);
        sizes.append(width);
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<int> { 16, 24, 32, 48, 64, 96, 128, 192, 256 }));
}

void TestWinResources::iconImagesMatchTheirGroupEntries_data()
{
    QTest::addColumn<int>("size");
    for (int size : { 16, 24, 32, 48, 64, 96, 128, 192, 256 })
        QTest::addRow("%dpx", size) << size;
}

// Each group entry points at an RT_ICON whose image has the declared size and
// format: 32-bit bitmaps up to 192 px, a grey PNG at 256 px.
void TestWinResources::iconImagesMatchTheirGroupEntries()
{
    QFETCH(int, size);
    if (!compiled())
        return;
    const QList<ResEntry> groups = entriesOfType(rtGroupIcon);
    QVERIFY(!groups.isEmpty());

    Reader reader(groups.first().data);
    reader.take(4);
    const quint16 count = reader.u16();
    QByteArray entry;
    for (int i = 0; i < count && reader.ok; ++i) {
        const QByteArray candidate = reader.take(14);
        if (reader.ok && (quint8(candidate[0]) == 0 ? 256 : quint8(candidate[0])) == size)
            entry = candidate;
    }
    QVERIFY2(!entry.isEmpty(), "no group entry of this size");
    Reader fields(entry, 4);
    QCOMPARE(fields.u16(), quint16(1)); // planes
    QCOMPARE(fields.u16(), quint16(32)); // bits per pixel
    const quint32 bytes = fields.u32();
    const quint16 id = fields.u16();

    const ResEntry *image = icon(id);
    QVERIFY2(image, qPrintable(QStringLiteral("RT_ICON %1 is missing").arg(id)));
    QCOMPARE(hex(image->language), hex(langEnglishUs));
    QCOMPARE(quint32(image->data.size()), bytes);

    QImage decoded;
    if (size == 256) {
        const QByteArray png = image->data;
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), quint32(256));
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), quint32(256));
        QCOMPARE(int(quint8(png[24])), 8); // bit depth
        QCOMPARE(int(quint8(png[25])), 4); // colour type: grey with alpha
        QVERIFY(decoded.loadFromData(png, "PNG"));
    } else {
        Reader dib(image->data);
        QCOMPARE(dib.u32(), quint32(40)); // BITMAPINFOHEADER
        QCOMPARE(qint32(dib.u32()), size);
        QCOMPARE(qint32(dib.u32()), 2 * size); // colour image plus AND mask
        QCOMPARE(dib.u16(), quint16(1));
        QCOMPARE(dib.u16(), quint16(32));
        QCOMPARE(dib.u32(), quint32(0)); // BI_RGB
        const int maskStride = (size + 31) / 32 * 4;
        QCOMPARE(image->data.size(), 40 + size * size * 4 + maskStride * size);

        // Rows run bottom-up in BGRA order.
        decoded = QImage(size, size, QImage::Format_ARGB32);
        for (int y = 0; y < size; ++y) {
            const char *row = image->data.constData() + 40 + (size - 1 - y) * size * 4;
            for (int x = 0; x < size; ++x) {
                const uchar *p = reinterpret_cast<const uchar *>(row + x * 4);
                decoded.setPixel(x, y, qRgba(p[2], p[1], p[0], p[3]));
            }
        }
    }
    // The logo sits on a transparent background with its body solid in the middle.
    QCOMPARE(decoded.size(), QSize(size, size));
    QCOMPARE(qAlpha(decoded.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(decoded.pixel(size / 2, size / 2)), 255);
}

// Explorer's Details tab and the installer read these fields.
void TestWinResources::versionInfoNamesTheProgramAtVersionZero()
{
    if (!compiled())
        return;
    const QList<ResEntry> versions = entriesOfType(rtVersion);
    QCOMPARE(versions.size(), 1);
    QCOMPARE(versions.first().name.toString(), QStringLiteral("1"));
    QCOMPARE(hex(versions.first().language), hex(langEnglishUs));

    VersionNode root;
    int end = 0;
    QVERIFY2(parseVersionNode(versions.first().data, 0, &root, &end), "malformed VERSIONINFO");
    QCOMPARE(root.key, QStringLiteral("VS_VERSION_INFO"));
    QCOMPARE(root.value.size(), 52); // VS_FIXEDFILEINFO

    Reader fixed(root.value);
    QCOMPARE(hex(fixed.u32()), hex(0xFEEF04BD)); // signature
    fixed.u32(); // structure version
    QCOMPARE(fixed.u32(), quint32(0)); // file version 0.0
    QCOMPARE(fixed.u32(), quint32(0)); // file version .0.0
    QCOMPARE(fixed.u32(), quint32(0)); // product version 0.0
    QCOMPARE(fixed.u32(), quint32(0)); // product version .0.0
    fixed.u32(); // flags mask
    QCOMPARE(hex(fixed.u32()), hex(0)); // flags
    QCOMPARE(hex(fixed.u32()), hex(0x4)); // OS: 32-bit Windows
    QCOMPARE(fixed.u32(), quint32(2)); // type
    QCOMPARE(fixed.u32(), quint32(0)); // subtype

    const VersionNode *stringInfo = root.child(QStringLiteral("StringFileInfo"));
    QVERIFY(stringInfo);
    QCOMPARE(stringInfo->children.size(), 1);
    const VersionNode &table = stringInfo->children.first();
    QCOMPARE(table.key, QStringLiteral("040904b0"));

    QMap<QString, QString> strings;
    for (const VersionNode &node : table.children) {
        QVERIFY2(!strings.contains(node.key), qPrintable(node.key));
        strings.insert(node.key, node.text());
    }
    const QMap<QString, QString> expected {
        { QStringLiteral("CompanyName"), QString() },
        { QStringLiteral("FileDescription"), QString() },
        { QStringLiteral("FileVersion"), QStringLiteral("0.0.0.0") },
        { QStringLiteral("LegalCopyright"), QString() },
        { QStringLiteral("OriginalFilename"), QStringLiteral("UVOFirmwareUploader.exe") },
        { QStringLiteral("ProductName"), QStringLiteral("UVOFirmwareUploader") },
        { QStringLiteral("ProductVersion"), QStringLiteral("0.0.0.0") },
    };
    QCOMPARE(strings.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QVERIFY2(strings.value(it.key()) == it.value(),
            qPrintable(QStringLiteral("%1 is \"%2\", expected \"%3\"")
                           .arg(it.key(), strings.value(it.key()), it.value())));
    }

    const VersionNode *varInfo = root.child(QStringLiteral("VarFileInfo"));
    QVERIFY(varInfo);
    const VersionNode *translation = varInfo->child(QStringLiteral("Translation"));
    QVERIFY(translation);
    QCOMPARE(translation->value.size(), 4);
    Reader pair(translation->value);
    QCOMPARE(hex(pair.u16()), hex(0x0409));
    QCOMPARE(hex(pair.u16()), hex(0x04b0));
}

void TestWinResources::manifestRequestsInvokerLevelAndCommonControls6_data()
{
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");

    const auto row = [](const char *element, const char *attribute, const char *value) {
        QTest::newRow(attribute) << QString::fromLatin1(element) << QString::fromLatin1(attribute)
                                 << QString::fromLatin1(value);
    };
    row("requestedExecutionLevel", "level", "asInvoker");
    row("requestedExecutionLevel", "uiAccess", "false");
    // Themed common controls: without this dependency Windows draws the window in
    // the classic look.
    row("assemblyIdentity", "type", "win32");
    row("assemblyIdentity", "name", "Microsoft.Windows.Common-Controls");
    row("assemblyIdentity", "version", "6.0.0.0");
    row("assemblyIdentity", "publicKeyToken", "6595b64144ccf1df");
    row("assemblyIdentity", "processorArchitecture", "*");
    row("assemblyIdentity", "language", "*");
}

void TestWinResources::manifestRequestsInvokerLevelAndCommonControls6()
{
    QFETCH(QString, element);
    QFETCH(QString, attribute);
    QFETCH(QString, value);
    if (!compiled())
        return;
    const QList<ResEntry> manifests = entriesOfType(rtManifest);
    QCOMPARE(manifests.size(), 1);
    QCOMPARE(manifests.first().name.toString(), QStringLiteral("1"));
    QCOMPARE(hex(manifests.first().language), hex(langEnglishUs));

    // Only an assemblyIdentity inside dependency/dependentAssembly names a dependency.
    QXmlStreamReader xml(manifests.first().data);
    QStringList path;
    QStringList found;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            path.append(xml.name().toString());
            const QStringList dependency { QStringLiteral("dependency"),
                QStringLiteral("dependentAssembly"), element };
            const bool wanted = element == QLatin1String("assemblyIdentity")
                ? path.size() >= 3 && path.mid(path.size() - 3) == dependency
                : xml.name() == element;
            if (wanted)
                found.append(xml.attributes().value(attribute).toString());
        } else if (token == QXmlStreamReader::EndElement) {
            path.removeLast();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(found, QStringList { value });
}

// The label in the window shows this image; rcc must store it as is.
void TestWinResources::windowLogoIsUncompressed256PixelsWithAlpha()
{
    const QResource resource(QStringLiteral(":/uvo.png"));
    QVERIFY2(resource.isValid(), "\":/uvo.png\" is not in the resource collection");
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    const QImage logo(QStringLiteral(":/uvo.png"));
    QVERIFY2(!logo.isNull(), "\":/uvo.png\" does not load as an image");
    QCOMPARE(logo.size(), QSize(256, 256));
    QVERIFY(logo.hasAlphaChannel());
    QCOMPARE(qAlpha(logo.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(logo.pixel(128, 128)), 255);
}

QTEST_GUILESS_MAIN(TestWinResources)
#include "tst_winresources.moc"
