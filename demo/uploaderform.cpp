#include "uploaderform.h"

#include "mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

UploaderForm::UploaderForm(MainWindow &window)
    : comboBox(window.findChild<QComboBox *>(QStringLiteral("comboBox")))
    , lineEdit(window.findChild<QLineEdit *>(QStringLiteral("lineEdit")))
    , pushButton_2(window.findChild<QPushButton *>(QStringLiteral("pushButton_2")))
    , plainTextEdit(window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit")))
{
}
