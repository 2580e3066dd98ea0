#ifndef BOARDCONSOLE_H
#define BOARDCONSOLE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class SimulatedBoard;

// The simulated board driven from standard input, for programs that check an
// uploader against it without a display. It reads one command a line: reset,
// reset-twice (two presses within 500 ms), unplug, plug-in, a fault's name (such as
// stop-answering-during-next-write: SambaBoard::faults()), which it refuses with a
// line on standard error unless the board's bootloader port is there, status, and
// quit (or the end of the input), which quits the application. At the start, after
// every change of the board that shows in it and after status it prints one line,
// flushed:
//
//   board: state=<application|bootloader|starting|silent|hung|unplugged>
//   port=<COM3|COM7|-> image=<blink.bin|other|erased> bootloader=<intact|changed>
//   [ armed=<fault>][ heard=<bytes> description="<port's description>"]
//   [ says="<message>"]
//
// (on one line). image=blink.bin when 0x6000 holds `sample` byte for byte;
// bootloader=intact when nothing below 0x6000 changed; heard= counts the bytes that
// reached the port since it appeared; says= gives the board's own facts, e.g. what its
// bootloader did at the last reset and why its application hangs.
class BoardConsole : public QObject
{
    Q_OBJECT

public:
    BoardConsole(SimulatedBoard &board, const QByteArray &sample, QObject *parent = nullptr);

private:
    void readInput();
    void run(const QByteArray &command);
    void report();
    void reportChange();
    QString statusLine() const;
    void print(const QString &line);

    SimulatedBoard &board;
    const QByteArray sample;
    QSocketNotifier *input;
    QByteArray pending;
    QString lastLine;
};

#endif // BOARDCONSOLE_H
