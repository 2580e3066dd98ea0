#ifndef STORY_H
#define STORY_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class MainWindow;
class QPlainTextEdit;
class SimulatedBoard;

// Plays a whole upload as a user would, with the real window, the real bossac and
// the simulated board, and prints every new line of the window's log and every change
// of the board as it happens.
class Story : public QObject
{
    Q_OBJECT

public:
    // `imagePath` is what goes into the window's Firmware field; `image` is its content.
    Story(MainWindow &window, SimulatedBoard &board, const QString &imagePath,
        const QByteArray &image, QObject *parent = nullptr);

    // 0 when every step happened as it should; otherwise 1, after saying which step
    // went wrong and how, or 128 + the signal that interrupted it.
    int play();

private:
    void announce(int step, const QString &what);
    int fail(int step, const QString &why);
    void printNewLogLines();
    void printState();
    bool logShows(const QString &line, int times = 1) const;
    bool waitFor(const std::function<bool()> &done, int milliseconds = 20000);
    void openPortList();

    MainWindow &window;
    QPlainTextEdit *const log;
    SimulatedBoard &board;
    const QString imagePath;
    const QString imageName;
    const QByteArray image;
    int printedBlocks = 0;
    QString printedState;
    int messagesHeard = 0;
};

#endif // STORY_H
