// Loaded with LD_PRELOAD into an unchanged UVOFirmwareUploader, this library reports
// when the program's main window is on screen and then ends the program normally:
// it prints one line with the window's title and size and quits the event loop, so
// the program returns from main with exec's result, 0. The package check starts the
// unpacked program this way, since the program has no options of its own.
#include <QCoreApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>

namespace {

class MainWindowWatch : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !reported) {
            auto *window = qobject_cast<QMainWindow *>(watched);
            if (window && window->isWindow())
                QTimer::singleShot(0, this, [this, window] { reportWhenExposed(window, 0); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // Shown is not yet on screen: the platform window must also be exposed.
    void reportWhenExposed(QMainWindow *window, int attempt)
    {
        if (reported)
            return;
        QWindow *handle = window->windowHandle();
        if (!handle || !handle->isExposed() || !window->isVisible()) {
            if (attempt < 500)
                QTimer::singleShot(
                    10, this, [this, window, attempt] { reportWhenExposed(window, attempt + 1); });
            return;
        }
        reported = true;
        std::printf("window-probe: main window \"%s\" shown and exposed, %dx%d\n",
            qPrintable(window->windowTitle()), window->width(), window->height());
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    bool reported = false;
};

void watchForMainWindow()
{
    auto *watch = new MainWindowWatch;
    watch->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(watch);
    std::printf("window-probe: watching for the main window\n");
    std::fflush(stdout);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchForMainWindow)
