#pragma once

// What the snapshots of the kinds that read another program's database make their items of,
// with few allocations: a scan makes tens of thousands of items.
#include "platform/photos/PhotoTypes.h"

#include <QHash>
#include <QString>
#include <QStringView>
#include <array>
#include <initializer_list>
#include <memory>
#include <vector>

namespace photos::blocks {

// An item's files in one allocation, shared by the pointers to each. Its asset is one of its
// own: the asset holds those pointers, and a block holding both would keep itself alive.
template <size_t N> struct Files { std::array<AssetResource, N> files; };
struct FileBlock {
    std::shared_ptr<void> owner;
    AssetResource* files;
};
template <size_t N> FileBlock makeFiles() {
    auto p = std::make_shared<Files<N>>();
    return {p, p->files.data()};
}
FileBlock makeFiles(size_t count);

// Strings made together in one allocation, each a part of it ended by a NUL as every QString's
// data is: an item's identifier and its files' paths cost one allocation, freed with the last
// of them. A part held by others is copied before it changes, as any shared QString is.
class StringBlock {
public:
    // Room for `capacity` characters in all, each part's NUL included.
    explicit StringBlock(qsizetype capacity)
        : m_block(capacity, Qt::Uninitialized), m_data(m_block.data()) {}
    // The pieces as one string.
    QString add(std::initializer_list<QStringView> pieces);
    // The string QString::fromUtf8 makes of `utf8`, which takes at most its size in characters.
    QString addUtf8(QByteArrayView utf8) { return addUtf8({}, utf8, {}); }
    // The same between `before` and `after`: a file's path from its folder and stored name.
    QString addUtf8(QStringView before, QByteArrayView utf8, QStringView after);

private:
    QString partAt(qsizetype at);
    QString m_block;
    QChar* m_data; // taken before any part shares it: written only where no part reads
    qsizetype m_used = 0;
};

// The end of `s` from `from` on, sharing its data when it has any to share.
QString tailOf(const QString& s, qsizetype from);

// The hex digits (upper case, at least 12) of a key >= 0, written to `out` (room for 16);
// returns how many.
int hexDigitsOf(qint64 key, char16_t* out);

// a + b + c in one allocation, with no intermediate string.
QString joined(QStringView a, QStringView b, QStringView c);

// The identifier of an item not made by the programs: the library's prefix, its first
// image's id in (at least 12) upper-case hex digits, and "/L0/001".
QString itemIdentifier(const QString& prefix, qint64 key);

// An item's identifier: the one the programs gave it when they made it (`made`, by its key),
// else its own.
QString identifierOf(const QHash<qint64, QString>& made, const QString& prefix, qint64 key);

} // namespace photos::blocks
