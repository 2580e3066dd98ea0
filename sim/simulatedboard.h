#ifndef SIMULATEDBOARD_H
#define SIMULATEDBOARD_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include "sambaboard.h"

#include <memory>

// A SAMD21 board with a life of its own, for trying the uploader without one: it
// runs its application on COM3 ("Adafruit Feather M0"), enters its SAM-BA
// bootloader on COM7 ("Arduino Zero") when its reset button is pressed twice, and
// after an upload with reset starts the new image if it is an application linked
// for 0x6000. Its ports are links, named after them, in a folder (the uploader's
// working directory, where bossac opens them). Linux only: the ports are
// pseudo-terminals served by SambaBoard.
class SimulatedBoard : public QObject
{
    Q_OBJECT

public:
    enum State {
        RunsApplication,
        Bootloader,
        Unplugged,
    };

    static constexpr quint32 applicationAddress = 0x6000;

    explicit SimulatedBoard(const QString &folder, QObject *parent = nullptr);
    ~SimulatedBoard() override;

    // Whether the board's port could be opened; errorString() says why not.
    bool isRunning() const;
    QString errorString() const;

    State state() const { return current; }
    // The board's state in words, e.g. "runs its application".
    QString stateText() const;
    // The board's one port and its description; empty while it is unplugged.
    QString portName() const;
    QString portDescription() const;
    // What the board last had to say, e.g. why it did not start an image.
    QString message() const { return lastMessage; }
    // Commands that reached the current port since it appeared.
    int commandsHeard() const;

    QByteArray flash() const;
    // What 0x6000 holds: up to the last byte that is not erased.
    QByteArray applicationImage() const;
    // Whether 0x6000 holds `image` byte for byte.
    bool holdsImage(const QByteArray &image) const;
    // Whether everything below 0x6000 is as the board left the factory.
    bool bootloaderIntact() const;

    // The reason why an image at 0x6000 would not start, or empty when it would:
    // its vector table must give an initial stack pointer in RAM and a reset handler
    // (Thumb) inside the image.
    static QString startProblem(const QByteArray &image);
    // A small application linked for 0x6000 that blinks the LED on PA17: a vector
    // table, the blink loop and code-like bytes up to `size`. `seed` varies the bytes.
    static QByteArray sampleApplication(int size, quint32 seed);
    // The flash the board leaves the factory with: the bootloader below 0x6000 and an
    // application above it.
    static QByteArray factoryFlash();

public slots:
    void doubleTapReset();
    void unplug();
    void plugIn();
    // Arms a fault for the next upload: the board vanishes as bossac writes (bossac
    // then hangs until it is killed), or stops answering in the middle of it.
    void unplugDuringNextWrite();
    void stopAnsweringDuringNextWrite();

signals:
    void changed();

private:
    void enter(State state);
    void portEvent();

    const QString folder;
    State current = Unplugged;
    std::unique_ptr<SambaBoard> port;
    SambaBoard::Fault armedFault = SambaBoard::NoFault;
    QByteArray flashWhileUnplugged;
    QString lastMessage;
    QString error;
};

#endif // SIMULATEDBOARD_H
