#ifndef STORY_H
#define STORY_H

#include <QByteArray>
#include <QString>

#include <functional>

class MainWindow;
class QPlainTextEdit;
class SimulatedBoard;

// Plays a whole upload as a user would, with the real window, the real bossac and
// the simulated board, and prints every new line of the window's log and every
// change of the board as it happens.
class Story
{
public:
    // `imageName` names `image` in the working directory.
    Story(MainWindow &window, SimulatedBoard &board, const QString &imageName,
        const QByteArray &image);

    // 0 when every step happened as it should; otherwise 1, after saying which step
    // went wrong and how.
    int play();

private:
    void announce(int step, const QString &what);
    int fail(int step, const QString &why);
    void printNewLogLines();
    void printBoard();
    bool logShows(const QString &line, int times = 1) const;
    bool waitFor(const std::function<bool()> &done, int milliseconds = 20000);
    void openPortList();

    MainWindow &window;
    QPlainTextEdit *const log;
    SimulatedBoard &board;
    const QString imageName;
    const QByteArray image;
    int printedBlocks = 0;
    QString printedBoard;
    QString printedMessage;
};

#endif // STORY_H
