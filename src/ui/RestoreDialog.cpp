#include "ui/RestoreDialog.h"

#include "backup/BackupFolder.h"
#include "core/CallbackAwaitable.h"
#include "ingest/IngestLogger.h"
#include "library/ReplacementError.h"
#include "platform/photos/PhotoLibrary.h"
#include "restore/PairRestore.h"
#include "ui/DeletionPrompt.h"
#include "ui/PairTableModel.h"
#include "ui/Spinner.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QThreadPool>
#include <QVBoxLayout>
#include <memory>

namespace twinslim {

namespace {

const QString emDash = QStringLiteral("\u2014");
const QString star = QStringLiteral("\u2605");
const QString middleDot = QStringLiteral(" \u00B7 ");

QString pairCount(int count) {
    return count == 1 ? QStringLiteral("1 pair") : QStringLiteral("%1 pairs").arg(count);
}

// Reading the records and finding their replacements takes a while in a large backup folder.
QCoro::Task<RestoreListing> readListing(std::shared_ptr<photos::PhotoLibrary> library,
                                        QString backupRoot) {
    using Reading = CallbackAwaitable<RestoreListing>;
    Reading reading([library, backupRoot](Reading::Resolver resolver) {
        QThreadPool::globalInstance()->start([library, backupRoot, resolver] {
            try {
                resolver.resolve(findRestorablePairs(*library, backupRoot));
            } catch (...) {
                resolver.reject(std::current_exception());
            }
        });
    });
    co_return co_await reading;
}

} // namespace

// ---- The list ----

RestoreListModel::RestoreListModel(QObject* parent) : QAbstractTableModel(parent) {}

void RestoreListModel::setPairs(std::vector<RestorablePair> pairs,
                                const photos::PhotoLibrary& library) {
    beginResetModel();
    m_pairs = std::move(pairs);
    m_checked.assign(m_pairs.size(), false);
    m_dates.clear();
    m_sources.clear();
    const QString format = PairTableModel::dateTimeFormat(m_locale);
    for (size_t i = 0; i < m_pairs.size(); ++i) {
        const RestorablePair& pair = m_pairs[i];
        m_checked[i] = pair.canRestore();
        std::optional<QDateTime> date = pair.record.captureDate;
        if (!date && pair.replacement)
            date = pair.replacement->creationDate;
        m_dates << (date ? m_locale.toString(date->toLocalTime(), format) : emDash);
        m_sources << pair.sourceText(library);
    }
    endResetModel();
    emit checkedCountChanged();
}

int RestoreListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_pairs.size());
}

int RestoreListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RestoreListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const size_t row = size_t(index.row());
    const RestorablePair& pair = m_pairs[row];
    const QString notice = pair.notice().isEmpty() ? pair.problem : pair.notice();
    // The restored picture takes the replacement's mark as it is now.
    const bool favorite = pair.replacement ? pair.replacement->isFavorite : pair.record.favorite;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case DateColumn:
            return m_dates[index.row()];
        case NamesColumn:
            return pair.originalNames();
        case FavoriteColumn:
            return favorite ? star : QString();
        case SourceColumn:
            return pair.canRestore() ? m_sources[index.row()] : emDash;
        case NoticeColumn:
            return notice;
        }
        return {};
    case Qt::CheckStateRole:
        if (index.column() == DateColumn && pair.canRestore())
            return m_checked[row] ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::ForegroundRole:
        if (index.column() == FavoriteColumn)
            return QColor(0xff, 0xcc, 0x00); // the scan table's yellow
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == FavoriteColumn)
            return int(Qt::AlignCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
        if (index.column() == FavoriteColumn && favorite)
            return QStringLiteral("Favorite: the restored picture is marked as one too");
        if (!pair.canRestore())
            return QStringLiteral("Cannot be restored: ") + pair.problem;
        return notice.isEmpty() ? QVariant() : QVariant(notice);
    default:
        return {};
    }
}

bool RestoreListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != DateColumn ||
        index.row() >= rowCount() || !m_pairs[size_t(index.row())].canRestore())
        return false;
    const bool checked = value.value<Qt::CheckState>() == Qt::Checked;
    if (m_checked[size_t(index.row())] == checked)
        return true;
    m_checked[size_t(index.row())] = checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checkedCountChanged();
    return true;
}

QVariant RestoreListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole) {
        switch (section) {
        case DateColumn:
            return QStringLiteral("Date");
        case NamesColumn:
            return QStringLiteral("Originals");
        case FavoriteColumn:
            return star;
        case SourceColumn:
            return QStringLiteral("Comes Back");
        case NoticeColumn:
            return QStringLiteral("Note");
        }
    }
    if (role == Qt::ToolTipRole && section == FavoriteColumn)
        return QStringLiteral("Favorite, as the replacement is now");
    return {};
}

Qt::ItemFlags RestoreListModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= rowCount())
        return Qt::NoItemFlags;
    // A pair that cannot be restored is shown, greyed, for its reason; it cannot be chosen.
    if (!m_pairs[size_t(index.row())].canRestore())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == DateColumn)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

void RestoreListModel::setAllChecked(bool checked) {
    for (size_t i = 0; i < m_pairs.size(); ++i)
        m_checked[i] = checked && m_pairs[i].canRestore();
    if (!m_pairs.empty())
        emit dataChanged(index(0, DateColumn), index(rowCount() - 1, DateColumn),
                         {Qt::CheckStateRole});
    emit checkedCountChanged();
}

int RestoreListModel::checkedCount() const {
    return int(std::count(m_checked.begin(), m_checked.end(), true));
}

std::vector<RestorablePair> RestoreListModel::checkedPairs() const {
    std::vector<RestorablePair> chosen;
    for (size_t i = 0; i < m_pairs.size(); ++i)
        if (m_checked[i] && m_pairs[i].canRestore())
            chosen.push_back(m_pairs[i]);
    return chosen;
}

// ---- The dialog ----

RestoreDialog::RestoreDialog(BackupFolder* backup, QWidget* parent)
    : QDialog(parent), m_backup(backup), m_list(new RestoreListModel(this)) {
    setObjectName(QStringLiteral("restoreDialog"));
    setWindowTitle(QStringLiteral("Restore Originals"));
    // The run deletes the replacements after asking; the question opens over this dialog.
    DeletionPrompt::showOver(this);

    auto* intro = new QLabel(
        QStringLiteral("Checked pairs get their originals back: from the library’s trash while it "
                       "still holds them, else from the backup folder. Each restored picture "
                       "keeps the favorite mark and albums its replacement has now; the "
                       "replacements are then deleted."));
    intro->setWordWrap(true);

    m_readingPage = new QWidget;
    auto* reading = new QHBoxLayout(m_readingPage);
    m_spinner = new Spinner;
    m_spinner->setDiameter(24);
    reading->addStretch();
    reading->addWidget(m_spinner);
    reading->addWidget(new QLabel(QStringLiteral("Reading the backup folder…")));
    reading->addStretch();

    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("restoreMessage"));
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_table = new QTableView;
    m_table->setObjectName(QStringLiteral("restoreTable"));
    m_table->setModel(m_list);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->verticalHeader()->hide();
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->installEventFilter(this);
    QHeaderView* header = m_table->horizontalHeader();
    header->setHighlightSections(false);
    for (int column : {RestoreListModel::DateColumn, RestoreListModel::NamesColumn,
                       RestoreListModel::FavoriteColumn, RestoreListModel::SourceColumn})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setStretchLastSection(true);

    m_pages = new QStackedWidget;
    m_pages->addWidget(m_readingPage);
    m_pages->addWidget(m_message);
    m_pages->addWidget(m_table);

    m_selectAll = new QPushButton(QStringLiteral("Select All"));
    m_selectAll->setObjectName(QStringLiteral("selectAllButton"));
    m_selectNone = new QPushButton(QStringLiteral("Select None"));
    m_selectNone->setObjectName(QStringLiteral("selectNoneButton"));
    for (QPushButton* b : {m_selectAll, m_selectNone})
        b->setAutoDefault(false);
    connect(m_selectAll, &QPushButton::clicked, m_list, [this] { m_list->setAllChecked(true); });
    connect(m_selectNone, &QPushButton::clicked, m_list, [this] { m_list->setAllChecked(false); });
    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("restoreStatus"));
    auto* listButtons = new QHBoxLayout;
    listButtons->addWidget(m_selectAll);
    listButtons->addWidget(m_selectNone);
    listButtons->addSpacing(12);
    listButtons->addWidget(m_status, 1);

    m_progress = new QProgressBar;
    m_progress->setObjectName(QStringLiteral("restoreProgress"));
    m_progress->setFormat(QStringLiteral("%v of %m"));
    m_progress->hide();

    m_report = new QLabel;
    m_report->setObjectName(QStringLiteral("restoreReport"));
    m_report->setWordWrap(true);
    m_report->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_report->hide();

    m_buttons = new QDialogButtonBox;
    m_restore = m_buttons->addButton(restoreButtonText(0), QDialogButtonBox::ActionRole);
    m_restore->setObjectName(QStringLiteral("restoreButton"));
    m_restore->setDefault(true);
    m_close = m_buttons->addButton(QDialogButtonBox::Close);
    // Return restores, wherever the focus is; Close is for Escape or a click.
    m_close->setAutoDefault(false);
    connect(m_restore, &QPushButton::clicked, this, [this] { restoreChecked(); });
    connect(m_close, &QPushButton::clicked, this, &RestoreDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(m_pages, 1);
    layout->addLayout(listButtons);
    layout->addWidget(m_progress);
    layout->addWidget(m_report);
    layout->addWidget(m_buttons);
    resize(1000, 460);

    connect(m_list, &RestoreListModel::checkedCountChanged, this, &RestoreDialog::updateButtons);
    reload();
}

RestoreDialog::~RestoreDialog() = default;

QString RestoreDialog::restoreButtonText(int count) {
    if (count <= 0)
        return QStringLiteral("Restore");
    return count == 1 ? QStringLiteral("Restore 1 Pair")
                      : QStringLiteral("Restore %1 Pairs").arg(count);
}

QString RestoreDialog::message() const {
    return m_pages->currentWidget() == m_message ? m_message->text() : QString();
}

QString RestoreDialog::report() const {
    return m_report->isHidden() ? QString() : m_report->text();
}

QCoro::Task<> RestoreDialog::reload() {
    const int reading = ++m_readings;
    m_reading = true;
    m_pages->setCurrentWidget(m_readingPage);
    updateButtons();
    updateStatus();
    QPointer<RestoreDialog> self(this);
    const std::optional<QString> root = m_backup ? m_backup->url() : std::nullopt;
    if (!root) {
        m_reading = false;
        showMessage(QStringLiteral("No backup folder is chosen. The originals of replaced pairs "
                                   "are kept there: choose it with “Backup Folder…” in the main "
                                   "window first."));
        emit listRead();
        co_return;
    }
    std::optional<RestoreListing> listing;
    std::shared_ptr<photos::PhotoLibrary> library;
    QString problem;
    try {
        library = photos::PhotoLibrary::shared();
        QCoro::Task<RestoreListing> task = readListing(library, *root);
        listing = co_await task;
    } catch (...) {
        problem = localizedDescription(std::current_exception());
    }
    if (!self || reading != m_readings)
        co_return; // closed, or read again meanwhile
    m_reading = false;
    if (!listing) {
        showMessage(QStringLiteral("The replaced pairs cannot be listed. ") + problem);
    } else {
        m_alreadyRestored = listing->alreadyRestored;
        m_unreadable = int(listing->unreadable.size());
        m_status->setToolTip(listing->unreadable.join(QLatin1Char('\n')));
        const bool none = listing->pairs.empty();
        m_list->setPairs(std::move(listing->pairs), *library);
        if (none) {
            QString text = QStringLiteral("No replaced pairs to restore.");
            if (m_alreadyRestored > 0)
                text += QStringLiteral(" %1 restored before.").arg(pairCount(m_alreadyRestored));
            showMessage(text);
        } else {
            m_pages->setCurrentWidget(m_table);
            m_table->setFocus(); // Space checks and unchecks the current row
            m_table->selectionModel()->setCurrentIndex(
                m_list->index(0, RestoreListModel::DateColumn), QItemSelectionModel::NoUpdate);
        }
    }
    updateButtons();
    updateStatus();
    emit listRead();
}

void RestoreDialog::showMessage(const QString& text) {
    m_message->setText(text);
    m_pages->setCurrentWidget(m_message);
    updateButtons();
    updateStatus();
}

void RestoreDialog::updateButtons() {
    const bool listed = !m_reading && m_pages->currentWidget() == m_table;
    const int count = listed ? m_list->checkedCount() : 0;
    m_restore->setText(restoreButtonText(count));
    m_restore->setEnabled(!m_restoring && count > 0);
    m_selectAll->setEnabled(!m_restoring && listed);
    m_selectNone->setEnabled(!m_restoring && listed);
    m_close->setEnabled(!m_restoring);
    m_spinner->setVisible(m_reading);
}

void RestoreDialog::updateStatus() {
    QStringList parts;
    if (!m_reading && m_pages->currentWidget() == m_table) {
        const int count = m_list->rowCount();
        parts << (count == 1 ? QStringLiteral("1 replaced pair")
                             : QStringLiteral("%1 replaced pairs").arg(count));
        if (m_alreadyRestored > 0)
            parts << QStringLiteral("%1 restored before").arg(m_alreadyRestored);
    }
    if (!m_reading && m_unreadable > 0)
        parts << (m_unreadable == 1
                      ? QStringLiteral("1 record could not be read")
                      : QStringLiteral("%1 records could not be read").arg(m_unreadable));
    m_status->setText(parts.join(middleDot));
}

QCoro::Task<> RestoreDialog::restoreChecked() {
    std::vector<RestorablePair> chosen = m_list->checkedPairs();
    if (chosen.empty() || m_restoring || m_reading)
        co_return;
    m_restoring = true;
    m_progress->setRange(0, int(chosen.size()));
    m_progress->setValue(0);
    m_progress->show();
    m_report->hide();
    m_table->setEnabled(false);
    updateButtons();

    QPointer<RestoreDialog> self(this);
    IngestLogger logger;
    logger.setRunName(QStringLiteral("restore"));
    RestoreOptions options;
    options.progress = [self](int done, int total) {
        if (!self)
            return;
        self->m_progress->setRange(0, total);
        self->m_progress->setValue(done);
    };
    std::optional<RestoreReport> result;
    QString problem;
    try {
        QCoro::Task<RestoreReport> running =
            restorePairs(std::move(chosen), m_backup, logger, std::move(options));
        result = co_await running;
    } catch (...) {
        problem = localizedDescription(std::current_exception());
    }
    if (!self)
        co_return;
    m_restoring = false;
    m_progress->hide();
    m_table->setEnabled(true);
    QStringList lines;
    if (result) {
        lines << result->summary();
        for (const QString& failure : result->failures)
            lines << QStringLiteral("\u2022 ") + failure;
        if (result->logPath && !result->summary().contains(*result->logPath))
            lines << QStringLiteral("Log: ") + *result->logPath;
    } else {
        lines << QStringLiteral("The pairs could not be restored. ") + problem;
    }
    m_report->setText(lines.join(QLatin1Char('\n')));
    m_report->show();
    updateButtons();
    if (result && (result->restored > 0 || result->replacementsKept > 0))
        emit libraryChanged();
    QCoro::Task<> reading = reload();
    co_await reading;
}

bool RestoreDialog::eventFilter(QObject* watched, QEvent* event) {
    // Space checks or unchecks the current row, whichever of its cells is current.
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        const QModelIndex box =
            m_list->index(m_table->currentIndex().row(), RestoreListModel::DateColumn);
        if (box.isValid() && m_list->flags(box).testFlag(Qt::ItemIsUserCheckable)) {
            const bool checked =
                box.data(Qt::CheckStateRole).value<Qt::CheckState>() == Qt::Checked;
            m_list->setData(box, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        }
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void RestoreDialog::reject() {
    // A run cannot be left half done by closing its dialog; it ends by itself.
    if (m_restoring)
        return;
    QDialog::reject();
}

void RestoreDialog::closeEvent(QCloseEvent* event) {
    if (m_restoring) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace twinslim
