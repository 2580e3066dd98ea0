#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

// The tests that wait out real time: the program's limit on a bossac run (the other
// tests shorten it), and an installer that runs longer than Qt's default wait.
class LongWaitsTest : public QObject
{
    Q_OBJECT

private slots:
    void bossacIsKilledAfterSixtySeconds();
    void installerIsAwaitedPastThirtySeconds();
};

void LongWaitsTest::bossacIsKilledAfterSixtySeconds()
{
    ScopedWorkingDirectory cwd;
    ScopedPathPrefix path(cwd.path());
    installStandIn(cwd.path(), QStringLiteral("bossac"), "sleep 600000\n");
    QVERIFY(createFile(QStringLiteral("fw.bin"), firmwareImage(1024)));
    ScopedPortList ports({ { "COM7", "Arduino Zero" } });
    MainWindow window;
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("fw.bin"));

    QElapsedTimer elapsed;
    elapsed.start();
    window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
    const qint64 seconds = elapsed.elapsed() / 1000;

    QCOMPARE(logParagraphs(window).last(),
        QStringLiteral("Error, bossac did not finish within 60 seconds"));
    QVERIFY2(seconds >= 59 && seconds < 90, qPrintable(QString::number(seconds)));
}

void LongWaitsTest::installerIsAwaitedPastThirtySeconds()
{
    ScopedWorkingDirectory cwd;
    ScopedPathPrefix path(cwd.path());
    // Longer than the 30 s that QProcess::waitForFinished waits by default.
    installStandIn(
        cwd.path(), QStringLiteral("install_drivers.exe"), "sleep 32000\ntouch installed\n");
    ScopedPortList ports({});
    MainWindow window;
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();

    QElapsedTimer elapsed;
    elapsed.start();
    window.findChild<QAction *>(QStringLiteral("actionInstall_Drivers"))->trigger();
    const qint64 seconds = elapsed.elapsed() / 1000;

    QVERIFY2(QFile::exists(QStringLiteral("installed")), "the installer was not waited for");
    QVERIFY2(seconds >= 32, qPrintable(QString::number(seconds)));
}

QTEST_MAIN(LongWaitsTest)
#include "tst_longwaits.moc"
