// Plays an outside program (bossac, the driver installer) for the tests. Copied into
// a test's folder under the name the window starts, it follows the steps written
// beside it in "<its own file path>.steps", one a line, then exits with code 0:
//
//   arguments FILE       writes its arguments to FILE, one a line, in UTF-8
//   stdout TEXT          writes TEXT and a line feed to standard output, flushed
//   stderr TEXT          the same to standard error
//   lines COUNT TEXT     writes TEXT followed by 1, 2 ... COUNT, a line each, to stdout
//   sleep MS             pauses
//   touch FILE           creates FILE, empty
//   pid FILE             writes its process id to FILE
//   wait-for FILE MS     waits until FILE exists; exits with code 3 if MS pass first
//   count FILE           adds one to the number in FILE; {n} in later TEXTs is that number
//   exit CODE            exits with CODE
//   crash                dies of SIGFPE, as bossac does on an empty image
//
// TEXT may hold \n, \r, \t, \\ and \xHH escapes; FILEs are relative to the working
// directory. A step it does not know ends it with code 2.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

namespace {

QByteArray unescape(const QByteArray &text)
{
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '\\' || i + 1 == text.size()) {
            bytes += text.at(i);
            continue;
        }
        const char code = text.at(++i);
        if (code == 'n')
            bytes += '\n';
        else if (code == 'r')
            bytes += '\r';
        else if (code == 't')
            bytes += '\t';
        else if (code == 'x' && i + 2 < text.size()) {
            bytes += static_cast<char>(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else
            bytes += code;
    }
    return bytes;
}

void writeTo(std::FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) >= 0;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // Line feeds stay line feeds, as on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    // The arguments as the C runtime split them: on Windows that is how bossac
    // receives its command line, in the ANSI code page.
    QByteArray arguments;
    for (int i = 1; i < argc; ++i) {
#ifdef Q_OS_WIN
        arguments += QString::fromLocal8Bit(argv[i]).toUtf8();
#else
        arguments += argv[i];
#endif
        arguments += '\n';
    }
    QCoreApplication application(argc, argv);
    QFile stepsFile(QCoreApplication::applicationFilePath() + QStringLiteral(".steps"));
    if (!stepsFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "stand-in: no steps in %s\n", qPrintable(stepsFile.fileName()));
        return 2;
    }
    const QList<QByteArray> steps = stepsFile.readAll().split('\n');

    QByteArray run;
    for (QByteArray step : steps) {
        // Trailing spaces belong to the step's text.
        if (step.endsWith('\r'))
            step.chop(1);
        if (step.isEmpty())
            continue;
        const int space = step.indexOf(' ');
        const QByteArray name = space < 0 ? step : step.left(space);
        QByteArray rest = space < 0 ? QByteArray() : step.mid(space + 1);
        rest.replace("{n}", run);
        const QString file = QFile::decodeName(rest);

        if (name == "arguments") {
            writeFile(file, arguments);
        } else if (name == "stdout" || name == "stderr") {
            writeTo(name == "stdout" ? stdout : stderr, unescape(rest) + '\n');
        } else if (name == "lines") {
            const int gap = rest.indexOf(' ');
            const QByteArray text = unescape(rest.mid(gap + 1));
            QByteArray lines;
            for (int n = 1, count = rest.left(gap).toInt(); n <= count; ++n)
                lines += text + QByteArray::number(n) + '\n';
            writeTo(stdout, lines);
        } else if (name == "sleep") {
            QThread::msleep(rest.toULong());
        } else if (name == "touch") {
            writeFile(file, QByteArray());
        } else if (name == "pid") {
            writeFile(file, QByteArray::number(QCoreApplication::applicationPid()));
        } else if (name == "wait-for") {
            const QString path = QFile::decodeName(rest.left(rest.lastIndexOf(' ')));
            const qint64 limit = rest.mid(rest.lastIndexOf(' ') + 1).toLongLong();
            QElapsedTimer waited;
            waited.start();
            while (!QFileInfo::exists(path)) {
                if (waited.elapsed() > limit)
                    return 3;
                QThread::msleep(20);
            }
        } else if (name == "count") {
            QFile counter(file);
            const int previous = counter.open(QIODevice::ReadOnly) ? counter.readAll().toInt() : 0;
            counter.close();
            run = QByteArray::number(previous + 1);
            writeFile(file, run);
        } else if (name == "exit") {
            return rest.toInt();
        } else if (name == "crash") {
            std::signal(SIGFPE, SIG_DFL);
            std::raise(SIGFPE);
        } else {
            std::fprintf(stderr, "stand-in: unknown step %s\n", step.constData());
            return 2;
        }
    }
    return 0;
}
