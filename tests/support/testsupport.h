#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "qcombox.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class MainWindow;
class QPlainTextEdit;

// Makes a fresh temporary folder the working directory (where "saved.txt" and the
// port links live) and goes back to the previous one on destruction.
class ScopedWorkingDirectory
{
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
    QString previous;
};

// Puts a folder first on PATH, so that programs started by bare name are found
// there, and restores PATH on destruction.
class ScopedPathPrefix
{
public:
    explicit ScopedPathPrefix(const QString &folder);
    ~ScopedPathPrefix();

private:
    QByteArray previous;
};

// Stands in for the system's serial ports in every scan while it lives; setPorts()
// changes what later scans see, as plugging a board in or out would.
class ScopedPortList
{
public:
    explicit ScopedPortList(const QList<SerialPortEntry> &ports);
    ScopedPortList(std::initializer_list<SerialPortEntry> ports)
        : ScopedPortList(QList<SerialPortEntry>(ports))
    {
    }
    ~ScopedPortList();
    ScopedPortList(const ScopedPortList &) = delete;
    ScopedPortList &operator=(const ScopedPortList &) = delete;

    void setPorts(const QList<SerialPortEntry> &ports) { *current = ports; }

private:
    std::shared_ptr<QList<SerialPortEntry>> current;
};

// Waits until the window's 50 ms tick has run `count` more times (at most 10 s).
// A check that nothing was logged waits for ticks rather than for a fixed time,
// which on a busy machine may pass without a single tick.
bool waitForTicks(int count);

// Creates `file` (relative to the working directory) as soon as a paragraph of the
// window's log contains `text`: a stand-in that waits for the file goes on only once
// its earlier output has reached the log.
void touchWhenLogShows(MainWindow &window, const QString &text, const QString &file);

// Puts the stand-in program (support/standin.cpp) into `folder` as `program`
// ("bossac", "install_drivers.exe"; ".exe" is added on Windows where it is missing),
// with the steps it follows when started; returns its path.
QString installStandIn(const QString &folder, const QString &program, const QByteArray &steps);

// Whether the process with this id has exited and been reaped.
bool processIsGone(qint64 pid);

// The window's log panel and its paragraphs, in order; logLines leaves out the
// empty ones that every output notification adds.
QPlainTextEdit *logPanel(MainWindow &window);
QStringList logParagraphs(MainWindow &window);
QStringList logLines(MainWindow &window);

// Shows the window and fills its log past one screen, scrolled back to the top, so
// that only the window's own scrolling brings the view to the end again.
void fillLogScrolledToTop(MainWindow &window);
// Whether the log holds more than a screen and shows its end.
bool logScrolledToEnd(MainWindow &window);

// Firmware-like bytes, the same for the same size and seed: an image linked for
// 0x6000 as far as its first two words tell (the stack pointer at the top of the
// SAMD21's RAM, the reset handler in Thumb code just after them), then random bytes.
// `size` is at least 16.
QByteArray firmwareImage(int size, quint32 seed = 0x12345678);

// Writes `content` to `path`, with the folders it needs.
bool createFile(const QString &path, const QByteArray &content);

// What a row of addFirmwareFileRows() makes where its Firmware field points.
enum class FirmwareFile { Nothing, File, Folder, UnreadableFile };

// Files that the Upload button must refuse before it starts bossac, which erases the
// board before it opens the file, and files that it must still flash, as rows of a
// data table with the columns "field" (the Firmware field's text, relative to the
// working directory), "make" (FirmwareFile), "content" (the file's) and "verdict":
// the log's last line, "Done!" or the refusal.
void addFirmwareFileRows();
// Makes in the working directory what a row of addFirmwareFileRows() names.
bool makeFirmwareFile(FirmwareFile make, const QString &field, const QByteArray &content);

// Lets port lists and firmware files be test data.
Q_DECLARE_METATYPE(QList<SerialPortEntry>)
Q_DECLARE_METATYPE(FirmwareFile)

#endif // TESTSUPPORT_H
