#ifndef BOARDPANEL_H
#define BOARDPANEL_H

#include <QByteArray>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class SimulatedBoard;

// Shows the simulated board beside the uploader's window: its state, its port, what
// its flash holds, and buttons for what a user does to a real board.
class BoardPanel : public QWidget
{
    Q_OBJECT

public:
    // `sampleName` and `sample` are the image whose presence at 0x6000 the panel reports.
    BoardPanel(SimulatedBoard &board, const QString &sampleName, const QByteArray &sample,
        QWidget *parent = nullptr);

private:
    void refresh();

    SimulatedBoard &board;
    const QString sampleName;
    const QByteArray sample;
    QLabel *state;
    QLabel *port;
    QLabel *image;
    QLabel *match;
    QLabel *bootloader;
    QLabel *message;
    QPushButton *resetTwice;
    QPushButton *plug;
    QPushButton *unplugMidWrite;
    QPushButton *stopAnswering;
};

#endif // BOARDPANEL_H
