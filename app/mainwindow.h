#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

class MainWindowForm;
class QProcess;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // How long an upload may run before bossac is killed; 60000 ms unless a test
    // shortens it. Returns the limit that was set before.
    static int setUploadTimeout(int milliseconds);

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void consoleOut();
    void on_actionInstall_Drivers_triggered();

public slots:
    void timeout();

private:
    void appendLog(const QString &text);
    void scrollLogToEnd();

    MainWindowForm *form;
    QProcess *process;
};

#endif // MAINWINDOW_H
