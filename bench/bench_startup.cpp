// Time from process start to the window shown: the program (ports scanned, logo
// loaded, saved path restored) against a bare Qt program showing an empty
// QMainWindow. Runs alternate between the two; prints both medians and their ratio.
//
//   bench_startup [runs]    (default 15; offscreen unless a display is set)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Milliseconds from start() until the probe reports its first paint.
double timeToShown(const QString &program, const QString &workingDirectory)
{
    QProcess probe;
    probe.setWorkingDirectory(workingDirectory);
    QElapsedTimer timer;
    timer.start();
    probe.start(program, QStringList());
    while (!probe.canReadLine()) {
        if (!probe.waitForReadyRead(10000))
            qFatal("%s did not report a shown window: %s", qPrintable(program),
                probe.readAllStandardError().constData());
    }
    const double elapsed = timer.nsecsElapsed() / 1e6;
    probe.waitForFinished();
    return elapsed;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 15;
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const QDir here(QCoreApplication::applicationDirPath());
    const QString program = here.filePath(QStringLiteral("startup_probe_uvo"));
    const QString bare = here.filePath(QStringLiteral("startup_probe_bare"));
    // The program reads "saved.txt" from its working directory: give it one.
    QTemporaryDir workingDirectory;
    QFile saved(workingDirectory.filePath(QStringLiteral("saved.txt")));
    if (saved.open(QIODevice::WriteOnly))
        saved.write("C:/firmware/app.bin");
    saved.close();

    // One unmeasured start each warms the disk cache.
    timeToShown(program, workingDirectory.path());
    timeToShown(bare, workingDirectory.path());

    std::vector<double> programTimes, bareTimes;
    for (int run = 0; run < runs; ++run) {
        programTimes.push_back(timeToShown(program, workingDirectory.path()));
        bareTimes.push_back(timeToShown(bare, workingDirectory.path()));
    }

    QTextStream out(stdout);
    out << "platform: " << qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb"))
        << ", runs: " << runs << " each, interleaved\n";
    out << QStringLiteral("start to window shown, UVOFirmwareUploader: median %1 ms (min %2)\n")
               .arg(median(programTimes), 0, 'f', 1)
               .arg(*std::min_element(programTimes.begin(), programTimes.end()), 0, 'f', 1);
    out << QStringLiteral("start to window shown, bare QMainWindow:    median %1 ms (min %2)\n")
               .arg(median(bareTimes), 0, 'f', 1)
               .arg(*std::min_element(bareTimes.begin(), bareTimes.end()), 0, 'f', 1);
    out << QStringLiteral("ratio (program / bare): %1 (goal: at most 1.2)\n")
               .arg(median(programTimes) / median(bareTimes), 0, 'f', 3);
    return 0;
}
