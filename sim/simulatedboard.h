#ifndef SIMULATEDBOARD_H
#define SIMULATEDBOARD_H

#include "sambaboard.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// A SAMD21 board with a life of its own, for trying the uploader without one. It
// runs its application on COM3 ("Adafruit Feather M0"). Its one reset button,
// pressed twice within 500 ms, enters the SAM-BA bootloader on COM7 ("Arduino
// Zero"); pressed once, it restarts the board, which starts the application at
// 0x6000 if that looks like one and otherwise stays in its bootloader. After an
// upload, bossac's reset does the same. Its port is a link, named after it, in a
// folder (the uploader's working directory, where bossac opens it); every
// enumeration is a new pseudo-terminal, as a USB device's is. Linux only.
class SimulatedBoard : public QObject
{
    Q_OBJECT

public:
    enum State {
        Application,
        Bootloader,
        // The bootloader hangs: its port is still there, but nothing answers.
        Silent,
        Unplugged,
    };

    // Milliseconds from any fixed start; the reset button's timing reads it.
    using Clock = std::function<qint64()>;
    static constexpr qint64 doublePressWindow = 500;

    explicit SimulatedBoard(const QString &folder, QObject *parent = nullptr);
    ~SimulatedBoard() override;

    // Whether the board's first port could be made; errorString() says why not.
    bool isRunning() const;
    QString errorString() const;

    State state() const { return current; }
    // The state in a word: "application", "bootloader", "silent" or "unplugged".
    QString stateName() const;
    // The state in words, e.g. "runs its application", with a fault that is armed.
    QString stateText() const;
    // The board's port and its description; empty while it is unplugged.
    QString portName() const;
    QString portDescription() const;
    // What the board last had to say, e.g. why it did not start an image.
    QString message() const { return lastMessage; }
    // Bytes that reached the current port since it appeared.
    qint64 bytesHeard() const;

    QByteArray flash() const;
    // What 0x6000 holds: up to the last byte that is not erased.
    QByteArray applicationImage() const;
    // Whether 0x6000 holds `image` byte for byte.
    bool holdsImage(const QByteArray &image) const;
    // Whether everything below 0x6000 is as the board left the factory.
    bool belowApplicationUntouched() const;

    // Replaces the clock the reset button reads, so that a test can press it at
    // given times without waiting.
    void setClock(Clock clock);

    // Why the bootloader would not start `image` at 0x6000, with what to do about
    // it; empty when it would. The vector table must give an initial stack pointer in
    // RAM and a reset handler in Thumb code inside the image.
    static QString startProblem(const QByteArray &image);
    // The flash the board leaves the factory with: the bootloader below 0x6000 and
    // an application above it.
    static QByteArray factoryFlash();

public slots:
    // One press of the reset button: restarts the board, or, as the second press
    // within 500 ms of a first, enters the bootloader.
    void pressReset();
    void unplug();
    void plugIn();
    // Arm a fault for the next upload, in the bootloader only: the board is
    // unplugged half way through the first chunk (bossac then hangs until it is
    // killed), or stops answering there.
    void unplugDuringNextWrite();
    void stopAnsweringDuringNextWrite();

signals:
    void changed();
    // Emitted with each new message, just before the changed() that it explains.
    void said(const QString &message);

private:
    void restart();
    void enter(State state);
    void leavePort();
    void armFault(SambaMonitor::Fault fault);
    void portEvent(quint64 generation, SambaBoard::Event event);
    void say(const QString &message);
    QString whyNotStart() const;

    const QString folder;
    State current = Unplugged;
    std::unique_ptr<SambaBoard> port;
    // Counts the ports, so that a late event from one that is gone is ignored.
    quint64 portGeneration = 0;
    SambaMonitor::Fault armedFault = SambaMonitor::NoFault;
    QByteArray storedFlash;
    // An upload erased or wrote the flash and did not end with bossac's reset.
    bool uploadInterrupted = false;
    Clock clock;
    qint64 firstPressAt = 0;
    bool firstPressPending = false;
    QString lastMessage;
    QString error;
};

#endif // SIMULATEDBOARD_H
