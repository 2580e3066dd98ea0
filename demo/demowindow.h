#ifndef DEMOWINDOW_H
#define DEMOWINDOW_H

#include "uploaderform.h"

#include <QWidget>

class BoardPanel;
class MainWindow;
class SimulatedBoard;

// The uploader's real window, as it is, beside the simulated board's panel, in one
// window; the panel reports on the file named in the window's Firmware field.
class DemoWindow : public QWidget
{
    Q_OBJECT

public:
    explicit DemoWindow(SimulatedBoard &board, QWidget *parent = nullptr);

    const UploaderForm &uploader() const { return form; }

private:
    MainWindow *window;
    const UploaderForm form;
    BoardPanel *panel;
};

#endif // DEMOWINDOW_H
