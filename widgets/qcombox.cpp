#include "qcombox.h"

#include <QDebug>
#include <QSerialPortInfo>

namespace {

QCOMBox::PortLister &portLister()
{
    static QCOMBox::PortLister lister;
    return lister;
}

QList<SerialPortEntry> systemPorts()
{
    QList<SerialPortEntry> ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available)
        ports.append({ info.portName(), info.description() });
    return ports;
}

} // namespace

QCOMBox::QCOMBox(QWidget *parent)
    : QComboBox(parent)
    , autoselected(false)
{
}

void QCOMBox::setPortLister(PortLister lister)
{
    portLister() = std::move(lister);
}

void QCOMBox::showPopup()
{
    const QList<SerialPortEntry> ports = portLister() ? portLister()() : systemPorts();
    qDebug() << ports.size();

    clear();
    addItem(QStringLiteral("Select Port"));

    int i = 0;
    for (const SerialPortEntry &port : ports) {
        addItem(port.portName);
        qDebug() << port.description << "\n";

        // A board running its application shows up as "Adafruit Feather", the same
        // board in bootloader mode as "Arduino Zero".
        const bool runsApplication = port.description.contains(QLatin1String("Adafruit Feather"));
        if (runsApplication || port.description.contains(QLatin1String("Arduino Zero"))) {
            setCurrentIndex(i + 1);
            qDebug() << i << "\r\n";
            autoselected = true;
            rememberedPort = runsApplication ? port.portName : QString();
        }
        ++i;
    }

    QComboBox::showPopup();
}

bool QCOMBox::takeAutoselected()
{
    const bool picked = autoselected;
    autoselected = false;
    return picked;
}

QString QCOMBox::rememberedPortName() const
{
    return rememberedPort;
}
