#pragma once

// The folder store's snapshot of a library, and the names, identifiers and errors that its
// reading and its changes share.
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/folder/FolderStore.h"

#include <QCryptographicHash>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace photos {

struct FolderStore::Item {
    AssetPtr asset; // its resources are its files: pictures, then sidecars
    QString folder;
    QStringList sidecars; // relative paths of its sidecars
    QStringList keywords; // album titles its sidecars hold
    QString primary;
};

struct FolderStore::Snapshot {
    std::vector<Item> items;
    QSet<QString> sidecarStemFolders; // folders whose sidecars are named NAME.xmp

    // Made when first asked: opening a library and listing it needs neither.
    const QHash<QString, const Item*>& byId() const {
        std::call_once(m_indexed, [this] { index(); });
        return m_byId;
    }
    const QMap<QString, QStringList>& keywordMembers() const { // title → item identifiers
        std::call_once(m_indexed, [this] { index(); });
        return m_keywordMembers;
    }
    const Item* item(const QString& id) const { return byId().value(id); }

    // The programs' own albums each item is in, oldest first: filled once asked.
    mutable std::once_flag programAlbumsRead;
    mutable QHash<QString, std::vector<CollectionPtr>> programAlbumsOf;

private:
    void index() const {
        m_byId.reserve(qsizetype(items.size()));
        for (const Item& item : items) {
            m_byId.insert(item.asset->localIdentifier, &item);
            for (const QString& k : item.keywords)
                m_keywordMembers[k] << item.asset->localIdentifier;
        }
    }
    mutable std::once_flag m_indexed;
    mutable QHash<QString, const Item*> m_byId;
    mutable QMap<QString, QStringList> m_keywordMembers;
};

struct FolderStore::Album {
    QString uuid;
    QString title;
    qint64 seq = 0;
};

namespace folder {

inline const QUuid identifierSpace = QUuid::fromString(u"6f1c2f4e-3b0a-4d55-9a43-5c1d7e2f9b10");

// Sidecars above this size are not read: no photo program writes them.
inline constexpr qint64 sidecarLimit = 16 * 1024 * 1024;

inline PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

inline PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

// Identifiers derived from a path or a title are the library's own: its random identity is
// mixed in, so that two libraries holding the same names never share one. A library made
// before it had an identity has none here and keeps the identifiers it gave.
inline QString derivedIdentifier(const QString& identity, const QString& key, const char* suffix) {
    const QString mixed = identity.isEmpty() ? key : identity + QLatin1Char('\n') + key;
    return QUuid::createUuidV5(identifierSpace, mixed).toString(QUuid::WithoutBraces).toUpper() +
           QLatin1String(suffix);
}

inline QString randomItemIdentifier() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral("/L0/001");
}

// derivedIdentifier() of an item's path, made without a temporary copy: a scan makes one per
// item of the tree.
class ItemIdentifiers {
public:
    explicit ItemIdentifiers(const QString& identity)
        : m_identity(identity.isEmpty() ? QByteArray() : identity.toUtf8() + '\n') {}
    QString operator()(std::string_view utf8Path) {
        m_hash.reset();
        m_hash.addData(m_space);
        m_hash.addData(m_identity);
        m_hash.addData(QByteArrayView(utf8Path.data(), qsizetype(utf8Path.size())));
        uchar b[16];
        std::memcpy(b, m_hash.resultView().data(), sizeof b);
        b[6] = uchar((b[6] & 0x0F) | 0x50); // version 5
        b[8] = uchar((b[8] & 0x3F) | 0x80); // the variant of RFC 4122
        static constexpr char hex[] = "0123456789ABCDEF";
        static constexpr char suffix[] = "/L0/001";
        QString id(36 + qsizetype(sizeof suffix) - 1, Qt::Uninitialized);
        QChar* out = id.data();
        for (int i = 0; i < 16; ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10)
                *out++ = QLatin1Char('-');
            *out++ = QLatin1Char(hex[b[i] >> 4]);
            *out++ = QLatin1Char(hex[b[i] & 0xF]);
        }
        for (const char c : std::string_view(suffix))
            *out++ = QLatin1Char(c);
        return id;
    }

private:
    QCryptographicHash m_hash{QCryptographicHash::Sha1};
    const QByteArray m_space = identifierSpace.toRfc4122();
    const QByteArray m_identity;
};

inline QString keywordAlbumIdentifier(const QString& identity, const QString& title) {
    return derivedIdentifier(identity, QStringLiteral("keyword\n") + title, "/L0/040");
}

// A path inside the tree as stored: relative, no "..", no empty parts.
inline bool isTreePath(const QString& relative) {
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    return std::none_of(parts.begin(), parts.end(), [](const QString& p) {
        return p.isEmpty() || p == QLatin1String(".") || p == QLatin1String("..");
    });
}

inline QString folderOf(const QString& relative) {
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relative.left(slash);
}

inline QString nameOf(const QString& relative) {
    return relative.mid(relative.lastIndexOf(QLatin1Char('/')) + 1);
}

inline QString joined(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

} // namespace folder

} // namespace photos
