#include "qcombox.h"
#include "testsupport.h"

#include <QAbstractItemView>
#include <QSerialPortInfo>
#include <QtTest>

namespace {

QStringList debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
}

QStringList items(const QComboBox &box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i)
        texts.append(box.itemText(i));
    return texts;
}

} // namespace

using PortList = QList<SerialPortEntry>;

class PortSelectorTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        debugLines.clear();
        qInstallMessageHandler(collectDebug);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        QCOMBox::setPortLister(nullptr);
    }

    void scanPicksBoardByDescription_data();
    void scanPicksBoardByDescription();
    void scanWritesDebugLines();
    void scanWithoutMatchKeepsEarlierPick_data();
    void scanWithoutMatchKeepsEarlierPick();
    void laterBootloaderScanLiftsRememberedPort();
    void reopeningDiscardsManualChoice();
    void autoselectedFlagIsTakenOnce();
    void systemPortListIsUsedWithoutStandIn();
};

void PortSelectorTest::scanPicksBoardByDescription_data()
{
    QTest::addColumn<PortList>("ports");
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("autoselected");
    QTest::addColumn<QString>("remembered");

    QTest::newRow("no ports") << PortList {} << 0 << false << QString();
    QTest::newRow("ports, none matching")
        << PortList { { "COM1", "Communications Port" }, { "COM4", "USB Serial Device" } } << 0
        << false << QString();
    QTest::newRow("bootloader board is picked, not remembered")
        << PortList { { "COM1", "Communications Port" }, { "COM7", "Arduino Zero (COM7)" } } << 2
        << true << QString();
    QTest::newRow("application board is picked and remembered")
        << PortList { { "COM5", "Adafruit Feather M0 (COM5)" }, { "COM1", "Communications Port" } }
        << 1 << true << "COM5";
    QTest::newRow("two matches: the later decides") << PortList { { "COM5", "Adafruit Feather M0" },
        { "COM7", "Arduino Zero" } } << 2 << true << QString();
    QTest::newRow("two matches: the later application board is remembered")
        << PortList { { "COM7", "Arduino Zero" }, { "COM5", "Adafruit Feather M0" } } << 2 << true
        << "COM5";
    QTest::newRow("both texts count as the application board")
        << PortList { { "COM9", "Arduino Zero / Adafruit Feather" } } << 1 << true << "COM9";
    QTest::newRow("other letter case does not match") << PortList { { "COM3", "arduino zero" },
        { "COM4", "ADAFRUIT FEATHER" } } << 0 << false << QString();
}

void PortSelectorTest::scanPicksBoardByDescription()
{
    QFETCH(PortList, ports);
    QFETCH(int, current);
    QFETCH(bool, autoselected);
    QFETCH(QString, remembered);

    ScopedPortList portList(ports);
    QCOMBox box;
    box.showPopup();

    QStringList expectedItems { "Select Port" };
    for (const SerialPortEntry &port : ports)
        expectedItems.append(port.portName);
    QCOMPARE(items(box), expectedItems);
    QCOMPARE(box.currentIndex(), current);
    QCOMPARE(box.rememberedPortName(), remembered);
    QCOMPARE(box.takeAutoselected(), autoselected);
    QVERIFY2(box.view()->isVisible(), "the scan did not open the list");
    box.hidePopup();
}

void PortSelectorTest::scanWritesDebugLines()
{
    ScopedPortList portList({ { "COM5", "Adafruit Feather M0" }, { "COM1", "Communications Port" },
        { "COM7", "Arduino Zero" } });
    QCOMBox box;
    box.showPopup();
    box.hidePopup();

    // The count, then each description; every match adds its own index line.
    const QStringList expected { "3", "\"Adafruit Feather M0\" \n", "0 \r\n",
        "\"Communications Port\" \n", "\"Arduino Zero\" \n", "2 \r\n" };
    QCOMPARE(debugLines, expected);
}

void PortSelectorTest::scanWithoutMatchKeepsEarlierPick_data()
{
    QTest::addColumn<PortList>("laterPorts");
    QTest::newRow("no ports") << PortList {};
    QTest::newRow("ports, none matching") << PortList { { "COM8", "USB Serial Device" } };
}

void PortSelectorTest::scanWithoutMatchKeepsEarlierPick()
{
    QFETCH(PortList, laterPorts);

    PortList ports { { "COM5", "Adafruit Feather M0" } };
    QCOMBox::setPortLister([&ports] { return ports; });
    QCOMBox box;
    box.showPopup();
    box.hidePopup();

    // The board re-enumerates under a port that matches neither text.
    ports = laterPorts;
    box.showPopup();
    box.hidePopup();
    QCOMPARE(box.currentIndex(), 0);
    QCOMPARE(box.currentText(), QStringLiteral("Select Port"));
    QCOMPARE(box.rememberedPortName(), QStringLiteral("COM5"));
    QVERIFY(box.takeAutoselected());
}

void PortSelectorTest::laterBootloaderScanLiftsRememberedPort()
{
    PortList ports { { "COM5", "Adafruit Feather M0" } };
    QCOMBox::setPortLister([&ports] { return ports; });
    QCOMBox box;
    box.showPopup();
    box.hidePopup();
    QCOMPARE(box.rememberedPortName(), QStringLiteral("COM5"));

    ports = { { "COM6", "Arduino Zero" } };
    box.showPopup();
    box.hidePopup();
    QCOMPARE(box.currentText(), QStringLiteral("COM6"));
    QCOMPARE(box.rememberedPortName(), QString());
}

void PortSelectorTest::reopeningDiscardsManualChoice()
{
    PortList ports { { "COM1", "Communications Port" }, { "COM7", "Arduino Zero" } };
    ScopedPortList portList(ports);
    QCOMBox box;
    box.showPopup();
    box.hidePopup();
    box.setCurrentIndex(1);
    QCOMPARE(box.currentText(), QStringLiteral("COM1"));

    box.showPopup();
    box.hidePopup();
    QCOMPARE(box.currentText(), QStringLiteral("COM7"));

    QCOMBox::setPortLister([] { return PortList { { "COM1", "Communications Port" } }; });
    box.setCurrentIndex(1);
    box.showPopup();
    box.hidePopup();
    QCOMPARE(box.currentText(), QStringLiteral("Select Port"));
}

void PortSelectorTest::autoselectedFlagIsTakenOnce()
{
    ScopedPortList portList({ { "COM7", "Arduino Zero" } });
    QCOMBox box;
    QVERIFY(!box.takeAutoselected());
    box.showPopup();
    box.showPopup();
    box.hidePopup();
    QVERIFY(box.takeAutoselected());
    QVERIFY(!box.takeAutoselected());
}

void PortSelectorTest::systemPortListIsUsedWithoutStandIn()
{
    // Without a stand-in the scan lists what the serial-port module reports.
    QStringList expected { "Select Port" };
    const QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : system)
        expected.append(port.portName());
    if (system.isEmpty())
        QSKIP("this machine has no serial port: an empty scan proves nothing here");

    QCOMBox box;
    box.showPopup();
    box.hidePopup();
    QCOMPARE(items(box), expected);
}

QTEST_MAIN(PortSelectorTest)
#include "tst_portselector.moc"
