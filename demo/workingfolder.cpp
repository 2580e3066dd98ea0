#include "workingfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString lockName = QStringLiteral(".owner");
const QString folderPrefix = QStringLiteral("uvo-demo-");

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

WorkingFolder::WorkingFolder()
    : dir(QDir::temp().filePath(folderPrefix + QStringLiteral("XXXXXX")))
{
    if (!dir.isValid()) {
        error = QStringLiteral("cannot make a working folder: ") + dir.errorString();
        return;
    }
    // Locked under another name, then renamed: a demo that starts meanwhile never
    // sees the lock file unlocked.
    const QByteArray fresh = QFile::encodeName(dir.filePath(lockName + QStringLiteral(".new")));
    lock = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0
        || ::rename(fresh.constData(), QFile::encodeName(dir.filePath(lockName)).constData()) != 0)
        error = QStringLiteral("cannot lock the working folder %1: %2").arg(path(), systemError());
}

WorkingFolder::~WorkingFolder()
{
    dir.remove();
    if (lock >= 0)
        ::close(lock);
}

bool WorkingFolder::putBossacOnPath(const QString &realBossac)
{
    const QString bin = dir.filePath(QStringLiteral(".bin"));
    QFile script(QDir(bin).filePath(QStringLiteral("bossac")));
    QString quoted = realBossac;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    const QByteArray text = "#!/bin/sh\n"
                            "# bossac, killed when the demo that started it dies.\n"
                            "exec setpriv --pdeathsig KILL '"
        + QFile::encodeName(quoted) + "' \"$@\"\n";
    if (!QDir().mkpath(bin) || !script.open(QIODevice::WriteOnly)
        || script.write(text) != text.size()
        || !script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        error = QStringLiteral("cannot write %1: %2").arg(script.fileName(), script.errorString());
        return false;
    }
    qputenv("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
    return true;
}

void WorkingFolder::removeStale()
{
    const QFileInfoList folders = QDir::temp().entryInfoList(
        { folderPrefix + QLatin1Char('*') }, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &folder : folders) {
        if (folder.ownerId() != ::getuid() || folder.isSymLink())
            continue;
        const QByteArray lockPath = QFile::encodeName(QDir(folder.filePath()).filePath(lockName));
        const int fd = ::open(lockPath.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // The lock is free only when its owner is gone: the kernel drops it with the
        // process, however it ended.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            QDir(folder.filePath()).removeRecursively();
        ::close(fd);
    }
}
