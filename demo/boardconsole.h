#ifndef BOARDCONSOLE_H
#define BOARDCONSOLE_H

#include <QByteArray>
#include <QObject>

class QSocketNotifier;
class SimulatedBoard;

// The simulated board driven from standard input, for programs that check an
// uploader against it without a display. It reads one command a line: reset,
// reset-twice (two presses within 500 ms), unplug, plug-in, status, and quit (or the
// end of the input), which quits the application. At the start, after every change
// of the board and after status it prints one line, flushed:
//
//   board: state=<application|bootloader|unplugged|silent> port=<COM3|COM7|->
//   image=<blink.bin|other|erased> bootloader=<intact|changed>[ says="<message>"]
//
// (on one line). image=blink.bin when 0x6000 holds `sample` byte for byte;
// bootloader=intact when nothing below 0x6000 changed.
class BoardConsole : public QObject
{
    Q_OBJECT

public:
    BoardConsole(SimulatedBoard &board, const QByteArray &sample, QObject *parent = nullptr);

private:
    void readInput();
    void run(const QByteArray &command);
    void report();

    SimulatedBoard &board;
    const QByteArray sample;
    QSocketNotifier *input;
    QByteArray pending;
};

#endif // BOARDCONSOLE_H
