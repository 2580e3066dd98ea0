#ifndef QCOMBOX_H
#define QCOMBOX_H

#include <QComboBox>
#include <QList>
#include <QString>

#include <functional>

// A serial port as a scan sees it: its name and the description its driver gives.
struct SerialPortEntry
{
    QString portName;
    QString description;
};

// The port selector. Every time its list opens it lists the system's serial ports
// again and picks the port of a recognised board by the port's description.
class QCOMBox : public QComboBox
{
public:
    explicit QCOMBox(QWidget *parent = nullptr);

    void showPopup() override;

    // Whether a scan picked a port since the last call; clears that flag.
    bool takeAutoselected();
    // The port of a board that runs its application: uploading through it is refused.
    QString rememberedPortName() const;

    // Lets a test stand in for the system's port list; an empty function restores it.
    using PortLister = std::function<QList<SerialPortEntry>()>;
    static void setPortLister(PortLister lister);

private:
    bool autoselected;
    QString rememberedPort;
};

#endif // QCOMBOX_H
