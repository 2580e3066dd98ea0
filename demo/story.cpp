#include "story.h"

#include "mainwindow.h"
#include "simulatedboard.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

#include <cstdio>

namespace {

void printLine(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

const QStringList bootloaderAdvice {
    QStringLiteral("Please put device in bootloader mode!"),
    QStringLiteral("To put the device in bootloader mode, press the onboard reset button twice "
                   "within half a second."),
    QStringLiteral("Then select the new port."),
};

} // namespace

Story::Story(
    MainWindow &window, SimulatedBoard &board, const QString &imageName, const QByteArray &image)
    : window(window)
    , log(window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit")))
    , board(board)
    , imageName(imageName)
    , image(image)
{
    QObject::connect(log, &QPlainTextEdit::textChanged, log, [this] { printNewLogLines(); });
    QObject::connect(&board, &SimulatedBoard::changed, &board, [this] { printBoard(); });
}

int Story::play()
{
    announce(1, QStringLiteral("The board runs its application; the uploader starts."));
    printBoard();
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM3")); }))
        return fail(1, QStringLiteral("the window did not pick COM3"));

    announce(2, QStringLiteral("%1 is chosen and Upload is pressed.").arg(imageName));
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(imageName);
    auto *upload = window.findChild<QPushButton *>(QStringLiteral("pushButton_2"));
    upload->click();
    for (const QString &line : bootloaderAdvice)
        if (!logShows(line))
            return fail(2, QStringLiteral("the window did not ask for bootloader mode"));
    if (logShows(QStringLiteral("Uploading...")) || board.commandsHeard() > 0)
        return fail(2, QStringLiteral("bossac was started on the application's port"));

    announce(
        3, QStringLiteral("The reset button is pressed twice; the port list is opened again."));
    board.doubleTapReset();
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM7")); }))
        return fail(3, QStringLiteral("the window did not pick COM7"));

    announce(4, QStringLiteral("Upload is pressed."));
    upload->click();
    if (!logShows(QStringLiteral("Done!")))
        return fail(4, QStringLiteral("the upload did not end with Done!"));

    announce(5, QStringLiteral("The board restarts."));
    // The board handles bossac's reset once the window's upload has returned.
    if (!waitFor([this] {
            return board.state() != SimulatedBoard::Bootloader || !board.message().isEmpty();
        }))
        return fail(5, QStringLiteral("the board did not restart after the upload"));
    if (board.state() != SimulatedBoard::RunsApplication)
        return fail(5, board.message());
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM3"), 2); }))
        return fail(5, QStringLiteral("the window did not pick COM3 again"));
    if (!board.holdsImage(image))
        return fail(5, QStringLiteral("0x6000 does not hold %1").arg(imageName));
    if (!board.bootloaderIntact())
        return fail(5, QStringLiteral("the bootloader below 0x6000 was changed"));
    printLine(QStringLiteral("board  | 0x6000 holds %1 byte for byte (%2 bytes, SHA-256 %3); "
                             "the bootloader below 0x6000 is untouched")
                  .arg(imageName)
                  .arg(image.size())
                  .arg(QString::fromLatin1(
                      QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex())));
    printLine(QStringLiteral("story: every step happened as it should."));
    return 0;
}

void Story::announce(int step, const QString &what)
{
    printLine(QString());
    printLine(QStringLiteral("%1. %2").arg(step).arg(what));
}

int Story::fail(int step, const QString &why)
{
    printLine(QStringLiteral("story: step %1 went wrong: %2").arg(step).arg(why));
    return 1;
}

void Story::printNewLogLines()
{
    const QTextDocument *document = log->document();
    // Every append adds whole paragraphs, so the ones printed never change again.
    for (; printedBlocks < document->blockCount(); ++printedBlocks) {
        const QString line = document->findBlockByNumber(printedBlocks).text().trimmed();
        if (!line.isEmpty())
            printLine(QStringLiteral("window | ") + line);
    }
}

void Story::printBoard()
{
    // What the board says explains the state it is in, so it comes first.
    if (board.message() != printedMessage && !board.message().isEmpty())
        printLine(QStringLiteral("board  | ") + board.message());
    printedMessage = board.message();
    QString text = QStringLiteral("board  | ") + board.stateText();
    if (board.state() != SimulatedBoard::Unplugged)
        text += QStringLiteral(" on %1 (%2)").arg(board.portName(), board.portDescription());
    if (text != printedBoard)
        printLine(text);
    printedBoard = text;
}

bool Story::logShows(const QString &line, int times) const
{
    int found = 0;
    for (const QString &paragraph : log->toPlainText().split(QLatin1Char('\n')))
        found += paragraph.trimmed() == line;
    return found >= times;
}

bool Story::waitFor(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void Story::openPortList()
{
    // As a click on the list does: the selector scans the ports and opens; the user
    // then closes it again.
    auto *box = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
    box->showPopup();
    box->hidePopup();
}
