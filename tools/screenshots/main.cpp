// twinslim-screenshots: opens twinslim's real main window on the system photo library and
// walks it through the workflow as a user would, by its own buttons and dialogs, stopping at
// each state worth a picture. scripts/screenshots runs it on a virtual screen and captures
// what it shows; nothing here stages or fakes a state.
//
// It talks with whoever runs it over standard input and output, one line each way:
//   shot NAME X Y W H   the state NAME is on screen in that rectangle (frames included); the
//                       window waits, unchanged, for a line on standard input
//   export              the export albums are filled: export them into the folder given as
//                       --export, then send a line
//   done                the walk is over
// States, in order: access-gate (the window as it starts without access; "window" when it
// starts with access, as the scan window after its first scan), scan-window (the whole
// library, three pairs selected), quick-preview, ingest-running, ingest-report, restore-originals
// (File › Restore Originals… listing the pairs just replaced, once Recently Deleted was emptied),
// about.
// --first-only ends the walk after the first. The gate's "Grant Photos Access" is answered "Allow
// Full Access"; the folder choosers are answered with --backup and --export; the library's deletion
// question is answered "Delete". --step1-message only scans the whole library, puts its first
// three pairs into the export albums and shows Step 1's message (step1-folder-library);
// --library-unavailable only shows the alert of a library that cannot be opened.
//
// usage: twinslim-screenshots --backup DIR --export DIR [--first-only]
//        twinslim-screenshots --step1-message | --library-unavailable
#include "BuildInfo.h"
#include "backup/BackupFolder.h"
#include "backup/FolderChooser.h"
#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/ConsentDialog.h"
#include "ui/DeletionPrompt.h"
#include "ui/MainWindow.h"
#include "ui/PairTableModel.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/RestoreDialog.h"
#include "ui/ScanView.h"
#include "ui/Symbols.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>

using namespace twinslim;

namespace {

// The user's answers in the folder panels: the backup folder, and the export folder for
// Step 2.
class AnsweringChooser : public FolderChooser {
public:
    AnsweringChooser(QString backup, QString exported)
        : m_backup(std::move(backup)), m_exported(std::move(exported)) {}
    void chooseFolder(const FolderChoiceRequest& request, Answer answer) override {
        const QString folder = request.prompt == ScanView::ingestPrompt() ? m_exported : m_backup;
        QTimer::singleShot(0, [answer = std::move(answer), folder] { answer(folder); });
    }

private:
    QString m_backup, m_exported;
};

// Runs the event loop until `done` answers true; throws after `seconds`.
void waitFor(const char* what, const std::function<bool()>& done, int seconds = 120) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > seconds * 1000)
            throw std::runtime_error(std::string("gave up waiting for ") + what);
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

// Lets the window paint, and the window manager frame and place what just opened.
void settle(int ms = 700) {
    QElapsedTimer clock;
    clock.start();
    waitFor("the window to settle", [&] { return clock.elapsed() >= ms; });
}

void say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Waits for the line that says the one running us is done with the current state.
void awaitReply() {
    std::string line;
    if (!std::getline(std::cin, line))
        throw std::runtime_error("standard input ended");
}

// The open window of type T (and object name `name`, when given), dialogs included.
template <typename T> T* visible(const QString& name = {}) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<T*>(top);
            w && w->isVisible() && (name.isEmpty() || w->objectName() == name))
            return w;
    return nullptr;
}

QPushButton* button(QWidget* in, const QString& name) {
    auto* b = in ? in->findChild<QPushButton*>(name) : nullptr;
    if (!b)
        throw std::runtime_error("no button " + name.toStdString());
    return b;
}

class Walk {
public:
    Walk(MainWindow& window, bool firstOnly) : m_window(window), m_firstOnly(firstOnly) {}

    // The window started on a library that cannot be opened: the alert that says why.
    void runUnavailable() {
        waitFor("the window", [&] { return m_window.isVisible(); });
        waitFor("the alert", [&] { return visible<QMessageBox>("libraryUnavailableAlert"); });
        settle();
        shot("library-unavailable");
    }

    // Step 1 on whatever library the window opens (a folder of camera files in
    // scripts/screenshots): the whole library scanned, its first rows put into the export albums,
    // and the message that says how to export them.
    void runStep1Message() {
        waitFor("the window", [&] { return m_window.isVisible(); });
        AccessGate* gate = m_window.gate();
        if (!gate->scanView()) {
            QPushButton* grant = gate->grantButton();
            if (!grant)
                throw std::runtime_error("the gate offers no access to ask for");
            grant->click();
            ConsentDialog* consent = nullptr;
            waitFor("the consent dialog", [&] { return (consent = visible<ConsentDialog>()); });
            consent->allowFullAccessButton()->click();
            waitFor("the scan window", [&] { return gate->scanView() != nullptr; });
        }
        waitFor("the first scan", [&] { return scanned(); });
        ScanView* view = gate->scanView();
        view->model()->setDateRange(DateRange::all);
        waitFor("the scan of the whole library", [&] { return scanned(); });
        if (view->pairTable()->rowCount() < 3)
            throw std::runtime_error("the library has too few pairs for the picture");
        select(view->findChild<QTableView*>(QStringLiteral("pairTable")), {0, 1, 2});
        button(view, QStringLiteral("step1Button"))->click();
        waitFor("the export albums", [&] { return view->model()->showInfoAlert(); });
        shot("step1-folder-library");
    }

    void run() {
        waitFor("the window", [&] { return m_window.isVisible(); });
        AccessGate* gate = m_window.gate();
        if (gate->scanView())
            waitFor("the first scan", [&] { return scanned(); });
        if (!shot(gate->scanView() ? "window" : "access-gate"))
            return;

        if (!gate->scanView()) {
            QPushButton* grant = gate->grantButton();
            if (!grant)
                throw std::runtime_error("the gate offers no access to ask for");
            grant->click();
            ConsentDialog* consent = nullptr;
            waitFor("the consent dialog", [&] { return (consent = visible<ConsentDialog>()); });
            settle(300);
            consent->allowFullAccessButton()->click();
            waitFor("the scan window", [&] { return gate->scanView() != nullptr; });
            waitFor("the first scan", [&] { return scanned(); });
        }
        ScanView* view = gate->scanView();
        LibraryModel* model = view->model();
        auto* table = view->findChild<QTableView*>(QStringLiteral("pairTable"));

        // The whole library, picked from the date range menu.
        auto* picker = view->findChild<QComboBox*>(QStringLiteral("dateRangePicker"));
        const int all = picker->findText(QStringLiteral("All"));
        if (all < 0)
            throw std::runtime_error("the date range menu has no \"All\"");
        picker->setCurrentIndex(all);
        emit picker->activated(all);
        waitFor("the scan of the whole library", [&] { return model->isScanning(); });
        waitFor("the scan of the whole library", [&] { return scanned(); });
        if (view->pairTable()->rowCount() < 12)
            throw std::runtime_error("the library has too few pairs for the pictures");
        select(table, {0, 1, 2});
        if (!shot("scan-window"))
            return;

        // The quick preview, opened with Space on the current row.
        table->setFocus();
        table->selectionModel()->setCurrentIndex(view->pairTable()->index(1, 0),
                                                 QItemSelectionModel::NoUpdate);
        QTest::keyClick(table, Qt::Key_Space);
        waitFor("the quick preview",
                [&] { return view->preview() && !view->preview()->image().isNull(); });
        if (!shot("quick-preview"))
            return;
        view->preview()->reject();
        waitFor("the preview to close", [&] { return !view->preview(); });

        // Step 1 for the first rows and at least one favourite, so both albums fill.
        QList<int> rows = {0, 1, 2, 3, 4, 5, 6, 7, 8};
        for (int row = 9; row < view->pairTable()->rowCount(); ++row)
            if (view->pairTable()->pairAt(row).isFavorite) {
                rows << row;
                break;
            }
        select(table, rows);
        button(view, QStringLiteral("step1Button"))->click();
        waitFor("the export albums", [&] { return model->showInfoAlert(); });
        settle(300);
        button(visible<QMessageBox>(QStringLiteral("infoAlert")), QStringLiteral("okButton"))
            ->click();
        say(QStringLiteral("export"));
        awaitReply();

        button(view, QStringLiteral("backupFolderButton"))->click();
        waitFor("the backup folder", [&] { return model->backup()->url().has_value(); });

        // Step 2, caught as it takes its third file: the window is painted and captured right
        // then, the run waiting meanwhile.
        bool caught = false, goOn = true;
        std::exception_ptr failure; // not thrown through the run's signal
        const auto taking = QObject::connect(model, &LibraryModel::currentLabelChanged, view, [&] {
            if (caught || model->runIndex() < 3)
                return;
            caught = true;
            m_window.repaint();
            try {
                goOn = shot("ingest-running", 0);
            } catch (...) {
                failure = std::current_exception();
            }
        });
        button(view, QStringLiteral("step2Button"))->click();
        waitFor("the ingest", [&] { return caught; });
        QObject::disconnect(taking);
        if (failure)
            std::rethrow_exception(failure);
        if (!goOn)
            return;
        QMessageBox* question = nullptr;
        waitFor("the deletion question",
                [&] { return (question = visible<QMessageBox>(DeletionPrompt::objectName())); });
        settle(300);
        for (QAbstractButton* b : question->buttons())
            if (question->buttonRole(b) == QMessageBox::DestructiveRole)
                b->click();
        waitFor("the ingest report", [&] {
            return visible<QMessageBox>(QStringLiteral("ingestReportAlert")) != nullptr;
        });
        if (!shot("ingest-report"))
            return;
        button(visible<QMessageBox>(QStringLiteral("ingestReportAlert")),
               QStringLiteral("okButton"))
            ->click();

        // The pairs just replaced, offered back by File › Restore Originals… once Recently
        // Deleted has been emptied, as it is after its thirty days: their originals come from
        // the backup folder, the non-favourites' as their JPEG alone. Left as they are.
        if (std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared())
            library->emptyTrash();
        m_window.restoreOriginalsAction()->trigger();
        RestoreDialog* restore = nullptr;
        waitFor("the list of replaced pairs",
                [&] { return (restore = visible<RestoreDialog>()) && !restore->isReading(); });
        if (!shot("restore-originals"))
            return;
        restore->reject();
        waitFor("the restore dialog to close", [&] { return !visible<RestoreDialog>(); });

        for (QAction* action : m_window.helpMenu()->actions())
            if (action->text() == QStringLiteral("About Twinslim"))
                action->trigger();
        waitFor("the About window", [&] { return visible<AboutWindow>() != nullptr; });
        shot("about", 700, visible<AboutWindow>());
    }

private:
    bool scanned() const {
        const ScanView* view = m_window.gate()->scanView();
        return view && view->model()->hasScanned() && !view->model()->isScanning();
    }

    // As a user selects rows: the first by a click, the others by Ctrl-clicks.
    static void select(QTableView* table, const QList<int>& rows) {
        table->clearSelection();
        for (int row : rows)
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    }

    // Says where the state is (the main window with whatever is open over it, or `only`);
    // false when the walk ends here.
    bool shot(const QString& name, int settleMs = 700, QWidget* only = nullptr) {
        settle(settleMs);
        QRect rect;
        if (only) {
            rect = only->frameGeometry();
        } else {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && (w == &m_window || w->parentWidget()))
                    rect |= w->frameGeometry();
        }
        say(QStringLiteral("shot %1 %2 %3 %4 %5")
                .arg(name)
                .arg(rect.x())
                .arg(rect.y())
                .arg(rect.width())
                .arg(rect.height()));
        awaitReply();
        return !m_firstOnly;
    }

    MainWindow& m_window;
    bool m_firstOnly;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // As twinslim itself is set up: its preferences, name and icon.
    QApplication::setOrganizationName(QStringLiteral("Twinslim"));
    QApplication::setApplicationName(QStringLiteral("Twinslim"));
    QApplication::setApplicationVersion(QString::fromLatin1(buildinfo::shortVersion));
    QApplication::setDesktopFileName(QString::fromLatin1(buildinfo::bundleIdentifier));
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(buildinfo::bundleIdentifier),
                                                 symbol(QStringLiteral("photo.stack"))));

    QCommandLineParser parser;
    parser.addOption(
        {QStringLiteral("backup"), QStringLiteral("Backup folder."), QStringLiteral("DIR")});
    parser.addOption(
        {QStringLiteral("export"), QStringLiteral("Export folder."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("first-only"), QStringLiteral("Only the first state.")});
    parser.addOption({QStringLiteral("library-unavailable"),
                      QStringLiteral("Only the alert of a library that cannot be opened.")});
    parser.addOption({QStringLiteral("step1-message"),
                      QStringLiteral("Only Step 1 and its message, on the whole library.")});
    parser.process(app);

    MainWindow window;
    FolderChooser::setShared(std::make_shared<AnsweringChooser>(
        parser.value(QStringLiteral("backup")), parser.value(QStringLiteral("export"))));
    ConsentDialog::install(&window);
    // Large enough for a dozen rows, small enough for a 1280 × 800 screen with frames.
    window.resize(1180, 740);
    window.show();
    int status = 0;
    try {
        Walk walk(window, parser.isSet(QStringLiteral("first-only")));
        if (parser.isSet(QStringLiteral("library-unavailable")))
            walk.runUnavailable();
        else if (parser.isSet(QStringLiteral("step1-message")))
            walk.runStep1Message();
        else
            walk.run();
        say(QStringLiteral("done"));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "twinslim-screenshots: %s\n", e.what());
        status = 1;
    }
    ConsentDialog::uninstall();
    FolderChooser::setShared(nullptr);
    return status;
}
