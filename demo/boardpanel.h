#ifndef BOARDPANEL_H
#define BOARDPANEL_H

#include <QList>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class SimulatedBoard;

// Shows the simulated board beside the uploader's window: its state, its port, what
// its flash holds, whether that is the file chosen in the window, and buttons for
// what a user does to a real board.
class BoardPanel : public QWidget
{
    Q_OBJECT

public:
    explicit BoardPanel(SimulatedBoard &board, QWidget *parent = nullptr);

public slots:
    // The file whose presence at 0x6000 the panel reports, as the window's Firmware
    // field names it (relative to the working folder, or absolute).
    void setChosenFile(const QString &path);

private:
    void refresh();

    SimulatedBoard &board;
    QString chosenFile;
    QLabel *state;
    QLabel *port;
    QLabel *image;
    QLabel *match;
    QLabel *belowApplication;
    QLabel *message;
    QPushButton *reset;
    QPushButton *plug;
    // One for each fault, named after it.
    QList<QPushButton *> faultButtons;
};

#endif // BOARDPANEL_H
