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

// Firmware-like bytes, the same for the same size and seed.
QByteArray firmwareImage(int size, quint32 seed = 0x12345678);

// Lets port lists be test data.
Q_DECLARE_METATYPE(QList<SerialPortEntry>)

#endif // TESTSUPPORT_H
