#ifndef FIRMWARECHECK_H
#define FIRMWARECHECK_H

#include <QString>

// bossac erases the board before it opens the file it is to write, so a file that
// cannot be flashed costs the board its application. This reads the file that the
// Firmware field names (`path`, as the field holds it) and says why it must not go
// to bossac: one log line that starts with "Error, ". Empty when the file is a
// SAMD21 image linked for 0x6000 that fits in the largest SAMD21's flash above it.
QString firmwareFileProblem(const QString &path);

#endif // FIRMWARECHECK_H
