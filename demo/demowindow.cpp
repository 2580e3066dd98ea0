#include "demowindow.h"

#include "boardpanel.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>

DemoWindow::DemoWindow(SimulatedBoard &board, QWidget *parent)
    : QWidget(parent)
    , window(new MainWindow)
    , form(*window)
    , panel(new BoardPanel(board))
{
    setWindowTitle(QStringLiteral("UVO Firmware Uploader and a simulated board"));
    // The window scans the ports as it is built and opens the list; a user starts
    // with it closed.
    form.comboBox->hidePopup();
    window->setWindowFlags(Qt::Widget);

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(window, 3);
    layout->addWidget(panel, 2);
    resize(1180, 520);

    connect(form.lineEdit, &QLineEdit::textChanged, panel, &BoardPanel::setChosenFile);
    panel->setChosenFile(form.lineEdit->text());
}
