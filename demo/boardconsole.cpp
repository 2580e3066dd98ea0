#include "boardconsole.h"

#include "simulatedboard.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

BoardConsole::BoardConsole(SimulatedBoard &board, const QByteArray &sample, QObject *parent)
    : QObject(parent)
    , board(board)
    , sample(sample)
    , input(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(input, &QSocketNotifier::activated, this, &BoardConsole::readInput);
    connect(&board, &SimulatedBoard::changed, this, &BoardConsole::reportChange);
    report();
}

void BoardConsole::readInput()
{
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        input->setEnabled(false);
        QCoreApplication::quit();
        return;
    }
    pending.append(buffer, static_cast<int>(got));
    for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
        const QByteArray command = pending.left(end).trimmed();
        pending.remove(0, end + 1);
        if (!command.isEmpty())
            run(command);
    }
}

void BoardConsole::run(const QByteArray &command)
{
    if (command == "reset") {
        board.pressReset();
    } else if (command == "reset-twice") {
        board.pressReset();
        board.pressReset();
    } else if (command == "unplug") {
        board.unplug();
    } else if (command == "plug-in") {
        board.plugIn();
    } else if (const SambaBoard::Fault fault = SambaBoard::faultNamed(QString::fromLatin1(command));
               fault != SambaBoard::NoFault) {
        if (!board.armFault(fault))
            std::fprintf(stderr,
                "cannot arm %s: a fault takes in the bootloader only, once its port is there, "
                "and the board %s\n",
                command.constData(), qPrintable(board.stateText()));
    } else if (command == "status") {
        report();
    } else if (command == "quit") {
        input->setEnabled(false);
        QCoreApplication::quit();
    } else {
        std::fprintf(stderr,
            "unknown command \"%s\": reset, reset-twice, unplug, plug-in, %s, status or quit\n",
            command.constData(), qPrintable(SambaBoard::faultNames(QStringLiteral(", "))));
    }
}

void BoardConsole::reportChange()
{
    // Changes arrive from the board's thread and are read once they have settled:
    // a state that a later change already replaced is printed once.
    const QString line = statusLine();
    if (line != lastLine)
        print(line);
}

void BoardConsole::report()
{
    print(statusLine());
}

QString BoardConsole::statusLine() const
{
    const QByteArray held = board.applicationImage();
    const char *image = held.isEmpty() ? "erased"
        : board.holdsImage(sample)     ? "blink.bin"
                                       : "other";
    QString line = QStringLiteral("board: state=%1 port=%2 image=%3 bootloader=%4")
                       .arg(board.stateName(),
                           board.portName().isEmpty() ? QStringLiteral("-") : board.portName(),
                           QLatin1String(image),
                           board.belowApplicationUntouched() ? QStringLiteral("intact")
                                                             : QStringLiteral("changed"));
    if (board.armedFault() != SambaBoard::NoFault)
        line += QStringLiteral(" armed=") + SambaBoard::faultName(board.armedFault());
    // What a port-naming script needs (the description Windows' driver would give),
    // and whether anything was ever written to the port.
    if (!board.portName().isEmpty())
        line += QStringLiteral(" heard=%1 description=\"%2\"")
                    .arg(board.bytesHeard())
                    .arg(board.portDescription());
    if (!board.message().isEmpty())
        line += QStringLiteral(" says=\"%1\"")
                    .arg(QString(board.message()).replace(QLatin1Char('"'), QLatin1Char('\'')));
    return line;
}

void BoardConsole::print(const QString &line)
{
    lastLine = line;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}
