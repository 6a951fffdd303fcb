#include "platform/photos/shared/OpenFileHolders.h"

#include <QFile>
#include <QFileInfo>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <unordered_set>

namespace photos {

std::optional<OpenFileHolder> processHoldingOpen(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    std::unordered_set<std::string> targets;
    for (const char* suffix : {"", "-journal", "-wal"})
        targets.insert(QFile::encodeName(canonical).toStdString() + suffix);
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<OpenFileHolder> found;
    while (const dirent* e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fdFolder = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdFolder.c_str());
        if (!fds)
            continue; // gone, or another user's
        while (const dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            char target[4096];
            const ssize_t n =
                ::readlink((fdFolder + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0 || !targets.count(std::string(target, size_t(n))))
                continue;
            QFile comm(QString::fromStdString("/proc/" + pid + "/comm"));
            found = OpenFileHolder{std::stoll(pid),
                                   comm.open(QIODevice::ReadOnly)
                                       ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                       : QString()};
            break;
        }
        ::closedir(fds);
        if (found)
            break;
    }
    ::closedir(proc);
    return found;
}

} // namespace photos
