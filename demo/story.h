#ifndef STORY_H
#define STORY_H

#include "sambaboard.h"
#include "uploaderform.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class SimulatedBoard;

// Plays a whole upload as a user would, with the real window, the real bossac and
// the simulated board, and prints every new line of the window's log and every change
// of the board as it happens, the board's also while the window blocks in an upload.
class Story : public QObject
{
    Q_OBJECT

public:
    // `imagePath` is what goes into the window's Firmware field; `image` is its content.
    Story(const UploaderForm &form, SimulatedBoard &board, const QString &imagePath,
        const QByteArray &image, QObject *parent = nullptr);

    // Arms `fault` on the board just before the upload, then recovers from it as the
    // board says, up to a second upload that ends well.
    void armBeforeUpload(SambaBoard::Fault fault) { faultBeforeUpload = fault; }

    // 0 when every step happened as it should; otherwise 1, after saying which step
    // went wrong and how, or 128 + the signal that interrupted it.
    int play();

private:
    // After the fault has struck: what the board says to do, up to a second Upload.
    int recover();
    // Presses Upload; returns once the window has its verdict, or what the story
    // returns when it was interrupted.
    int upload();
    QString lastLogLine() const;
    void announce(int number, const QString &what);
    int fail(int step, const QString &why);
    int afterRefusal();
    int waitForApplication(int at, int messagesBefore, const QString &notRestarted);
    void printNewLogLines();
    void printState();
    bool logShows(const QString &line, int times = 1) const;
    bool waitFor(const std::function<bool()> &done, int milliseconds = 20000);
    bool waitForPort(const QString &name);
    QString openPortList();

    const UploaderForm form;
    SimulatedBoard &board;
    const QString imagePath;
    const QString imageName;
    const QByteArray image;
    int printedBlocks = 0;
    // The board's lines come from its own thread.
    QMutex printedStateMutex;
    QString printedState;
    std::atomic<int> messagesHeard { 0 };
    SambaBoard::Fault faultBeforeUpload = SambaBoard::NoFault;
    // The step under way.
    int step = 0;
};

#endif // STORY_H
