#include "ui/ScreenshotStage.h"

#include "backup/BackupFolder.h"
#include "core/LibraryModel.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/MainWindow.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/ScanView.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QPointer>
#include <QTableView>
#include <QTimer>
#include <cstdio>

namespace twinslim {

namespace {

class Stager : public QObject {
public:
    Stager(MainWindow& window, QString state)
        : QObject(&window), m_window(window), m_state(std::move(state)) {
        // Large enough to show a dozen rows, small enough for a 1280 × 800 screen.
        m_window.resize(1180, 760);
        connect(&m_timer, &QTimer::timeout, this, &Stager::tick);
        m_timer.start(100);
    }

private:
    void tick() {
        if (!m_window.isVisible())
            return;
        ScanView* view = m_window.gate()->scanView();
        if (m_state == QLatin1String("window")) {
            if (!view || scanDone(view->model()))
                settle();
            return;
        }
        if (!view) {
            std::fprintf(stderr, "twinslim: the %s screenshot needs photo library access\n",
                         qPrintable(m_state));
            QApplication::exit(2);
            return;
        }
        LibraryModel* model = view->model();
        switch (m_step) {
        case Step::firstScan:
            if (!scanDone(model))
                return;
            if (m_state != QLatin1String("about") && model->dateRange() != DateRange::all) {
                m_rescanned = false;
                connect(model, &LibraryModel::isScanningChanged, this,
                        [this, model] { m_rescanned = m_rescanned || model->isScanning(); });
                model->setDateRange(DateRange::all); // the scan window scans again
            }
            m_step = Step::wholeLibrary;
            return;
        case Step::wholeLibrary:
            if (!m_rescanned || !scanDone(model))
                return;
            stage(view, model);
            m_step = Step::staged;
            return;
        case Step::staged:
            if (!shown())
                return;
            settle();
            return;
        case Step::settling:
            return;
        }
    }

    static bool scanDone(const LibraryModel* model) {
        return model->hasScanned() && !model->isScanning();
    }

    // The first rows of the table as the user sees them, selected through the
    // table.
    static void selectRows(ScanView* view, int count) {
        auto* table = view->findChild<QTableView*>();
        if (!table || !table->model())
            return;
        const int rows = std::min(count, table->model()->rowCount());
        for (int row = 0; row < rows; ++row)
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    }

    static std::optional<PhotoPair> newestPair(const LibraryModel* model) {
        std::optional<PhotoPair> newest;
        for (const PhotoPair& pair : model->visiblePairs())
            if (!newest || pair.creationDate.value_or(QDateTime()) >
                               newest->creationDate.value_or(QDateTime()))
                newest = pair;
        return newest;
    }

    void stage(ScanView* view, LibraryModel* model) {
        if (m_state == QLatin1String("scan")) {
            selectRows(view, 3);
        } else if (m_state == QLatin1String("ingest-running")) {
            selectRows(view, 3);
            const std::vector<PhotoPair> selected = model->selectedPairs();
            const QString current =
                selected.empty() ? QStringLiteral("IMG_0001.heic")
                                 : QFileInfo(selected.back().jpegFilename).completeBaseName() +
                                       QStringLiteral(".heic");
            model->setRunTotal(int(selected.size()));
            model->setRunIndex(int(selected.size()));
            model->setCurrentLabel(current);
            model->setIsRunning(true);
        } else if (m_state == QLatin1String("ingest-report")) {
            IngestReport report;
            report.matched = 3;
            report.replaced = 3;
            if (const auto& folder = model->backup()->url())
                report.logPath =
                    *folder + QStringLiteral("/Twinslim-logs/ingest-") +
                    QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
                    QStringLiteral(".log");
            model->setIngestReport(report);
            model->setShowIngestReport(true);
        } else if (m_state == QLatin1String("preview")) {
            if (const std::optional<PhotoPair> pair = newestPair(model)) {
                auto* dialog = new QuickPreviewDialog(pair->asset, pair->jpegFilename, &m_window);
                dialog->setAttribute(Qt::WA_DeleteOnClose);
                dialog->resize(1000, 680); // over the window, inside its frame
                dialog->open();
                m_preview = dialog;
            }
        } else if (m_state == QLatin1String("about")) {
            m_capture = AboutWindow::showShared();
        }
    }

    bool shown() const {
        if (m_state == QLatin1String("preview"))
            return m_preview && !m_preview->image().isNull();
        if (m_state == QLatin1String("about"))
            return m_capture && m_capture->isVisible();
        return true;
    }

    // Gives the window a few frames to paint, then says where to capture.
    void settle() {
        m_step = Step::settling;
        m_timer.stop();
        QTimer::singleShot(600, this, [this] {
            QRect rect;
            if (m_capture) {
                rect = m_capture->frameGeometry();
            } else {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w->isVisible())
                        rect |= w->frameGeometry();
            }
            std::printf("screenshot-ready %d %d %d %d\n", rect.x(), rect.y(), rect.width(),
                        rect.height());
            std::fflush(stdout);
        });
    }

    enum class Step { firstScan, wholeLibrary, staged, settling };

    MainWindow& m_window;
    QString m_state;
    Step m_step = Step::firstScan;
    bool m_rescanned = true;
    QTimer m_timer;
    QPointer<QuickPreviewDialog> m_preview;
    QPointer<QWidget> m_capture;
};

} // namespace

QStringList ScreenshotStage::states() {
    return {QStringLiteral("window"),         QStringLiteral("scan"),
            QStringLiteral("ingest-running"), QStringLiteral("ingest-report"),
            QStringLiteral("preview"),        QStringLiteral("about")};
}

bool ScreenshotStage::start(MainWindow& window, const QString& state) {
    if (!states().contains(state)) {
        std::fprintf(stderr, "twinslim: TWINSLIM_SCREENSHOT must be one of: %s\n",
                     qPrintable(states().join(QStringLiteral(", "))));
        return false;
    }
    new Stager(window, state);
    return true;
}

} // namespace twinslim
