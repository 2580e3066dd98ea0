// Draws the picture of a successful upload: the real window flashes the emulated
// board (a SAMD21 bootloader on a pseudo-terminal, linked as COM7 in a temporary
// working directory) with the real bossac, and the window is then saved as a PNG.
// Usage: upload_picture <output.png>; run it with QT_QPA_PLATFORM=offscreen.
#include "mainwindow.h"
#include "sambaboard.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <cstdio>

namespace {

const QString portName = QStringLiteral("COM7");
const QString firmwareName = QStringLiteral("app.bin");
constexpr int firmwareSize = 23456;

int fail(const QString &message)
{
    std::fprintf(stderr, "upload_picture: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2)
        return fail(QStringLiteral("usage: upload_picture <output.png>"));
    const QString output = QFileInfo(QFile::decodeName(argv[1])).absoluteFilePath();

    ScopedWorkingDirectory cwd;
    SambaBoard board;
    if (!board.isRunning() || !board.linkAs(portName))
        return fail(QStringLiteral("emulated board: ") + board.errorString());
    QFile firmware(cwd.filePath(firmwareName));
    if (!firmware.open(QIODevice::WriteOnly) || firmware.write(firmwareImage(firmwareSize)) < 0)
        return fail(QStringLiteral("cannot write ") + firmware.fileName());
    firmware.close();
    const ScopedPortList ports { { portName, QStringLiteral("Arduino Zero") } };

    MainWindow window;
    window.resize(900, 600);
    window.show();
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->hidePopup();
    if (!QTest::qWaitForWindowExposed(&window))
        return fail(QStringLiteral("the window was not shown"));
    // Lets the 50 ms tick report the automatic choice of COM7.
    QTest::qWait(200);
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(firmwareName);
    window.findChild<QPushButton *>(QStringLiteral("pushButton_2"))->click();
    QTest::qWait(200);

    const QStringList log = logLines(window);
    if (log.isEmpty() || log.last() != QLatin1String("Done!"))
        return fail(
            QStringLiteral("the upload did not end with Done!:\n") + log.join(QLatin1Char('\n')));
    if (board.flash().mid(0x6000, firmwareSize) != firmwareImage(firmwareSize))
        return fail(QStringLiteral("the board does not hold the image at 0x6000"));

    // The log's scroll range grows once its wrapped lines are laid out, after the
    // window's own scroll to the end: scroll down as a user would to see the verdict.
    QScrollBar *scrollBar = logPanel(window)->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
    QTest::qWait(100);

    if (!window.grab().save(output, "PNG"))
        return fail(QStringLiteral("cannot write ") + output);
    std::printf("wrote %s\n", qPrintable(output));
    return 0;
}
