#include "mainwindow.h"
#include "testsupport.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

// The one test that waits out the program's real limit on a bossac run; the other
// tests shorten it.
class UploadLimitTest : public QObject
{
    Q_OBJECT

private slots:
    void bossacIsKilledAfterSixtySeconds();
};

void UploadLimitTest::bossacIsKilledAfterSixtySeconds()
{
    ScopedWorkingDirectory cwd;
    ScopedPathPrefix path(cwd.path());
    installStandIn(cwd.path(), QStringLiteral("bossac"), "sleep 600000\n");
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

QTEST_MAIN(UploadLimitTest)
#include "tst_uploadlimit.moc"
