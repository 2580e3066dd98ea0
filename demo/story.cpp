#include "story.h"

#include "advice.h"
#include "interrupts.h"
#include "mainwindow.h"
#include "simulatedboard.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

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

// Long enough apart to be two single presses.
constexpr int slowPressGap = 700;

// How often the story says what an upload that goes on waits for.
constexpr int tickSeconds = 10;

// The window's own limit for an upload, which it gives up at.
int uploadLimitSeconds()
{
    const int limit = MainWindow::setUploadTimeout(0);
    MainWindow::setUploadTimeout(limit);
    return limit / 1000;
}

// While it lives, says every 10 s on a thread of its own what the upload waits for and
// when the window gives up, since the window blocks meanwhile.
class UploadTicker
{
public:
    explicit UploadTicker(const SimulatedBoard &board)
        : board(board)
        , limit(uploadLimitSeconds())
        , thread([this] { tick(); })
    {
    }
    ~UploadTicker()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            over = true;
        }
        woken.notify_one();
        thread.join();
    }
    UploadTicker(const UploadTicker &) = delete;
    UploadTicker &operator=(const UploadTicker &) = delete;

private:
    void tick()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (int seconds = tickSeconds;
             !woken.wait_for(lock, std::chrono::seconds(tickSeconds), [this] { return over; });
             seconds += tickSeconds) {
            QString what = QStringLiteral("bossac still runs");
            if (board.state() == SimulatedBoard::Unplugged)
                what = QStringLiteral("bossac waits on the port of a board that was unplugged");
            else if (board.state() == SimulatedBoard::Silent)
                what = QStringLiteral(
                    "bossac waits for a reply from a board that stopped answering");
            const QString when = seconds < limit ? QStringLiteral("in %1 s").arg(limit - seconds)
                                                 : QStringLiteral("now");
            printLine(QStringLiteral("story  | %1 s since Upload: %2; the window stops it %3 s "
                                     "after Upload, %4.")
                          .arg(seconds)
                          .arg(what)
                          .arg(limit)
                          .arg(when));
        }
    }

    const SimulatedBoard &board;
    const int limit;
    std::mutex mutex;
    std::condition_variable woken;
    bool over = false;
    // Last: it starts once the rest is there.
    std::thread thread;
};

} // namespace

Story::Story(const UploaderForm &form, SimulatedBoard &board, const QString &imagePath,
    const QByteArray &image, QObject *parent)
    : QObject(parent)
    , form(form)
    , board(board)
    , imagePath(imagePath)
    , imageName(QFileInfo(imagePath).fileName())
    , image(image)
{
    connect(form.plainTextEdit, &QPlainTextEdit::textChanged, this, &Story::printNewLogLines);
    // Printed on the board's thread as it happens, also while the window blocks in an
    // upload. What the board says explains the state it is in, so it comes first.
    connect(&board, &SimulatedBoard::changed, this, &Story::printState, Qt::DirectConnection);
    connect(
        &board, &SimulatedBoard::said, this,
        [this](const QString &message) {
            ++messagesHeard;
            printLine(QStringLiteral("board  | ") + message);
        },
        Qt::DirectConnection);
}

int Story::play()
{
    announce(1, QStringLiteral("The board runs its application; the uploader starts."));
    printState();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM3")); }))
        return fail(1, QStringLiteral("the window did not pick COM3"));

    announce(2, QStringLiteral("%1 is chosen and Upload is pressed.").arg(imageName));
    form.lineEdit->setText(imagePath);
    form.pushButton_2->click();
    for (const QString &line : bootloaderAdvice)
        if (!logShows(line))
            return fail(2, QStringLiteral("the window did not ask for bootloader mode"));
    if (logShows(QStringLiteral("Uploading...")) || board.bytesHeard() > 0)
        return fail(2, QStringLiteral("bossac was started on the application's port"));

    announce(3,
        QStringLiteral("Reset is pressed, and again %1 s later: too slow for a double press, "
                       "so the board restarts twice. Once COM3 is back, the port list is "
                       "opened again.")
            .arg(slowPressGap / 1000.0));
    QElapsedTimer sincePress;
    for (int press = 0; press < 2; ++press) {
        const int heard = messagesHeard;
        board.pressReset();
        sincePress.start();
        // Each press restarts the board, which says so once its bootloader has given
        // up waiting for a second press.
        if (!waitFor([&] { return messagesHeard > heard && sincePress.elapsed() > slowPressGap; }))
            return fail(3, QStringLiteral("the board did not restart"));
    }
    if (board.state() != SimulatedBoard::Application)
        return fail(3, QStringLiteral("the board %1").arg(board.stateText()));
    if (!waitForPort(QStringLiteral("COM3")))
        return fail(3, QStringLiteral("COM3 did not come back"));
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM3"), 2); }))
        return fail(3, QStringLiteral("the window did not pick COM3 again"));

    announce(4,
        QStringLiteral("Reset is pressed twice within half a second, and the port list is "
                       "opened at once, then again once COM7 has appeared."));
    board.pressReset();
    board.pressReset();
    if (openPortList().contains(QLatin1String("COM7")))
        printLine(QStringLiteral("story  | COM7 was there at once."));
    else
        printLine(QStringLiteral("story  | COM7 is not there yet: a new port takes a second or "
                                 "two to appear. Waiting for it."));
    if (!waitForPort(QStringLiteral("COM7")))
        return fail(4, QStringLiteral("COM7 did not appear"));
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM7")); }))
        return fail(4, QStringLiteral("the window did not pick COM7"));

    const SambaBoard::FaultFacts *fault = SambaBoard::factsOf(faultBeforeUpload);
    if (fault) {
        announce(
            5, QStringLiteral("The board %1; Upload is pressed.").arg(QLatin1String(fault->armed)));
        if (!board.armFault(faultBeforeUpload))
            return fail(5, QStringLiteral("the fault could not be armed"));
        const int verdict = upload();
        if (verdict)
            return verdict;
        if (!lastLogLine().startsWith(QLatin1String("Error, ")))
            return fail(5, QStringLiteral("the window's log did not end with an error"));
        if (board.struckFault() != faultBeforeUpload)
            return fail(5, QStringLiteral("the fault did not strike"));
        printLine(QStringLiteral("story  | %1: the upload failed as it should. %2")
                      .arg(lastLogLine(), advice(board)));
        const int recovered = recover();
        if (recovered)
            return recovered;
    } else {
        announce(5, QStringLiteral("Upload is pressed."));
    }
    const int messagesBefore = messagesHeard;
    const int verdict = upload();
    if (verdict)
        return verdict;
    if (!logShows(QStringLiteral("Uploading...")))
        return afterRefusal();
    if (!logShows(QStringLiteral("Done!")))
        return fail(step, QStringLiteral("the upload did not end with Done!"));

    const int restart = step + 1;
    announce(restart, QStringLiteral("The board restarts."));
    if (const int failed = waitForApplication(restart, messagesBefore,
            QStringLiteral("the board did not restart after the upload")))
        return failed;
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM3"), 3); }))
        return fail(restart, QStringLiteral("the window did not pick COM3 again"));
    if (!board.holdsImage(image))
        return fail(restart, QStringLiteral("0x6000 does not hold %1").arg(imageName));
    if (!board.belowApplicationUntouched())
        return fail(restart, QStringLiteral("the flash below 0x6000 was changed"));
    printLine(QStringLiteral("board  | 0x6000 holds %1 byte for byte (%2 bytes, SHA-256 %3); "
                             "below 0x6000 nothing changed")
                  .arg(imageName)
                  .arg(image.size())
                  .arg(QString::fromLatin1(
                      QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex())));
    printLine(QStringLiteral("story: every step happened as it should."));
    return 0;
}

// The window refused the file before bossac started: the board, back from its
// bootloader, must run the application it held before.
int Story::afterRefusal()
{
    printLine(QStringLiteral("story  | The window refused %1, so bossac never started. Reset is "
                             "pressed once: the board starts what its flash holds.")
                  .arg(imageName));
    const int heard = messagesHeard;
    board.pressReset();
    if (const int failed =
            waitForApplication(step, heard, QStringLiteral("the board did not restart")))
        return failed;
    if (board.flash() != SimulatedBoard::factoryFlash())
        return fail(step, QStringLiteral("the flash was changed"));
    printLine(QStringLiteral("board  | its flash is as before: nothing below or above 0x6000 "
                             "changed"));
    return fail(step,
        QStringLiteral("the window refused %1; the board still runs its old application")
            .arg(imageName));
}

// The board restarts (a message after the first messagesBefore), runs its application
// and shows COM3 again; 0 when it does, else the story's failure at that step.
int Story::waitForApplication(int at, int messagesBefore, const QString &notRestarted)
{
    if (!waitFor([&] { return messagesHeard > messagesBefore; }))
        return fail(at, notRestarted);
    if (board.state() != SimulatedBoard::Application)
        return fail(at, boardSays(board));
    if (!waitForPort(QStringLiteral("COM3")))
        return fail(at, QStringLiteral("COM3 did not come back"));
    return 0;
}

int Story::recover()
{
    if (board.state() == SimulatedBoard::Unplugged) {
        announce(step + 1,
            QStringLiteral("The board is plugged in again. Powered on, its bootloader jumps at "
                           "once into what the upload left at 0x6000."));
        board.plugIn();
        if (board.state() != SimulatedBoard::Hung || board.cause() != SimulatedBoard::CutShort)
            return fail(step,
                QStringLiteral("the board %1, not hung in a cut-short image")
                    .arg(board.stateText()));
        printState();
        printLine(QStringLiteral("story  | ") + advice(board));
    }
    announce(step + 1, QStringLiteral("Reset is pressed twice within half a second."));
    board.pressReset();
    board.pressReset();
    if (!waitForPort(QStringLiteral("COM7")))
        return fail(step, QStringLiteral("COM7 did not appear"));
    openPortList();
    if (!waitFor([this] { return logShows(QStringLiteral("Autoselected port COM7"), 2); }))
        return fail(step, QStringLiteral("the window did not pick COM7"));
    announce(step + 1, QStringLiteral("Upload is pressed again."));
    return 0;
}

int Story::upload()
{
    // The window blocks until bossac ends; meanwhile the story says, every 10 s, what the
    // upload waits for.
    UploadTicker ticker(board);
    form.pushButton_2->click();
    if (Interrupts::received())
        return fail(step, QStringLiteral("the upload was interrupted"));
    return 0;
}

QString Story::lastLogLine() const
{
    const QStringList lines = form.plainTextEdit->toPlainText().trimmed().split(QLatin1Char('\n'));
    return lines.last().trimmed();
}

void Story::announce(int number, const QString &what)
{
    step = number;
    printLine(QString());
    printLine(QStringLiteral("%1. %2").arg(number).arg(what));
}

int Story::fail(int step, const QString &why)
{
    if (Interrupts::received()) {
        printLine(QStringLiteral("story: interrupted by signal %1 in step %2; cleaning up.")
                      .arg(Interrupts::received())
                      .arg(step));
        return Interrupts::exitCode(1);
    }
    // The board's own line for its state, if its thread has not printed it yet: it
    // explains the failure, so it comes first.
    printState();
    printLine(QStringLiteral("story: step %1 went wrong: %2").arg(step).arg(why));
    return 1;
}

void Story::printNewLogLines()
{
    const QTextDocument *document = form.plainTextEdit->document();
    // Every append adds whole paragraphs, so the ones printed never change again.
    for (; printedBlocks < document->blockCount(); ++printedBlocks) {
        const QString line = document->findBlockByNumber(printedBlocks).text().trimmed();
        if (!line.isEmpty())
            printLine(QStringLiteral("window | ") + line);
    }
}

void Story::printState()
{
    // Read under the lock, so that a thread that read an older state cannot print it
    // after a newer one.
    QMutexLocker lock(&printedStateMutex);
    QString text = QStringLiteral("board  | ") + board.stateText();
    if (!board.portName().isEmpty())
        text += QStringLiteral(" on %1 (%2)").arg(board.portName(), board.portDescription());
    if (text != printedState)
        printLine(text);
    printedState = text;
}

bool Story::logShows(const QString &line, int times) const
{
    int found = 0;
    for (const QString &paragraph : form.plainTextEdit->toPlainText().split(QLatin1Char('\n')))
        found += paragraph.trimmed() == line;
    return found >= times;
}

bool Story::waitFor(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds || Interrupts::received())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool Story::waitForPort(const QString &name)
{
    if (!waitFor([&] { return board.portName() == name; }))
        return false;
    // The board's line for its new port comes before what the story does with it,
    // whichever thread prints it.
    printState();
    return true;
}

QString Story::openPortList()
{
    // As a click on the list does: the selector scans the ports and opens; the user
    // reads it and closes it again.
    form.comboBox->showPopup();
    QStringList items;
    for (int i = 0; i < form.comboBox->count(); ++i)
        items.append(form.comboBox->itemText(i));
    form.comboBox->hidePopup();
    const QString list = items.join(QStringLiteral(", "));
    printLine(QStringLiteral("list   | ") + list);
    return list;
}
