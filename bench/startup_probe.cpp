// The program's own start (application, window, show, event loop), built twice: once
// with the real MainWindow and once with an empty QMainWindow. Each copy writes one
// line to stdout at the window's first paint and leaves at once, so that the driver
// times process start to window shown and nothing after.
#include <QApplication>
#include <QEvent>
#include <QMainWindow>

#include <cstdio>
#include <cstdlib>

#ifdef PROBE_UVO_WINDOW
#include "mainwindow.h"
using ProbedWindow = MainWindow;
#else
using ProbedWindow = QMainWindow;
#endif

namespace {

class FirstPaint : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            std::_Exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    ProbedWindow window;
    FirstPaint firstPaint;
    window.installEventFilter(&firstPaint);
    window.show();
    return application.exec();
}
