#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

namespace {

QStringList debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
}

// A window as the user gets it, without the port list popup in the way.
class Window : public MainWindow
{
public:
    Window() { findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup(); }
};

QAction *installDrivers(MainWindow &window)
{
    return window.findChild<QAction *>(QStringLiteral("actionInstall_Drivers"));
}

// Sets PATH to exactly one folder and restores it on destruction.
class ScopedPathOnly
{
public:
    explicit ScopedPathOnly(const QString &folder)
        : previous(qgetenv("PATH"))
    {
        qputenv("PATH", QFile::encodeName(folder));
    }
    ~ScopedPathOnly() { qputenv("PATH", previous); }

private:
    QByteArray previous;
};

} // namespace

class DriverInstallerTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        debugLines.clear();
        qInstallMessageHandler(collectDebug);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void installerIsAwaitedAndKeptOutOfLog_data();
    void installerIsAwaitedAndKeptOutOfLog();
    void missingInstallerIsIgnored();

private:
    const QList<SerialPortEntry> noPorts;
};

void DriverInstallerTest::installerIsAwaitedAndKeptOutOfLog_data()
{
    QTest::addColumn<int>("exitCode");

    QTest::newRow("installer fails") << 3;
    QTest::newRow("installer succeeds") << 0;
}

void DriverInstallerTest::installerIsAwaitedAndKeptOutOfLog()
{
    QFETCH(int, exitCode);

    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QString mark = bin.filePath("installed");
    const QString argumentsFile = bin.filePath("arguments");
    installStandIn(bin.path(), "install_drivers.exe",
        "arguments " + argumentsFile.toUtf8()
            + "\nsleep 500\nstdout installer stdout line\nstderr installer stderr line\n"
              "touch "
            + mark.toUtf8() + "\nexit " + QByteArray::number(exitCode) + "\n");
    ScopedPathPrefix path(bin.path());

    Window window;

    QAction *action = installDrivers(window);
    QVERIFY(action);
    debugLines.clear(); // the window's port scan writes its own lines
    action->trigger();

    QVERIFY2(QFileInfo::exists(mark), "the action returned before the installer finished");
    QVERIFY2(QFileInfo::exists(argumentsFile), "the installer did not run");
    QFile arguments(argumentsFile);
    QVERIFY(arguments.open(QIODevice::ReadOnly));
    QCOMPARE(arguments.readAll(), QByteArray()); // no arguments
    QCOMPARE(debugLines, QStringList { "Drivers" });
    // Nothing of the installer's output reaches the log.
    QCOMPARE(logPanel(window)->toPlainText(), QString());
}

void DriverInstallerTest::missingInstallerIsIgnored()
{
    ScopedPortList ports(noPorts);
    ScopedWorkingDirectory cwd;
    QTemporaryDir emptyBin;
    QVERIFY(emptyBin.isValid());

    Window window;

    {
        // Nothing else on PATH: the action needs no other program.
        ScopedPathOnly path(emptyBin.path());
        debugLines.clear();
        installDrivers(window)->trigger();
    }

    QCOMPARE(debugLines, QStringList { "Drivers" });
    QCOMPARE(logPanel(window)->toPlainText(), QString());
}

QTEST_MAIN(DriverInstallerTest)
#include "tst_driverinstaller.moc"
