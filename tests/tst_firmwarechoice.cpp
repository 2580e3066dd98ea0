#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// What the Browse button's file dialog showed, and any message box that came up
// while it was being answered.
struct DialogVisit
{
    bool shown = false;
    QString caption;
    QStringList nameFilters;
    QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptSave;
    QString directory;
    QString proposedName;
    QStringList messages;
};

QLineEdit *pathField(MainWindow &window)
{
    return window.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
}

// Clicks Browse and answers the dialog from inside its event loop: chooses
// `choice` (an absolute path), or cancels when `choice` is empty.
DialogVisit clickBrowse(MainWindow &window, const QString &choice)
{
    DialogVisit visit;
    QFileDialog *answered = nullptr;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            visit.messages.append(box->text());
            box->reject();
            return;
        }
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return;
        if (dialog == answered) {
            // The dialog refused the answer; leave rather than hang.
            dialog->reject();
            return;
        }
        answered = dialog;
        visit.shown = true;
        visit.caption = dialog->windowTitle();
        visit.nameFilters = dialog->nameFilters();
        visit.fileMode = dialog->fileMode();
        visit.acceptMode = dialog->acceptMode();
        visit.directory = dialog->directory().absolutePath();
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!edit) {
            visit.messages.append(QStringLiteral("the dialog has no fileNameEdit"));
            dialog->reject();
            return;
        }
        visit.proposedName = edit->text();
        if (choice.isEmpty()) {
            dialog->reject();
        } else {
            // Typed as a user would: selectFile() leaves a focused name field alone.
            edit->setText(choice);
            QMetaObject::invokeMethod(dialog, "accept");
        }
    });
    poll.start();
    window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    return visit;
}

// A window as the user gets it, without the port list popup in the way.
class Window : public MainWindow
{
public:
    Window() { findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup(); }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

// A file that exists, with its parent folders.
QString makeFirmware(const QString &folder, const QString &relativePath)
{
    const QString path = QDir(folder).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("\x00\x20\x00\x20", 4);
    return path;
}

// Whether the system's own locale codec gives the text back unchanged.
bool systemCodecHolds(const QString &text)
{
    const QTextCodec *codec = QTextCodec::codecForLocale();
    return codec->toUnicode(codec->fromUnicode(text)) == text;
}

// The bytes the window stores a path as: the locale's encoding, nothing after it.
QByteArray storedForm(const QString &path)
{
    return QTextCodec::codecForLocale()->fromUnicode(path);
}

// Enters another working directory and returns to the previous one.
class ScopedCurrentDirectory
{
public:
    explicit ScopedCurrentDirectory(const QString &path)
        : previous(QDir::currentPath())
    {
        entered = QDir::setCurrent(path);
    }
    ~ScopedCurrentDirectory() { QDir::setCurrent(previous); }
    bool entered;

private:
    QString previous;
};

// Windows-1252 as Windows' own locale codec converts it: a character the code page
// lacks becomes a look-alike where there is one ("best fit") and '?' otherwise, and
// none is counted as unconvertible, so canEncode() accepts every text.
class SubstitutingCodec : public QTextCodec
{
public:
    QByteArray name() const override { return "x-substituting-windows-1252"; }
    int mibEnum() const override { return -1252; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return windows1252->toUnicode(in, length);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        QByteArray out;
        for (int i = 0; i < length; ++i) {
            QChar c = in[i];
            if (c == QChar(0x141) || c == QChar(0x142)) // Ł and ł have no decomposition
                c = QChar(c.unicode() == 0x141 ? 'L' : 'l');
            else if (!windows1252->canEncode(c) && !c.decomposition().isEmpty())
                c = c.decomposition().at(0);
            out += windows1252->canEncode(c) ? windows1252->fromUnicode(QString(c)) : "?";
        }
        return out;
    }

private:
    QTextCodec *const windows1252 = QTextCodec::codecForName("windows-1252");
};

// Makes the named codec stand for the system locale's encoding (an empty name leaves
// it) and puts the previous one back on destruction. File names go through it too.
class ScopedLocaleCodec
{
public:
    explicit ScopedLocaleCodec(const QByteArray &name)
        : previous(QTextCodec::codecForLocale())
    {
        if (!name.isEmpty())
            QTextCodec::setCodecForLocale(QTextCodec::codecForName(name));
    }
    ~ScopedLocaleCodec() { QTextCodec::setCodecForLocale(previous); }

private:
    QTextCodec *previous;
};

#ifdef Q_OS_LINUX
// Makes a folder refuse new files while the files in it stay writable, and undoes
// that on destruction, else the temporary folder could not be removed. As root, whom
// permission bits do not stop, it sets the folder's immutable attribute (ext4 then
// refuses new files with EPERM); otherwise it takes away the write permission.
class ScopedLockedFolder
{
public:
    explicit ScopedLockedFolder(const QString &folder)
        : path(folder)
        , permissions(QFile::permissions(folder))
    {
        if (geteuid() == 0)
            immutable = setImmutable(true);
        else
            readOnly = QFile::setPermissions(path,
                permissions
                    & ~(QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup
                        | QFile::WriteOther));
        QFile probe(QDir(path).filePath(QStringLiteral("probe")));
        locked = !probe.open(QIODevice::WriteOnly);
        if (!locked)
            probe.remove();
    }
    ~ScopedLockedFolder()
    {
        if (immutable)
            setImmutable(false);
        if (readOnly)
            QFile::setPermissions(path, permissions);
    }
    // Whether a file could not be created there.
    bool locked = false;

private:
    bool setImmutable(bool on)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    const QString path;
    const QFile::Permissions permissions;
    bool immutable = false;
    bool readOnly = false;
};
#endif

const QByteArray byteOrderMark("\xEF\xBB\xBF");

} // namespace

class FirmwareChoiceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void dialogStartsAtFieldWhenItsFolderExists_data();
    void dialogStartsAtFieldWhenItsFolderExists();
    void cancelKeepsFieldAndSavedPath_data();
    void cancelKeepsFieldAndSavedPath();
    void chosenPathIsSavedAndRestoredByNextWindow_data();
    void chosenPathIsSavedAndRestoredByNextWindow();
    void unwritableSavedPathLeavesChoiceInField_data();
    void unwritableSavedPathLeavesChoiceInField();
    void samePathIsWrittenAgain();
    void savedPathIsRestoredAtStart_data();
    void savedPathIsRestoredAtStart();

private:
    // The file dialog keeps its history in the user's Qt settings; these go here.
    QTemporaryDir configHome;
    const QList<SerialPortEntry> noPorts;
};

void FirmwareChoiceTest::initTestCase()
{
#ifdef Q_OS_WIN
    // Which code page the system's rows ran in.
    qInfo("ANSI code page %u", GetACP());
#endif
    QVERIFY(configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    new SubstitutingCodec; // registers itself by name; Qt deletes it at exit
}

void FirmwareChoiceTest::dialogStartsAtFieldWhenItsFolderExists_data()
{
    // "<cwd>" stands for the temporary working directory.
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("directory"); // null: the dialog's own default
    QTest::addColumn<QString>("proposedName");

#ifdef Q_OS_WIN
    // "<native cwd>" is the working directory as Windows writes it, with backslashes.
    QTest::newRow("folder before the last backslash exists")
        << QStringList { "fw" } << QString() << "<native cwd>\\fw\\app.bin"
        << "<cwd>/fw"
        << "app.bin";
    QTest::newRow("folder before the last backslash is gone")
        << QStringList() << QString() << "<native cwd>\\gone\\app.bin" << QString() << QString();
    QTest::newRow("only the part before the first backslash exists")
        << QStringList { "only" } << QString() << "<native cwd>\\only\\gone\\app.bin" << QString()
        << QString();
#else
    // Backslashes are ordinary characters in Linux file names, so "C:\fw" is one
    // folder in the working directory. Qt reads "C:" as a drive and starts such a
    // dialog at "/" on Linux, so only the proposed name tells what it was given there.
    QTest::newRow("folder before the last backslash exists")
        << QStringList { "C:\\fw" } << QString() << "C:\\fw\\app.bin" << QString()
        << "C:\\fw\\app.bin";
    QTest::newRow("folder before the last backslash exists, no drive letter")
        << QStringList { "old\\fw" } << QString() << "old\\fw\\app.bin"
        << "<cwd>"
        << "old\\fw\\app.bin";
    QTest::newRow("folder before the last backslash is gone")
        << QStringList() << QString() << "C:\\gone\\app.bin" << QString() << QString();
    QTest::newRow("only the part before the first backslash exists")
        << QStringList { "C:" } << QString() << "C:\\gone\\app.bin" << QString() << QString();
#endif
    QTest::newRow("forward slashes only") << QStringList() << "firmware/app.bin"
                                          << "<cwd>/firmware/app.bin"
                                          << "<cwd>/firmware"
                                          << "app.bin";
    QTest::newRow("empty field") << QStringList() << QString() << QString() << QString()
                                 << QString();
}

void FirmwareChoiceTest::dialogStartsAtFieldWhenItsFolderExists()
{
    QFETCH(QStringList, folders);
    QFETCH(QString, firmware);
    QFETCH(QString, field);
    QFETCH(QString, directory);
    QFETCH(QString, proposedName);

    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    const QString cwdPath = QDir(cwd.path()).absolutePath();
    for (const QString &folder : folders)
        QVERIFY(QDir(cwd.path()).mkpath(folder));
    if (!firmware.isEmpty())
        makeFirmware(cwd.path(), firmware);
    field.replace("<native cwd>", QDir::toNativeSeparators(cwdPath));
    field.replace("<cwd>", cwdPath);
    directory.replace("<cwd>", cwdPath);

    Window window;
    pathField(window)->setText(field);
    const DialogVisit visit = clickBrowse(window, QString());

    QVERIFY2(visit.shown, "no file dialog came up");
    QVERIFY2(visit.messages.isEmpty(), qPrintable(visit.messages.join('\n')));
    QCOMPARE(visit.caption, QStringLiteral("Open Firmware"));
    QCOMPARE(visit.nameFilters, QStringList { "Firmware Files (*.bin)" });
    QCOMPARE(visit.fileMode, QFileDialog::ExistingFile);
    QCOMPARE(visit.acceptMode, QFileDialog::AcceptOpen);
    QCOMPARE(visit.proposedName, proposedName);
    if (!directory.isNull())
        QCOMPARE(visit.directory, directory);
    QCOMPARE(pathField(window)->text(), field);
}

void FirmwareChoiceTest::cancelKeepsFieldAndSavedPath_data()
{
    QTest::addColumn<bool>("savedExists");
    QTest::addColumn<QByteArray>("saved");

    // Bytes that would not survive being read and written again as text.
    QTest::newRow("saved path with odd bytes")
        << true << QByteArray("  C:\\old\\app.bin\r\nsecond line\xff\x00 end", 32);
    QTest::newRow("no saved path") << false << QByteArray();
}

void FirmwareChoiceTest::cancelKeepsFieldAndSavedPath()
{
    QFETCH(bool, savedExists);
    QFETCH(QByteArray, saved);

    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    const QString savedFile = cwd.filePath("saved.txt");
    if (savedExists)
        QVERIFY(writeFile(savedFile, saved));
    const QString other = makeFirmware(cwd.path(), "other.bin");

    Window window;
    const QString before = pathField(window)->text();
    // Cancelling a dialog that started in a folder with a firmware in it.
    pathField(window)->setText(other);
    const DialogVisit visit = clickBrowse(window, QString());

    QVERIFY2(visit.shown, "no file dialog came up");
    QCOMPARE(visit.proposedName, QStringLiteral("other.bin"));
    QCOMPARE(pathField(window)->text(), other);
    QCOMPARE(QFileInfo::exists(savedFile), savedExists);
    if (savedExists)
        QCOMPARE(readFile(savedFile), saved);
    QCOMPARE(logPanel(window)->toPlainText(), QString());

    // And on a window still showing the restored path.
    Window second;
    QCOMPARE(pathField(second)->text(), before);
    QVERIFY(clickBrowse(second, QString()).shown);
    QCOMPARE(pathField(second)->text(), before);
    QCOMPARE(QFileInfo::exists(savedFile), savedExists);
    if (savedExists)
        QCOMPARE(readFile(savedFile), saved);
}

void FirmwareChoiceTest::chosenPathIsSavedAndRestoredByNextWindow_data()
{
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<QByteArray>("localeCodec"); // empty: the system's
    QTest::addColumn<bool>("marked"); // stored as UTF-8 behind a byte-order mark
    QTest::addColumn<bool>("lockedFolder"); // holds an older saved.txt, refuses new files

    const QString accented = QString::fromUtf8("Fïrmwäre Ordner/app v2.bin");
    const QString beyondBasicPlane
        = QString::fromUtf8("固件 \xF0\x9F\x9A\x80/ünïcode \xF0\x9F\x94\xA5.bin");
    // The system's own code page: UTF-8 on Linux, which holds every letter; on Windows
    // an ANSI code page, which holds no emoji and, on the runners' 1252, no CJK.
    QTest::newRow("spaces and accented letters")
        << accented << QByteArray() << !systemCodecHolds(accented) << false;
    QTest::newRow("letters outside the basic plane")
        << beyondBasicPlane << QByteArray() << !systemCodecHolds(beyondBasicPlane) << false;
    QTest::newRow("plain name in the working directory")
        << QStringLiteral("app.bin") << QByteArray() << false << false;
#ifdef Q_OS_WIN
    // What the BOM mend is for: Windows' own locale codec cannot hold a CJK folder name
    // on code page 1252, and no ANSI code page holds U+20BB7, outside the basic plane.
    // Written in the code page, the path would come back with question marks.
    QTest::newRow("the system's code page lacks the letters")
        << QString::fromUtf8("固件 \xF0\xA0\xAE\xB7/app.bin") << QByteArray() << true << false;
#endif
    // The locale's code page as on a Western Windows system. File names go through it
    // here as well, so on disk a letter it lacks is replaced; the dialog still returns
    // the path as typed.
    QTest::newRow("windows-1252 holds the letters")
        << QString::fromUtf8("Fïrmwäre Ordner/app v2.bin") << QByteArray("windows-1252") << false
        << false;
    QTest::newRow("windows-1252 lacks the letters")
        << beyondBasicPlane << QByteArray("windows-1252") << true << false;
    QTest::newRow("code page that turns a letter into a look-alike")
        << QString::fromUtf8("Łódź/app.bin") << QByteArray("x-substituting-windows-1252") << true
        << false;
#ifdef Q_OS_LINUX
    QTest::newRow("folder refuses new files")
        << QStringLiteral("fw/app.bin") << QByteArray() << false << true;
#endif
}

void FirmwareChoiceTest::chosenPathIsSavedAndRestoredByNextWindow()
{
    QFETCH(QString, firmware);
    QFETCH(QByteArray, localeCodec);
    QFETCH(bool, marked);
    QFETCH(bool, lockedFolder);

    ScopedLocaleCodec codec(localeCodec);
    if (!localeCodec.isEmpty())
        QCOMPARE(QTextCodec::codecForLocale()->name(), localeCodec);
    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    const QString chosen = QFileInfo(makeFirmware(cwd.path(), firmware)).absoluteFilePath();
    QVERIFY(QFileInfo::exists(chosen));
    // Longer than the new path, so that a write that does not truncate shows.
    const QByteArray older = "C:\\older\\" + QByteArray(300, 'x') + ".bin";
#ifdef Q_OS_LINUX
    QScopedPointer<ScopedLockedFolder> lock;
    if (lockedFolder) {
        QVERIFY(writeFile(cwd.filePath("saved.txt"), older));
        lock.reset(new ScopedLockedFolder(cwd.path()));
        if (!lock->locked)
            QSKIP("this file system has no immutable attribute (overlayfs, say), so as root "
                  "no folder here refuses new files");
    }
#endif

    {
        Window window;
        QCOMPARE(pathField(window)->text(), lockedFolder ? QString::fromLatin1(older) : QString());
        const DialogVisit visit = clickBrowse(window, chosen);
        QVERIFY2(visit.shown, "no file dialog came up");
        QVERIFY2(visit.messages.isEmpty(), qPrintable(visit.messages.join('\n')));
        QCOMPARE(pathField(window)->text(), chosen);
        QCOMPARE(readFile(cwd.filePath("saved.txt")),
            marked ? byteOrderMark + chosen.toUtf8() : storedForm(chosen));
        QCOMPARE(logPanel(window)->toPlainText(), QString());
    }

    Window next;
    QCOMPARE(pathField(next)->text(), chosen);
}

void FirmwareChoiceTest::unwritableSavedPathLeavesChoiceInField_data()
{
    QTest::addColumn<bool>("inProc");

    // Running as root, permission bits do not stop a write; nothing can be created
    // in /proc, and nothing can replace a folder by a file.
#ifdef Q_OS_LINUX
    QTest::newRow("working directory /proc") << true;
#endif
    QTest::newRow("saved.txt is a folder") << false;
}

void FirmwareChoiceTest::unwritableSavedPathLeavesChoiceInField()
{
    QFETCH(bool, inProc);

    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    const QString chosen = QFileInfo(makeFirmware(cwd.path(), "fw/app.bin")).absoluteFilePath();
    if (!inProc)
        QVERIFY(QDir(cwd.path()).mkdir("saved.txt"));
    ScopedCurrentDirectory workingDirectory(inProc ? QStringLiteral("/proc") : cwd.path());
    QVERIFY(workingDirectory.entered);
    const QString savedFile = QDir::current().filePath("saved.txt");

    Window window;
    QCOMPARE(pathField(window)->text(), QString());
    pathField(window)->setText(chosen); // starts the dialog in the firmware's folder
    const DialogVisit visit = clickBrowse(window, chosen);

    QVERIFY2(visit.shown, "no file dialog came up");
    QVERIFY2(visit.messages.isEmpty(), qPrintable(visit.messages.join('\n')));
    QCOMPARE(pathField(window)->text(), chosen);
    QCOMPARE(QFileInfo(savedFile).isFile(), false);
    QCOMPARE(QFileInfo(savedFile).isDir(), !inProc);
    QCOMPARE(logPanel(window)->toPlainText(), QString());
    // No temporary file left behind next to where saved.txt would be.
    QCOMPARE(QDir::current().entryList({ "saved.txt?*" }, QDir::AllEntries | QDir::Hidden),
        QStringList());
}

void FirmwareChoiceTest::samePathIsWrittenAgain()
{
    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    const QString chosen = QFileInfo(makeFirmware(cwd.path(), "fw/app.bin")).absoluteFilePath();
    const QString savedFile = cwd.filePath("saved.txt");
    QVERIFY(writeFile(savedFile, storedForm(chosen)));
    const QDateTime longAgo(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
    {
        QFile saved(savedFile);
        QVERIFY(saved.open(QIODevice::ReadWrite));
        QVERIFY(saved.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }
    QCOMPARE(QFileInfo(savedFile).lastModified().toUTC(), longAgo);

    Window window;
    QCOMPARE(pathField(window)->text(), chosen);
    const DialogVisit visit = clickBrowse(window, chosen);

    QVERIFY2(visit.shown, "no file dialog came up");
    QCOMPARE(visit.proposedName, QStringLiteral("app.bin"));
    QCOMPARE(pathField(window)->text(), chosen);
    QCOMPARE(readFile(savedFile), storedForm(chosen));
    QVERIFY2(
        QFileInfo(savedFile).lastModified().toUTC() > longAgo, "saved.txt was not written again");
}

void FirmwareChoiceTest::savedPathIsRestoredAtStart_data()
{
    QTest::addColumn<int>("kind"); // 0: no saved.txt, 1: a file, 2: a folder
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QByteArray>("localeCodec"); // empty: the system's

    const QByteArray system;
    QTest::newRow("no saved path") << 0 << QByteArray() << QString() << system;
    QTest::newRow("empty file") << 1 << QByteArray() << QString() << system;
    QTest::newRow("saved.txt is a folder") << 2 << QByteArray() << QString() << system;
    QTest::newRow("Windows path") << 1 << QByteArray("C:\\Users\\me\\Firmware v2\\app.bin")
                                  << "C:\\Users\\me\\Firmware v2\\app.bin" << system;
    // Stored by a default text stream in the system's code page, which need not hold
    // the letters (Windows' code page 1251 stores "Firmware"): the field shows the
    // path as stored. A path chosen in the dialog comes back whole whatever the code
    // page (chosenPathIsSavedAndRestoredByNextWindow).
    const QString accentedPath = QString::fromUtf8("/tmp/Fïrmwäre Ordner/app v2.bin");
    QTest::newRow("non-ASCII path in the system's code page")
        << 1 << storedForm(accentedPath)
        << QTextCodec::codecForLocale()->toUnicode(storedForm(accentedPath)) << system;
    // As stored on a Western Windows system before paths the code page lacks were
    // written as UTF-8: windows-1252 bytes, no byte-order mark.
    QTest::newRow("windows-1252 path")
        << 1 << QByteArray("C:\\Users\\J\xFCrgen\\Firmware \x80\\app.bin")
        << QString::fromUtf8("C:\\Users\\Jürgen\\Firmware €\\app.bin")
        << QByteArray("windows-1252");
    // Taken whole and untrimmed: the field keeps the spaces and the line break (read
    // as text, so a Windows line break arrives as "\n").
    QTest::newRow("leading spaces and trailing line break")
        << 1 << QByteArray("  C:\\fw\\app.bin\n") << "  C:\\fw\\app.bin\n"
        << system;
    QTest::newRow("Windows line break")
        << 1 << QByteArray("C:\\fw\\app.bin \r\n") << "C:\\fw\\app.bin \n"
        << system;
}

void FirmwareChoiceTest::savedPathIsRestoredAtStart()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, saved);
    QFETCH(QString, field);
    QFETCH(QByteArray, localeCodec);

    ScopedLocaleCodec codec(localeCodec);
    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    if (kind == 1)
        QVERIFY(writeFile(cwd.filePath("saved.txt"), saved));
    else if (kind == 2)
        QVERIFY(QDir(cwd.path()).mkdir("saved.txt"));

    Window window;
    QCOMPARE(pathField(window)->text(), field);
    QCOMPARE(logPanel(window)->toPlainText(), QString());
}

QTEST_MAIN(FirmwareChoiceTest)
#include "tst_firmwarechoice.moc"
