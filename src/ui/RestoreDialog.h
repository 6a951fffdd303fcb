#pragma once

#include "restore/RestorablePairs.h"

#include <QAbstractTableModel>
#include <QCoro/QCoroTask>
#include <QDialog>
#include <QLocale>
#include <QPointer>
#include <vector>

class QDialogButtonBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTableView;

namespace twinslim {

class BackupFolder;
class Spinner;

// The replaced pairs that can be restored, one row each with a check box in its date cell.
// A pair that cannot be restored shows why, is disabled and never checked.
class RestoreListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        DateColumn,
        NamesColumn,
        FavoriteColumn,
        SourceColumn,
        NoticeColumn,
        ColumnCount
    };

    explicit RestoreListModel(QObject* parent = nullptr);

    // Every restorable pair starts checked. `library` words where each pair's originals
    // come from.
    void setPairs(std::vector<RestorablePair> pairs, const photos::PhotoLibrary& library);
    const std::vector<RestorablePair>& pairs() const { return m_pairs; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Checks or unchecks every pair that can be restored.
    void setAllChecked(bool checked);
    int checkedCount() const;
    // The checked pairs, in the list's order.
    std::vector<RestorablePair> checkedPairs() const;

signals:
    void checkedCountChanged();

private:
    std::vector<RestorablePair> m_pairs;
    std::vector<bool> m_checked;
    QStringList m_dates;
    QStringList m_sources;
    QLocale m_locale;
};

// File › Restore Originals…: lists the replaced pairs the backup folder records whose
// replacement is still in the library, and puts the checked ones' originals back. The list
// is read off the GUI thread; while a restore runs the dialog shows its progress and cannot
// be closed. Its end is reported in the dialog, and the list read again.
class RestoreDialog : public QDialog {
    Q_OBJECT
public:
    // `backup` is the window's backup folder; without a chosen one there is nothing to list.
    explicit RestoreDialog(BackupFolder* backup, QWidget* parent = nullptr);
    ~RestoreDialog() override;

    // Reads the list again; the first reading starts with the dialog.
    QCoro::Task<> reload();

    RestoreListModel* listModel() const { return m_list; }
    QTableView* table() const { return m_table; }
    QPushButton* restoreButton() const { return m_restore; }
    // The text in place of the list when there is none to show.
    QString message() const;
    // What the last run did: its summary, its failures, its log.
    QString report() const;
    bool isReading() const { return m_reading; }
    bool isRestoring() const { return m_restoring; }
    int alreadyRestored() const { return m_alreadyRestored; }

    static QString restoreButtonText(int count);

public slots:
    void reject() override;

signals:
    // A run changed the library: the window's pairs are out of date.
    void libraryChanged();
    // A reading of the list ended.
    void listRead();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCoro::Task<> restoreChecked();
    void showMessage(const QString& text);
    void updateButtons();
    void updateStatus();

    QPointer<BackupFolder> m_backup;
    RestoreListModel* m_list = nullptr;
    QStackedWidget* m_pages = nullptr;
    QWidget* m_readingPage = nullptr;
    Spinner* m_spinner = nullptr;
    QLabel* m_message = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_selectAll = nullptr;
    QPushButton* m_selectNone = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_report = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QPushButton* m_restore = nullptr;
    QPushButton* m_close = nullptr;
    bool m_reading = false;
    bool m_restoring = false;
    int m_alreadyRestored = 0;
    int m_unreadable = 0;
    int m_readings = 0; // the latest reading's number: an earlier one that ends late is dropped
};

} // namespace twinslim
