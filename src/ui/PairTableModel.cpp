#include "ui/PairTableModel.h"

#include "backup/MarkerAlbum.h"
#include "core/ByteCountFormat.h"
#include "core/LibraryModel.h"

#include <QCollator>
#include <QGuiApplication>
#include <QPalette>
#include <QRegularExpression>
#include <algorithm>
#include <limits>
#include <numeric>

namespace twinslim {
namespace {

const QString emDash = QStringLiteral("\u2014");

QColor secondaryTextColor() {
    QColor color = QGuiApplication::palette().color(QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

// The whole row of an original that waits for its deletion is greyed: there is nothing left
// to do with it but the clean-up.
QColor awaitingTextColor() {
    QColor color = QGuiApplication::palette().color(QPalette::WindowText);
    color.setAlphaF(0.35f);
    return color;
}

QString awaitingNote() {
    return QStringLiteral("Replaced already: this original waits in the album “%1” to be "
                          "deleted. The clean-up offered at the next start deletes it; its space "
                          "is not counted as reclaimable again.")
        .arg(markerAlbumTitle());
}

// The albums cell of such a row says so first, in place of the marker album's name.
QString awaitingAlbumsText(const PhotoPair& pair) {
    QStringList parts{QStringLiteral("Waiting to be deleted")};
    for (const QString& name : pair.albumNames)
        if (name != markerAlbumTitle())
            parts << name;
    return parts.join(QStringLiteral(", "));
}

QString flagsToolTip(const PhotoPair& pair) {
    QStringList marks;
    if (pair.isFavorite)
        marks << QStringLiteral("\u2605 Favorite: exported at full size, its RAW backed up too");
    if (pair.isEdited)
        marks << QStringLiteral("\u270E Edited in the photo library");
    return marks.join(QStringLiteral("\n"));
}

} // namespace

// The locale's abbreviated date ("Jun 10, 2024", "10. Juni 2024") and short time. Qt has
// no medium date style, so it is the long date without the weekday, month names shortened.
QString PairTableModel::dateTimeFormat(const QLocale& locale) {
    QString date = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("^dddd[,\\s]*|[,\\s]*dddd"));
    date.remove(weekday);
    date.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    // Some locales (the C locale among them) keep seconds in their short time.
    QString time = locale.timeFormat(QLocale::ShortFormat);
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?(?![a-zA-Z])"));
    time.remove(seconds);
    return date + QStringLiteral(", ") + time;
}

PairTableModel::PairTableModel(LibraryModel* model, QObject* parent)
    : QAbstractTableModel(parent), m_model(model), m_dateFormat(dateTimeFormat(m_locale)) {
    connect(model, &LibraryModel::pairsChanged, this, &PairTableModel::reload);
    connect(model, &LibraryModel::favFilterChanged, this, &PairTableModel::reload);
    connect(model, &LibraryModel::selectedIDsChanged, this, &PairTableModel::selectionMarksChanged);
    reload();
}

PairTableModel::~PairTableModel() {
    LibraryModel::release(std::move(m_shown));
}

int PairTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int PairTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

const PhotoPair& PairTableModel::pairAt(int row) const {
    return *m_pairs[size_t(m_rows[size_t(row)])];
}

int PairTableModel::rowOf(const QString& id) const {
    if (!m_rowOfId) {
        m_rowOfId.emplace();
        m_rowOfId->reserve(qsizetype(m_rows.size()));
        for (size_t row = 0; row < m_rows.size(); ++row)
            m_rowOfId->insert(m_pairs[size_t(m_rows[row])]->id, int(row));
    }
    return m_rowOfId->value(id, -1);
}

QString PairTableModel::dateText(const std::optional<QDateTime>& date) const {
    if (!date)
        return emDash;
    return m_locale.toString(date->toLocalTime(), m_dateFormat);
}

QString PairTableModel::sizeText(const std::optional<qint64>& bytes) {
    return bytes ? formatByteCount(*bytes) : emDash;
}

QVariant PairTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const PhotoPair& pair = pairAt(index.row());
    const auto column = Column(index.column());
    switch (role) {
    case AssetRole:
        return QVariant::fromValue(pair.asset);
    case IdRole:
        return pair.id;
    case SelectedRole:
        return m_model && m_model->selectedIDs().contains(pair.id);
    case AwaitsDeletionRole:
        return pair.awaitsDeletion();
    case SortRole:
        switch (column) {
        case DateColumn:
            return pair.sortDate();
        case FlagsColumn:
            return pair.flagsRank();
        case AlbumsColumn:
            return pair.albumsText();
        case RawColumn:
            return pair.rawUTI;
        case RawSizeColumn:
            return pair.rawSize();
        case JpegSizeColumn:
            return pair.jpegSize();
        default:
            return {};
        }
    case Qt::DisplayRole:
        switch (column) {
        case DateColumn:
            return dateText(pair.creationDate);
        case AlbumsColumn:
            return pair.awaitsDeletion() ? awaitingAlbumsText(pair) : pair.albumsText();
        case RawColumn:
            return pair.rawFilename;
        case RawSizeColumn:
            return sizeText(pair.rawBytes);
        case JpegSizeColumn:
            return sizeText(pair.jpegBytes);
        default:
            return {};
        }
    case Qt::ToolTipRole:
        if (column == QuickLookColumn)
            return QStringLiteral("Quick look");
        if (column == RawColumn)
            return pair.rawUTI;
        if (column == FlagsColumn && pair.flagsRank() > 0)
            return flagsToolTip(pair);
        if (pair.awaitsDeletion())
            return awaitingNote();
        return {};
    case Qt::TextAlignmentRole:
        if (column == RawSizeColumn || column == JpegSizeColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ForegroundRole:
        if (pair.awaitsDeletion())
            return awaitingTextColor();
        if (column == AlbumsColumn)
            return secondaryTextColor();
        return {};
    default:
        return {};
    }
}

QVariant PairTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        switch (section) {
        case DateColumn:
            return QStringLiteral("Date");
        case FlagsColumn:
            return QStringLiteral("\u2605 \u270E");
        case AlbumsColumn:
            return QStringLiteral("Albums");
        case RawColumn:
            return QStringLiteral("RAW");
        case RawSizeColumn:
            return QStringLiteral("RAW Size");
        case JpegSizeColumn:
            return QStringLiteral("JPEG Size");
        default:
            return QString();
        }
    case Qt::ToolTipRole:
        if (section == FlagsColumn)
            return QStringLiteral("\u2605 favorite: exported at full size, its RAW backed up too "
                                  "\u00B7 \u270E edited in the photo library");
        if (section == SelectionColumn)
            return QStringLiteral("\u2713 selected for Step 1");
        return {};
    case Qt::InitialSortOrderRole:
        return int(Qt::AscendingOrder);
    case Qt::TextAlignmentRole:
        if (section == RawSizeColumn || section == JpegSizeColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        if (section == FlagsColumn)
            return int(Qt::AlignCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

Qt::ItemFlags PairTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

bool PairTableModel::isSortable(int column) {
    return column >= DateColumn && column < ColumnCount;
}

void PairTableModel::sort(int column, Qt::SortOrder order) {
    if (!isSortable(column))
        return;
    const SortKey key{Column(column), order};
    std::erase_if(m_sortOrder, [&](const SortKey& k) { return k.column == key.column; });
    m_sortOrder.insert(m_sortOrder.begin(), key);
    applySortOrder();
}

void PairTableModel::sortByHeaderClick(int column) {
    if (!isSortable(column))
        return;
    if (m_sortOrder.front().column == column) {
        const Qt::SortOrder current = m_sortOrder.front().order;
        sort(column, current == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    } else {
        sort(column, Qt::AscendingOrder);
    }
}

void PairTableModel::reload() {
    beginResetModel();
    // The visible pairs are pointed at in the library model's shared list, never copied.
    LibraryModel::release(std::exchange(m_shown, m_model ? m_model->sharedPairs() : nullptr));
    m_pairs.clear();
    if (m_shown) {
        const FavFilter filter = m_model->favFilter();
        m_pairs.reserve(m_shown->size());
        for (const PhotoPair& pair : *m_shown)
            if (passes(filter, pair))
                m_pairs.push_back(&pair);
    }
    const size_t n = m_pairs.size();
    m_dateKeys.resize(n);
    m_flagKeys.resize(n);
    m_rawSizeKeys.resize(n);
    m_jpegSizeKeys.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const PhotoPair& pair = *m_pairs[i];
        // An absent date is the distant past, below every real one.
        m_dateKeys[i] = pair.creationDate ? pair.creationDate->toMSecsSinceEpoch()
                                          : std::numeric_limits<qint64>::min();
        m_flagKeys[i] = pair.flagsRank();
        m_rawSizeKeys[i] = pair.rawSize();
        m_jpegSizeKeys[i] = pair.jpegSize();
    }
    m_albumKeys.reset();
    m_rawTypeKeys.reset();
    m_rows = sortedOrder();
    m_rowOfId.reset();
    endResetModel();
}

void PairTableModel::selectionMarksChanged() {
    if (!m_rows.empty())
        emit dataChanged(index(0, SelectionColumn), index(rowCount() - 1, SelectionColumn),
                         {SelectedRole});
}

const std::vector<QCollatorSortKey>& PairTableModel::textKeys(Column column) const {
    auto& keys = column == AlbumsColumn ? m_albumKeys : m_rawTypeKeys;
    if (!keys) {
        // Text as people read it: "Trip 2" before "Trip 10", case ignored.
        QCollator collator(m_locale);
        collator.setNumericMode(true);
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        keys.emplace();
        keys->reserve(m_pairs.size());
        for (const PhotoPair* pair : m_pairs)
            keys->push_back(
                collator.sortKey(column == AlbumsColumn ? pair->albumsText() : pair->rawUTI));
    }
    return *keys;
}

std::vector<int> PairTableModel::sortedOrder() const {
    std::vector<int> order(m_pairs.size());
    std::iota(order.begin(), order.end(), 0);
    // Each comparator as a three-way comparison of two pair indexes.
    std::vector<std::function<int(int, int)>> comparators;
    for (const SortKey& key : m_sortOrder) {
        const int sign = key.order == Qt::AscendingOrder ? 1 : -1;
        const auto byNumber = [sign](const auto& keys) {
            return [&keys, sign](int a, int b) {
                return sign *
                       ((keys[size_t(a)] > keys[size_t(b)]) - (keys[size_t(a)] < keys[size_t(b)]));
            };
        };
        switch (key.column) {
        case DateColumn:
            comparators.push_back(byNumber(m_dateKeys));
            break;
        case FlagsColumn:
            comparators.push_back(byNumber(m_flagKeys));
            break;
        case RawSizeColumn:
            comparators.push_back(byNumber(m_rawSizeKeys));
            break;
        case JpegSizeColumn:
            comparators.push_back(byNumber(m_jpegSizeKeys));
            break;
        case AlbumsColumn:
        case RawColumn: {
            const std::vector<QCollatorSortKey>& keys = textKeys(key.column);
            comparators.push_back([&keys, sign](int a, int b) {
                const int c = keys[size_t(a)].compare(keys[size_t(b)]);
                return sign * ((c > 0) - (c < 0));
            });
            break;
        }
        default:
            break;
        }
    }
    // Stable: pairs equal under every comparator keep the library model's order.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        for (const auto& compare : comparators)
            if (const int c = compare(a, b))
                return c < 0;
        return false;
    });
    return order;
}

void PairTableModel::applySortOrder() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> rows = sortedOrder();
    // Persistent indexes (the view's selection and current cell) follow their pairs.
    std::vector<int> newRowOfPair(m_pairs.size());
    for (size_t row = 0; row < rows.size(); ++row)
        newRowOfPair[size_t(rows[row])] = int(row);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        const int pair = m_rows[size_t(old.row())];
        after << index(newRowOfPair[size_t(pair)], old.column());
    }
    m_rows = std::move(rows);
    m_rowOfId.reset();
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

} // namespace twinslim
