#ifndef SAMPLEAPPLICATION_H
#define SAMPLEAPPLICATION_H

#include <QByteArray>
#include <QtGlobal>

// Where the handler of every exception lies: in the image's last halfword, as linkers
// often place it, or right after the reset handler.
enum class HandlerPlacement { Last, First };

// A small application linked for 0x6000 that blinks the LED on PA17: a vector table,
// the blink loop, code-like bytes and the exception handler; `size` is at least 256.
// `seed` varies the bytes. The demo offers it as blink.bin, and the simulated board
// leaves the factory with one.
QByteArray sampleApplication(
    int size, quint32 seed, HandlerPlacement handler = HandlerPlacement::Last);

#endif // SAMPLEAPPLICATION_H
