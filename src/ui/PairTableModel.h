#pragma once

#include "core/PhotoPair.h"
#include "ui/PairRoles.h"

#include <QAbstractTableModel>
#include <QCollatorSortKey>
#include <QHash>
#include <QLocale>
#include <QPointer>
#include <memory>
#include <optional>
#include <vector>

namespace twinslim {

class LibraryModel;

// The scan window's pair table: the library model's visible pairs, ordered by the
// comparators the user chose with header clicks. The rows are a sorted copy; the library
// model's own order (largest RAW first) never changes here.
class PairTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        SelectionColumn,
        QuickLookColumn,
        DateColumn,
        FlagsColumn,
        AlbumsColumn,
        RawColumn,
        RawSizeColumn,
        JpegSizeColumn,
        ColumnCount
    };
    // Besides AssetRole and SortRole: the row's pair id, and whether that id is selected.
    enum Role { IdRole = SortRole + 16, SelectedRole };

    struct SortKey {
        Column column;
        Qt::SortOrder order;
        bool operator==(const SortKey&) const = default;
    };

    explicit PairTableModel(LibraryModel* model, QObject* parent = nullptr);
    ~PairTableModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Makes `column` the first comparator with `order`; the earlier ones break its ties.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    // A click on a column header: a new first column starts ascending, a second click
    // on the first column reverses it. Columns without a sort key ignore the click.
    void sortByHeaderClick(int column);
    static bool isSortable(int column);
    // First comparator first; initially the date, newest first.
    const std::vector<SortKey>& sortOrder() const { return m_sortOrder; }

    const PhotoPair& pairAt(int row) const;
    // The row showing `id`, or -1 when no visible row does.
    int rowOf(const QString& id) const;

    // Cell texts, in the user's locale; "—" for an absent value.
    QString dateText(const std::optional<QDateTime>& date) const;
    static QString sizeText(const std::optional<qint64>& bytes);
    // The date cells' format in `locale`: its abbreviated date and short time.
    static QString dateTimeFormat(const QLocale& locale);

private:
    void reload();
    void selectionMarksChanged();
    void applySortOrder();
    std::vector<int> sortedOrder() const;
    const std::vector<QCollatorSortKey>& textKeys(Column column) const;

    QPointer<LibraryModel> m_model;
    // The library model's list as of the last reload, held so that it outlives its
    // replacement until this model has reloaded too.
    std::shared_ptr<const std::vector<PhotoPair>> m_shown;
    std::vector<const PhotoPair*> m_pairs; // the visible pairs, in the library model's order
    std::vector<int> m_rows;               // row → index into m_pairs
    // Made on first use after each change of the rows: most reloads never need it.
    mutable std::optional<QHash<QString, int>> m_rowOfId;
    std::vector<SortKey> m_sortOrder{{DateColumn, Qt::DescendingOrder}};

    // Sort keys, one per pair, made when the pairs arrive; text keys on first use.
    std::vector<qint64> m_dateKeys;
    std::vector<int> m_flagKeys;
    std::vector<qint64> m_rawSizeKeys;
    std::vector<qint64> m_jpegSizeKeys;
    mutable std::optional<std::vector<QCollatorSortKey>> m_albumKeys;
    mutable std::optional<std::vector<QCollatorSortKey>> m_rawTypeKeys;

    QLocale m_locale;
    QString m_dateFormat;
};

} // namespace twinslim
