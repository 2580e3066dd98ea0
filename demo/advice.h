#ifndef ADVICE_H
#define ADVICE_H

#include "simulatedboard.h"

#include <QString>

// What the user does about what the board says: the demo's words, not the board's.
// Empty when there is nothing to do.
QString advice(const SimulatedBoard &board);

// What the board says, then what to do about it, in one line.
QString boardSays(const SimulatedBoard &board);

#endif // ADVICE_H
