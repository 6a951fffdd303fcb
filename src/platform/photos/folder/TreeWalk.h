#pragma once

#include "platform/photos/FileKind.h"

#include <QString>
#include <QStringList>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

namespace photos {

// What a scan saw of one file: small, as a tree has a hundred thousand. Its path is kept as
// UTF-8 in the scan's text, the files in the order of the index (the paths' bytes), so that
// the two are merged without a lookup per file.
struct Seen {
    qsizetype pathAt = 0;
    int pathBytes = 0;
    int nameAt = 0; // where the name starts inside the path
    FileKind kind = FileKind::Other;
    quint16 type = 0;  // the scan's number for its extension's type identifier
    bool stale = true; // new or changed since it was last read
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 inode = 0;
};

// A folder of the tree with its files, in name order.
struct WalkedFolder {
    QString path; // relative to the root; empty for the root
    std::vector<uint32_t> files;
};

// What a file name says a file is, by extension; asked once per extension of a scan.
class KindsByExtension {
public:
    // The kind, and in `type` a number for the type identifier that uti() gives.
    FileKind kindOf(std::string_view name, quint16& type) {
        const size_t dot = name.rfind('.');
        if (dot == std::string_view::npos)
            return FileKind::Other;
        const std::string_view ext = name.substr(dot + 1);
        // A tree holds a handful of extensions: a short list beats hashing.
        for (size_t i = 0; i < m_known.size(); ++i)
            if (m_known[i].ext == ext) {
                type = quint16(i);
                return m_known[i].kind;
            }
        Known k{std::string(ext), FileKind::Other, QString()};
        k.kind = fileKindOf(QString::fromUtf8(name.data(), qsizetype(name.size())), &k.uti);
        type = quint16(m_known.size());
        m_known.push_back(k);
        return k.kind;
    }
    const QString& uti(quint16 type) const { return m_known[type].uti; }
    std::string extension(quint16 type) const { return "." + m_known[type].ext; }
    size_t size() const { return m_known.size(); }

private:
    struct Known {
        std::string ext;
        FileKind kind;
        QString uti;
    };
    std::vector<Known> m_known;
};

// The tree's files, never following links, without hidden files and folders (which holds the
// library's own state and the trash folders of removable disks). Each folder's entries are
// taken in the order of their paths' bytes, a folder's name counting as ending in "/", so the
// files come out in the order of the index.
class TreeWalk {
public:
    std::string text; // the UTF-8 paths of `files`
    std::vector<Seen> files;
    std::vector<WalkedFolder> folders;
    QStringList problems;

    std::string_view pathOf(const Seen& s) const {
        return std::string_view(text).substr(size_t(s.pathAt), size_t(s.pathBytes));
    }
    std::string_view nameOf(const Seen& s) const { return pathOf(s).substr(size_t(s.nameAt)); }
    const QString& utiOf(const Seen& s) const { return m_kinds.uti(s.type); }

    // The folders below the top are walked side by side on the thread pool, each into a walk
    // of its own, and joined in order: most of a walk is waiting for the file system.
    void walkRoot(const QString& root);

private:
    struct Entry {
        size_t nameAt;
        size_t nameBytes;
        bool folder;
        FileKind kind;
        quint16 type;
        qint64 size, mtimeNs, inode;
    };
    // A folder's pictures, sidecars and folders, in the order of their paths.
    struct Listing {
        DIR* dir = nullptr;
        std::string names;
        std::vector<Entry> entries;
        std::string_view nameOf(const Entry& e) const {
            return std::string_view(names).substr(e.nameAt, e.nameBytes);
        }
    };

    // Lists the folder open at `fd`, taking the descriptor over; false when it cannot be read.
    bool list(int fd, const std::string& relative, Listing& out);
    void addFile(size_t folder, const std::string& relative, std::string_view name,
                 const Entry& entry);
    // Walks the folder `name` inside the folder open at `parentFd`, whose path is `relative`.
    void enter(int parentFd, std::string& relative, std::string_view name);
    // Appends what another walk found.
    void adopt(const TreeWalk& other);

    KindsByExtension m_kinds;
};

} // namespace photos
