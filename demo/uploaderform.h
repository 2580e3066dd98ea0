#ifndef UPLOADERFORM_H
#define UPLOADERFORM_H

class MainWindow;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The uploader window's widgets that the demo drives and watches, found once by the
// form's own object names.
struct UploaderForm
{
    explicit UploaderForm(MainWindow &window);

    QComboBox *comboBox;
    QLineEdit *lineEdit;
    QPushButton *pushButton_2;
    QPlainTextEdit *plainTextEdit;
};

#endif // UPLOADERFORM_H
