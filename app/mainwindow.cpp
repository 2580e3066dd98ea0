#include "mainwindow.h"

#include "firmwarecheck.h"
#include "mainwindowform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextCodec>
#include <QTextStream>
#include <QTimer>

#include <utility>

namespace {

const QString savedPathFile = QStringLiteral("saved.txt");
int uploadTimeoutMs = 60000;

void startCommand(QProcess &process, const QString &commandLine)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.takeFirst();
    process.start(program, arguments, QIODevice::ReadWrite);
#else
    process.start(commandLine, QIODevice::ReadWrite);
#endif
}

// Writes the path as "saved.txt" holds it: in the locale's encoding, as a default
// text stream writes it, whenever that encoding gives the path back unchanged, and
// otherwise as UTF-8 behind a byte-order mark, which the reader's text stream
// recognises. A round trip decides, not canEncode(): Windows' locale codec counts
// no character as unconvertible and turns some into look-alikes (best fit), so there
// canEncode() accepts paths that would come back changed.
void writeSavedPath(QIODevice &file, const QString &path)
{
    QTextStream out(&file);
    const QTextCodec *codec = out.codec();
    if (codec->toUnicode(codec->fromUnicode(path)) != path) {
        out.setCodec("UTF-8");
        out.setGenerateByteOrderMark(true);
    }
    out << path;
    out.flush();
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new MainWindowForm)
    , process(nullptr)
{
    form->buildForm(this);

    // The port list is scanned (and a board picked) before the window is first shown.
    static_cast<QComboBox *>(form->comboBox)->showPopup();

    QFile saved(savedPathFile);
    if (saved.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&saved);
        form->lineEdit->setText(in.readAll());
    }

    QTimer::singleShot(50, this, SLOT(timeout()));
}

MainWindow::~MainWindow()
{
    delete form;
}

int MainWindow::setUploadTimeout(int milliseconds)
{
    return std::exchange(uploadTimeoutMs, milliseconds);
}

void MainWindow::on_pushButton_clicked()
{
    // Start in the current file's folder when that folder still exists.
    const QString current = form->lineEdit->text();
    const QString folder = current.left(qMax(0, current.lastIndexOf(QLatin1Char('\\'))));
    QString startLocation;
    if (QDir(folder).exists())
        startLocation = current;

    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open Firmware"), startLocation, tr("Firmware Files (*.bin)"));
    if (path.isEmpty())
        return;
    form->lineEdit->setText(path);

    // QSaveFile replaces the old content only once the new one is completely written.
    // It needs a temporary file beside "saved.txt"; where the folder refuses new files,
    // the file is written in place instead, as a plain write would.
    QSaveFile saved(savedPathFile);
    if (saved.open(QIODevice::WriteOnly | QIODevice::Text)) {
        writeSavedPath(saved, path);
        saved.commit();
        return;
    }
    QFile direct(savedPathFile);
    if (direct.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        writeSavedPath(direct, path);
}

void MainWindow::on_pushButton_2_clicked()
{
    QProcess upload;
    // Points the member at this run for as long as it lasts, and back at the outer
    // run (or null) afterwards, so it never designates a destroyed process.
    const QScopedValueRollback<QProcess *> currentProcess(process, &upload);
    connect(&upload, &QProcess::readyReadStandardError, this, &MainWindow::consoleOut);
    connect(&upload, &QProcess::readyReadStandardOutput, this, &MainWindow::consoleOut);

    // The path in the platform's own form: Windows' backslashes there, as the dialog
    // returned it elsewhere, where a backslash is no separator and bossac could not
    // open the file.
    const QString path = form->lineEdit->text();
    const QString quotedPath = QLatin1Char('"') + QDir::toNativeSeparators(path) + QLatin1Char('"');
    const QString port = form->comboBox->currentText();

    if (!port.contains(QLatin1String("COM"))) {
        appendLog(QStringLiteral("Select a COM port!"));
    } else if (quotedPath == QLatin1String("\"\"")) {
        appendLog(QStringLiteral("Select a file!"));
    } else if (form->comboBox->rememberedPortName() == port) {
        appendLog(QStringLiteral("\r\nPlease put device in bootloader mode!"));
        appendLog(QStringLiteral("To put the device in bootloader mode, press the onboard reset "
                                 "button twice within half a second."));
        appendLog(QStringLiteral("Then select the new port.\r\n"));
    } else if (const QString problem = firmwareFileProblem(path); !problem.isEmpty()) {
        // bossac would erase the board before it found out.
        appendLog(problem);
    } else {
        appendLog(QStringLiteral("Uploading..."));
        scrollLogToEnd();
        QCoreApplication::processEvents();

        const QString commandLine = QStringLiteral("bossac -i -d --port=") + port
            + QStringLiteral(" -U -i --offset=0x6000 -e -w ") + quotedPath + QStringLiteral(" -R");
        appendLog(commandLine);
        scrollLogToEnd();

        startCommand(upload, commandLine);
        // bossac never returns when the board vanishes while it waits for a reply,
        // so a run that outlives the wait is killed rather than left behind.
        bool timedOut = false;
        if (!upload.waitForFinished(uploadTimeoutMs) && upload.state() != QProcess::NotRunning) {
            upload.kill();
            upload.waitForFinished(-1);
            timedOut = true;
        }

        appendLog(QString::fromUtf8(upload.readAllStandardOutput()));
        appendLog(QString::fromUtf8(upload.readAllStandardError()));

        // A program that never started reports exit code 0: that is no success.
        if (upload.error() == QProcess::FailedToStart)
            appendLog(QStringLiteral("Error, could not start bossac"));
        else if (timedOut)
            appendLog(QStringLiteral("Error, bossac did not finish within %1 seconds")
                          .arg(uploadTimeoutMs / 1000.0));
        else if (upload.exitCode() == 0)
            appendLog(QStringLiteral("Done!"));
        else
            appendLog(
                QStringLiteral("Error, exited with code ") + QString::number(upload.exitCode()));
    }
    scrollLogToEnd();
}

void MainWindow::consoleOut()
{
    // Read the process that sent the notification: an upload nested inside another
    // (clicked during its processEvents call) must not take the outer run's output.
    auto *source = qobject_cast<QProcess *>(sender());
    if (!source)
        source = process;
    if (!source)
        return;
    appendLog(QString::fromUtf8(source->readAllStandardError()));
    appendLog(QString::fromUtf8(source->readAllStandardOutput()));
}

void MainWindow::on_actionInstall_Drivers_triggered()
{
    qDebug() << "Drivers";
    QProcess installer;
    startCommand(installer, QStringLiteral("install_drivers.exe"));
    installer.waitForFinished(-1);
}

void MainWindow::timeout()
{
    if (form->comboBox->takeAutoselected()) {
        appendLog(QStringLiteral("Autoselected port ") + form->comboBox->currentText());
        scrollLogToEnd();
    }
    QTimer::singleShot(50, this, SLOT(timeout()));
}

void MainWindow::appendLog(const QString &text)
{
    form->plainTextEdit->appendPlainText(text);
}

void MainWindow::scrollLogToEnd()
{
    QScrollBar *bar = form->plainTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}
