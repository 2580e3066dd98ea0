#ifndef INTERRUPTS_H
#define INTERRUPTS_H

#include <QThread>

// Ends the demo cleanly on Ctrl+C (SIGINT) and SIGTERM. The signal handler only
// writes the signal's number into a pipe; a thread of its own reads it, ends the
// demo's child processes (bossac: an upload in progress then returns at once rather
// than run on to its 60 s limit) and asks the event loop to quit, so that the board's
// port links and the working folder go as on any other exit.
class Interrupts
{
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts &) = delete;
    Interrupts &operator=(const Interrupts &) = delete;

    // The signal that asked the demo to end, or 0.
    static int received();
    // The exit code for `result` once the demo ends: 128 + the signal after one.
    static int exitCode(int result);

private:
    QThread *watcher = nullptr;
};

#endif // INTERRUPTS_H
