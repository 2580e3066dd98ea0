#include "testsupport.h"

#include "mainwindow.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QtGlobal>

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : previous(QDir::currentPath())
{
    QDir::setCurrent(dir.path());
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    QDir::setCurrent(previous);
}

ScopedPathPrefix::ScopedPathPrefix(const QString &folder)
    : previous(qgetenv("PATH"))
{
    qputenv("PATH", QFile::encodeName(folder) + ':' + previous);
}

ScopedPathPrefix::~ScopedPathPrefix()
{
    qputenv("PATH", previous);
}

ScopedPortList::ScopedPortList(const QList<SerialPortEntry> &ports)
{
    QCOMBox::setPortLister([ports] { return ports; });
}

ScopedPortList::~ScopedPortList()
{
    QCOMBox::setPortLister(nullptr);
}

QString writeScript(const QString &folder, const QString &name, const QByteArray &body)
{
    const QString path = QDir(folder).filePath(name);
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    script.write("#!/bin/sh\n" + body);
    script.close();
    script.setPermissions(
        script.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    return path;
}

QPlainTextEdit *logPanel(MainWindow &window)
{
    return window.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
}

QStringList logParagraphs(MainWindow &window)
{
    return logPanel(window)->toPlainText().split(QLatin1Char('\n'));
}

QStringList logLines(MainWindow &window)
{
    QStringList lines = logParagraphs(window);
    lines.removeAll(QString());
    return lines;
}

QByteArray firmwareImage(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    quint32 state = seed;
    for (char &byte : bytes) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}
