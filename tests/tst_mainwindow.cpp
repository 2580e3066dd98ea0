#include "mainwindow.h"
#include "testsupport.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

namespace {

QStringList warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        warnings.append(message);
}

template <typename T> T *child(MainWindow &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no %s in the window", name);
    return found;
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { warnings.clear(); }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void formShowsTextsAndLayoutAsDesigned();
    void tabOrderFollowsTheForm();
    void logoIsLoadedAtMostTheLabelsSize();
    void slotsConnectByNameWithoutWarnings();
    void slotTableKeepsItsOrder();
    void portsAreScannedBeforeTheWindowIsShown();
    void userOpeningTheListScansAgainAndShowsIt();
    void tickReportsAutomaticChoiceOnce();
    void tickScrollsTheLogToItsEnd();
    void tickReportsTheTextCurrentAtThatTick();
    void tickStaysQuietWithoutMatch();
    void rescanBeforeTheTickStillReportsOneLine();
};

void MainWindowTest::formShowsTextsAndLayoutAsDesigned()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({});
    MainWindow window;

    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    // The form writes the title out; it must carry the project's version.
    QCOMPARE(window.windowTitle(), QStringLiteral("UVO Firmware Updater " UVO_VERSION));
    QCOMPARE(window.size(), QSize(571, 248));
    QCOMPARE(child<QPushButton>(window, "pushButton_2")->text(), QStringLiteral("Upload"));
    QCOMPARE(child<QPushButton>(window, "pushButton")->text(), QStringLiteral("Browse"));
    QCOMPARE(child<QLabel>(window, "label_2")->text(), QStringLiteral("COM"));
    QCOMPARE(child<QLabel>(window, "label")->text(), QStringLiteral("Firmware"));
    QCOMPARE(child<QLabel>(window, "label_3")->text(), QString());
    QVERIFY(child<QPushButton>(window, "pushButton_2")->isEnabled());
    QVERIFY(child<QPlainTextEdit>(window, "plainTextEdit")->isReadOnly());

    QMenu *options = child<QMenu>(window, "menuOptions");
    QCOMPARE(options->title(), QStringLiteral("Options"));
    QCOMPARE(window.menuBar(), child<QMenuBar>(window, "menuBar"));
    QCOMPARE(window.menuBar()->actions(), QList<QAction *> { options->menuAction() });
    QCOMPARE(
        options->actions(), QList<QAction *> { child<QAction>(window, "actionInstall_Drivers") });
    QCOMPARE(options->actions().first()->text(), QStringLiteral("Install Drivers"));

    auto *grid = child<QGridLayout>(window, "gridLayout");
    QCOMPARE(window.centralWidget(), child<QWidget>(window, "centralWidget"));
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));

    struct Cell
    {
        const char *name;
        int row, column, rowSpan, columnSpan;
    };
    const Cell cells[] = { { "label_2", 0, 0, 1, 1 }, { "comboBox", 0, 1, 1, 1 },
        { "label", 2, 0, 1, 1 }, { "lineEdit", 2, 1, 1, 4 }, { "pushButton", 2, 6, 1, 1 },
        { "pushButton_2", 3, 6, 1, 1 }, { "plainTextEdit", 5, 0, 1, 6 },
        { "label_3", 5, 6, 1, 1 } };
    for (const Cell &cell : cells) {
        const int index = grid->indexOf(child<QWidget>(window, cell.name));
        QVERIFY2(index >= 0, cell.name);
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(QList<int>({ row, column, rowSpan, columnSpan }),
            QList<int>({ cell.row, cell.column, cell.rowSpan, cell.columnSpan }));
    }

    // The spacer is the only item that is not a widget.
    int spacers = 0;
    for (int i = 0; i < grid->count(); ++i) {
        QSpacerItem *spacer = grid->itemAt(i)->spacerItem();
        if (!spacer)
            continue;
        ++spacers;
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(QList<int>({ row, column, rowSpan, columnSpan }), QList<int>({ 0, 4, 1, 1 }));
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->expandingDirections(), Qt::Horizontal);
    }
    QCOMPARE(spacers, 1);
}

void MainWindowTest::tabOrderFollowsTheForm()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({});
    MainWindow window;

    QStringList order;
    QWidget *start = child<QWidget>(window, "pushButton_2");
    QWidget *widget = start;
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order.append(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != start);
    const QStringList expected { "pushButton_2", "comboBox", "pushButton", "lineEdit",
        "plainTextEdit" };
    QCOMPARE(order.mid(0, expected.size()), expected);
}

void MainWindowTest::logoIsLoadedAtMostTheLabelsSize()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({});
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QLabel *logo = child<QLabel>(window, "label_3");
    const QPixmap pixmap = logo->pixmap(Qt::ReturnByValue);
    QCOMPARE(pixmap.size(), QSize(256, 256));
    QVERIFY(pixmap.hasAlphaChannel());
    QCOMPARE(logo->maximumSize(), QSize(128, 128));
    QVERIFY(logo->hasScaledContents());
    QCOMPARE(logo->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(logo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY(logo->width() <= 128 && logo->height() <= 128);
    QVERIFY(logo->isVisible());
}

void MainWindowTest::slotsConnectByNameWithoutWarnings()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({});
    qInstallMessageHandler(collectWarnings);
    MainWindow window;
    qInstallMessageHandler(nullptr);
    QCOMPARE(warnings.filter(QStringLiteral("connectSlotsByName")), QStringList());

    // The Upload button reaches its slot: without a port it asks for one.
    child<QPushButton>(window, "pushButton_2")->click();
    QCOMPARE(logLines(window), QStringList { "Select a COM port!" });
}

void MainWindowTest::slotTableKeepsItsOrder()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 5);
    const QList<QPair<QByteArray, QMetaMethod::Access>> expected {
        { "on_pushButton_clicked()", QMetaMethod::Private },
        { "on_pushButton_2_clicked()", QMetaMethod::Private },
        { "consoleOut()", QMetaMethod::Private },
        { "on_actionInstall_Drivers_triggered()", QMetaMethod::Private },
        { "timeout()", QMetaMethod::Public },
    };
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i].first);
        QCOMPARE(method.access(), expected[i].second);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
    }
}

void MainWindowTest::portsAreScannedBeforeTheWindowIsShown()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM3", "Communications Port" }, { "COM7", "Arduino Zero" } });
    MainWindow window;
    auto *box = child<QComboBox>(window, "comboBox");
    QVERIFY(!window.isVisible());
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->currentText(), QStringLiteral("COM7"));
    QVERIFY2(box->view()->isVisible(), "the scan did not open the list");
}

void MainWindowTest::userOpeningTheListScansAgainAndShowsIt()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM3", "Communications Port" } });
    MainWindow window;
    auto *box = child<QComboBox>(window, "comboBox");
    box->hidePopup();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // A board is plugged in; the user clicks the list open.
    ports.setPorts({ { "COM3", "Communications Port" }, { "COM7", "Arduino Zero" } });
    QTest::mouseClick(box, Qt::LeftButton);
    const bool shown = box->view()->isVisible();
    box->hidePopup();
    QVERIFY2(shown, "the list did not open");
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->currentText(), QStringLiteral("COM7"));
}

void MainWindowTest::tickReportsAutomaticChoiceOnce()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM7", "Arduino Zero" } });
    MainWindow window;
    QCOMPARE(logPanel(window)->toPlainText(), QString());

    QTRY_COMPARE(logParagraphs(window), QStringList { "Autoselected port COM7" });
    // Several more ticks pass without a second report.
    QVERIFY(waitForTicks(5));
    QCOMPARE(logParagraphs(window), QStringList { "Autoselected port COM7" });

    // A later scan that picks a port again is reported again.
    auto *box = child<QComboBox>(window, "comboBox");
    box->showPopup();
    box->hidePopup();
    QTRY_COMPARE(logParagraphs(window).size(), 2);
    QCOMPARE(logParagraphs(window).last(), QStringLiteral("Autoselected port COM7"));
}

void MainWindowTest::tickScrollsTheLogToItsEnd()
{
    ScopedWorkingDirectory cwd;
    // The board appears only once the log is full, so that the tick's report cannot
    // come before the filler lines however slowly the window comes up.
    ScopedPortList ports({});
    MainWindow window;
    auto *box = child<QComboBox>(window, "comboBox");
    box->hidePopup();
    fillLogScrolledToTop(window);
    ports.setPorts({ { "COM7", "Arduino Zero" } });

    for (int report = 1; report <= 2; ++report) {
        logPanel(window)->verticalScrollBar()->setValue(0);
        box->showPopup();
        box->hidePopup();
        QTRY_COMPARE(logParagraphs(window).count(QStringLiteral("Autoselected port COM7")), report);
        QCOMPARE(logParagraphs(window).last(), QStringLiteral("Autoselected port COM7"));
        QVERIFY(logScrolledToEnd(window));
    }
}

void MainWindowTest::tickReportsTheTextCurrentAtThatTick()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM3", "Communications Port" }, { "COM7", "Arduino Zero" } });
    MainWindow window;
    // The user changes the choice before the first tick runs.
    child<QComboBox>(window, "comboBox")->setCurrentIndex(1);
    QTRY_COMPARE(logParagraphs(window), QStringList { "Autoselected port COM3" });
}

void MainWindowTest::tickStaysQuietWithoutMatch()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM3", "Communications Port" } });
    MainWindow window;
    QVERIFY(waitForTicks(5));
    QCOMPARE(logPanel(window)->toPlainText(), QString());
}

void MainWindowTest::rescanBeforeTheTickStillReportsOneLine()
{
    ScopedWorkingDirectory cwd;
    ScopedPortList ports({ { "COM7", "Arduino Zero" } });
    MainWindow window;
    auto *box = child<QComboBox>(window, "comboBox");
    box->showPopup();
    box->hidePopup();
    QTRY_COMPARE(logParagraphs(window), QStringList { "Autoselected port COM7" });
    QVERIFY(waitForTicks(4));
    QCOMPARE(logParagraphs(window).size(), 1);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
