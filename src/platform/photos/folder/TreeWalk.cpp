#include "platform/photos/folder/TreeWalk.h"

#include "platform/photos/folder/FolderStore.h"

#include <QByteArrayView>
#include <QFile>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

namespace {

QString shown(const std::string& relative) {
    return relative.empty() ? QStringLiteral(".")
                            : QString::fromUtf8(relative.data(), qsizetype(relative.size()));
}

QString joined(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

} // namespace

void TreeWalk::walkRoot(const QString& root) {
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Listing top;
    std::string relative;
    if (fd < 0 || !list(fd, relative, top)) {
        problems << QStringLiteral("folder . cannot be read");
        return;
    }
    struct Below {
        std::string name;
        TreeWalk walk;
    };
    std::vector<Below> below;
    for (const Entry& entry : top.entries)
        if (entry.folder)
            below.push_back({std::string(top.nameOf(entry)), {}});
    const int topFd = ::dirfd(top.dir);
    auto walkBelow = [topFd](Below& b) {
        std::string path;
        b.walk.enter(topFd, path, b.name);
    };
    if (below.size() > 1)
        QtConcurrent::blockingMap(below, walkBelow);
    else
        std::for_each(below.begin(), below.end(), walkBelow);
    // Sized once: growing them would copy a hundred thousand files again and again.
    size_t textBytes = top.names.size(), fileCount = top.entries.size(), folderCount = 1;
    for (const Below& b : below) {
        textBytes += b.walk.text.size();
        fileCount += b.walk.files.size();
        folderCount += b.walk.folders.size();
    }
    text.reserve(textBytes);
    files.reserve(fileCount);
    folders.reserve(folderCount);
    folders.push_back({QString(), {}});
    auto next = below.begin();
    for (const Entry& entry : top.entries) {
        if (entry.folder)
            adopt((next++)->walk);
        else
            addFile(0, relative, top.nameOf(entry), entry);
    }
    ::closedir(top.dir);
}

bool TreeWalk::list(int fd, const std::string& relative, Listing& out) {
    out.dir = ::fdopendir(fd);
    if (!out.dir) {
        ::close(fd);
        return false;
    }
    bool unreadable = false;
    while (const dirent* e = ::readdir(out.dir)) {
        const std::string_view raw(e->d_name);
        if (raw.front() == '.')
            continue;
        if (!QByteArrayView(raw.data(), qsizetype(raw.size())).isValidUtf8()) {
            problems
                << QStringLiteral("%1 has a name that is not valid UTF-8; it is left out")
                       .arg(joined(
                           QString::fromUtf8(relative.data(), qsizetype(relative.size())),
                           QString::fromUtf8(raw.data(), qsizetype(raw.size())).toHtmlEscaped()));
            continue;
        }
        // Files that are no pictures or sidecars are passed over without asking the disk.
        Entry entry{0, raw.size(), e->d_type == DT_DIR, FileKind::Other, 0, 0, 0, 0};
        if (!entry.folder && e->d_type != DT_UNKNOWN &&
            (e->d_type != DT_REG || m_kinds.kindOf(raw, entry.type) == FileKind::Other))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(out.dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone meanwhile is no problem; a folder whose entries cannot be looked at is.
            if (errno != ENOENT && !unreadable) {
                unreadable = true;
                problems << QStringLiteral("folder %1 cannot be read").arg(shown(relative));
            }
            continue;
        }
        entry.folder = S_ISDIR(st.st_mode);
        if (!entry.folder) {
            if (!S_ISREG(st.st_mode))
                continue;
            entry.kind = m_kinds.kindOf(raw, entry.type);
            if (entry.kind == FileKind::Other)
                continue;
            entry.size = st.st_size;
            entry.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            entry.inode = qint64(st.st_ino);
        }
        entry.nameAt = out.names.size();
        out.names.append(raw);
        out.entries.push_back(entry);
    }
    std::sort(out.entries.begin(), out.entries.end(), [&](const Entry& a, const Entry& b) {
        const std::string_view x = out.nameOf(a), y = out.nameOf(b);
        const size_t n = std::min(x.size(), y.size());
        if (const int c = std::memcmp(x.data(), y.data(), n); c != 0)
            return c < 0;
        // One name begins the other: what follows decides, a folder's "/" or nothing.
        const auto next = [n](std::string_view s, bool folder) {
            return s.size() > n ? int(uchar(s[n])) : folder ? int('/') : -1;
        };
        return next(x, a.folder) < next(y, b.folder);
    });
    return true;
}

void TreeWalk::addFile(size_t folder, const std::string& relative, std::string_view name,
                       const Entry& entry) {
    Seen seen;
    seen.pathAt = qsizetype(text.size());
    if (!relative.empty()) {
        text.append(relative);
        text.push_back('/');
    }
    seen.nameAt = int(text.size() - size_t(seen.pathAt));
    text.append(name);
    seen.pathBytes = int(text.size() - size_t(seen.pathAt));
    seen.kind = entry.kind;
    seen.type = entry.type;
    seen.size = entry.size;
    seen.mtimeNs = entry.mtimeNs;
    seen.inode = entry.inode;
    folders[folder].files.push_back(uint32_t(files.size()));
    files.push_back(seen);
}

void TreeWalk::enter(int parentFd, std::string& relative, std::string_view name) {
    const size_t depth = relative.size();
    if (depth > 0)
        relative.push_back('/');
    relative.append(name);
    if (FolderStore::beforeEnteringFolder)
        FolderStore::beforeEnteringFolder(
            QString::fromUtf8(relative.data(), qsizetype(relative.size())));
    // Never through a link: a folder swapped for one since it was listed is left out, as
    // is one that is gone or is no folder any more.
    const int fd = ::openat(parentFd, std::string(name).c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    Listing listing;
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            problems << QStringLiteral("folder %1 cannot be read").arg(shown(relative));
    } else if (!list(fd, relative, listing)) {
        problems << QStringLiteral("folder %1 cannot be read").arg(shown(relative));
    } else {
        const size_t self = folders.size();
        folders.push_back({QString::fromUtf8(relative.data(), qsizetype(relative.size())), {}});
        for (const Entry& entry : listing.entries) {
            if (entry.folder)
                enter(::dirfd(listing.dir), relative, listing.nameOf(entry));
            else
                addFile(self, relative, listing.nameOf(entry), entry);
        }
        ::closedir(listing.dir);
    }
    relative.resize(depth);
}

void TreeWalk::adopt(const TreeWalk& other) {
    const qsizetype textAt = qsizetype(text.size());
    const uint32_t fileAt = uint32_t(files.size());
    text += other.text;
    std::vector<quint16> types(other.m_kinds.size());
    for (size_t t = 0; t < types.size(); ++t)
        m_kinds.kindOf(other.m_kinds.extension(quint16(t)), types[t]);
    for (Seen s : other.files) {
        s.pathAt += textAt;
        s.type = types[s.type];
        files.push_back(s);
    }
    for (WalkedFolder folder : other.folders) {
        for (uint32_t& f : folder.files)
            f += fileAt;
        folders.push_back(std::move(folder));
    }
    problems += other.problems;
}

} // namespace photos
