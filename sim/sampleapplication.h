#ifndef SAMPLEAPPLICATION_H
#define SAMPLEAPPLICATION_H

#include <QByteArray>
#include <QtGlobal>

// A small application linked for 0x6000 that blinks the LED on PA17: a vector table,
// the blink loop, code-like bytes and, in its last halfword, the handler of every
// exception; `size` is at least 256. `seed` varies the bytes. The demo
// offers it as blink.bin, and the simulated board leaves the factory with one.
QByteArray sampleApplication(int size, quint32 seed);

#endif // SAMPLEAPPLICATION_H
