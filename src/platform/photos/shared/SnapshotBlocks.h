#pragma once

// What the snapshots of the kinds that read another program's database make their items of,
// with few allocations: a scan makes tens of thousands of items.
#include "platform/photos/PhotoTypes.h"

#include <QHash>
#include <QString>
#include <QStringView>
#include <array>
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

// a + b + c in one allocation, with no intermediate string.
QString joined(QStringView a, QStringView b, QStringView c);

// The identifier of an item not made by the programs: the library's prefix, its first
// image's id in (at least 12) upper-case hex digits, and "/L0/001".
QString itemIdentifier(const QString& prefix, qint64 key);

// An item's identifier: the one the programs gave it when they made it (`made`, by its key),
// else its own.
QString identifierOf(const QHash<qint64, QString>& made, const QString& prefix, qint64 key);

} // namespace photos::blocks
