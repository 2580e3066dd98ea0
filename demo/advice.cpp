#include "advice.h"

namespace {

const QString bootloaderAgain = QStringLiteral("press reset twice for the bootloader, then ");

} // namespace

QString advice(const SimulatedBoard &board)
{
    switch (board.cause()) {
    case SimulatedBoard::NoApplication:
        return QStringLiteral("Upload an application.");
    case SimulatedBoard::MisalignedApplication:
        return QStringLiteral("Upload an image linked for 0x6000.");
    case SimulatedBoard::StackNotInRam:
        return QStringLiteral("To fix it, ") + bootloaderAgain
            + QStringLiteral("upload the .bin of a SAMD21 build, not an .elf or .hex file.");
    case SimulatedBoard::ResetNotThumb:
        return QStringLiteral("To fix it, ") + bootloaderAgain
            + QStringLiteral("upload an image built for the Cortex-M0+.");
    case SimulatedBoard::ResetOutsideImage:
        return QStringLiteral("To fix it, ") + bootloaderAgain
            + QStringLiteral("upload an image linked for 0x6000.");
    case SimulatedBoard::CutShort:
        return QStringLiteral("Its upload was interrupted: ") + bootloaderAgain
            + QStringLiteral("upload it again.");
    case SimulatedBoard::LockedRows:
        return QStringLiteral("Its flash must be unlocked before it can be flashed.");
    case SimulatedBoard::FaultStruck:
        if (const SambaBoard::FaultFacts *facts = SambaBoard::factsOf(board.struckFault()))
            return QLatin1String(facts->advice);
        break;
    case SimulatedBoard::NoCause:
    case SimulatedBoard::Started:
    case SimulatedBoard::PortNotMade:
        break;
    }
    return QString();
}

QString boardSays(const SimulatedBoard &board)
{
    const QString what = advice(board);
    return what.isEmpty() ? board.message() : board.message() + QStringLiteral(". ") + what;
}
