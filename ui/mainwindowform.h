#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

#include "ui_mainwindow.h"

// The widget record that uic generates from mainwindow.ui, with its set-up and
// text steps under the names the window uses.
class MainWindowForm : public Ui::MainWindow
{
public:
    void buildForm(QMainWindow *window) { setupUi(window); }
    void applyTexts(QMainWindow *window) { retranslateUi(window); }
};

#endif // MAINWINDOWFORM_H
