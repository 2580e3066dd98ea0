#ifndef WORKINGFOLDER_H
#define WORKINGFOLDER_H

#include <QString>
#include <QTemporaryDir>

// The demo's working folder: a fresh uvo-demo-XXXXXX in the temporary folder, where
// the window keeps saved.txt and bossac opens the board's ports. It goes with this
// object. A lock on a file in it, held while the demo runs, tells later demos whether
// its owner is still there: the folder of a demo that was killed is removed when the
// next one starts.
class WorkingFolder
{
public:
    WorkingFolder();
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder &) = delete;
    WorkingFolder &operator=(const WorkingFolder &) = delete;

    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }
    QString path() const { return dir.path(); }

    // Puts first on PATH a `bossac` that runs `realBossac` so that it dies with the
    // demo, even with one killed by SIGKILL: a parent-death signal is set before
    // bossac starts.
    bool putBossacOnPath(const QString &realBossac);

    // Removes the working folders of demos that are gone.
    static void removeStale();

private:
    QTemporaryDir dir;
    int lock = -1;
    QString error;
};

#endif // WORKINGFOLDER_H
