#include "sampleapplication.h"

#include "samd21.h"

using namespace Samd21;

namespace {

// Cortex-M0+ system exceptions and the SAMD21's 29 interrupts.
constexpr int vectorCount = 16 + 29;

} // namespace

QByteArray sampleApplication(int size, quint32 seed, HandlerPlacement handler)
{
    const quint32 resetHandler = applicationAddress + vectorCount * 4;
    // The reset handler makes PA17 (the LED) an output, then toggles it after a delay
    // loop, forever. Thumb code, followed by its two literals.
    const quint16 blink[] = {
        0x4804, // ldr  r0, [pc, #16]   PORT
        0x2101, // movs r1, #1
        0x0449, // lsls r1, r1, #17     PA17
        0x6081, // str  r1, [r0, #8]    DIRSET
        0x61C1, // str  r1, [r0, #28]   OUTTGL
        0x4A03, // ldr  r2, [pc, #12]   delay
        0x3A01, // subs r2, #1
        0xD1FD, // bne  (subs)
        0xE7FA, // b    (OUTTGL)
        0x46C0, // nop, aligns the literals
    };
    // The default handler: after the blink loop and its literals, or ending the image.
    const int blinkEnd = vectorCount * 4 + static_cast<int>(sizeof blink) + 2 * 4;
    const int defaultHandlerOffset
        = handler == HandlerPlacement::First ? blinkEnd : (size & ~1) - 2;
    const quint32 defaultHandler = applicationAddress + static_cast<quint32>(defaultHandlerOffset);

    QByteArray bytes;
    appendWord(bytes, sramEnd);
    appendWord(bytes, resetHandler | 1u);
    for (int vector = 2; vector < vectorCount; ++vector) {
        const bool reserved = (vector >= 4 && vector <= 10) || vector == 12 || vector == 13;
        appendWord(bytes, reserved ? 0u : defaultHandler | 1u);
    }
    for (quint16 instruction : blink)
        appendHalfword(bytes, instruction);
    appendWord(bytes, 0x41004400); // PORT
    appendWord(bytes, 1000000);
    if (handler == HandlerPlacement::First)
        appendHalfword(bytes, 0xE7FE); // the default handler: b .

    // Code-like bytes: Thumb instructions of a few common forms. None has 0xFF as
    // its high byte, so the image never ends in what looks like erased flash.
    quint32 state = seed;
    const int codeEnd = handler == HandlerPlacement::First ? (size & ~1) : defaultHandlerOffset;
    while (bytes.size() < codeEnd) {
        state = state * 1664525u + 1013904223u;
        const quint16 low = static_cast<quint16>(state >> 8);
        const quint16 reg = (state >> 4) & 7;
        switch (state >> 29) {
        case 0:
            appendHalfword(bytes, 0x2000 | reg << 8 | (low & 0xFF)); // movs
            break;
        case 1:
            appendHalfword(bytes, 0x1800 | (low & 0x1FF)); // adds
            break;
        case 2:
            appendHalfword(bytes, 0x6800 | (low & 0x7FF)); // ldr
            break;
        case 3:
            appendHalfword(bytes, 0x6000 | (low & 0x7FF)); // str
            break;
        case 4:
            appendHalfword(bytes, 0x2800 | reg << 8 | (low & 0xFF)); // cmp
            break;
        case 5:
            appendHalfword(bytes, 0xD000 | (low & 0xDFF)); // conditional branch
            break;
        case 6:
            appendHalfword(bytes, 0xB5F0); // push {r4-r7, lr}
            break;
        default:
            appendHalfword(bytes, 0xBDF0); // pop {r4-r7, pc}
            break;
        }
    }
    if (handler == HandlerPlacement::Last)
        appendHalfword(bytes, 0xE7FE); // the default handler: b .
    if (bytes.size() < size)
        bytes += '\0';
    return bytes;
}
