#include "ui/AccessGate.h"
#include "GateTestSupport.h"
#include "core/AccessGateText.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "ui/ConsentDialog.h"
#include "ui/DeletionPrompt.h"
#include "ui/ScanView.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace twinslim;
using photos::AccessLevel;
using photos::AuthorizationStatus;
using photos::PhotoLibraryAccess;

namespace {

const QString client = QStringLiteral("twinslim");

AuthorizationStatus storedStatus(const QString& libraryPath) {
    return PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, client, libraryPath);
}

// The gate reads the system library, so each test points it at a fresh one and
// starts with no grant for twinslim.
class AccessGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PHOTOLIB_LIBRARY", library.path().toUtf8());
        PhotoLibraryAccess::forget(client);
    }
    void TearDown() override {
        ConsentDialog::uninstall();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog*>(w))
                delete w;
        testloop::drain();
        PhotoLibraryAccess::forget(client);
        qunsetenv("PHOTOLIB_LIBRARY");
    }

    // Lets the scan the scan window starts when shown run out before the library
    // goes.
    static void waitForScanEnd(AccessGate& gate) {
        ASSERT_NE(gate.scanView(), nullptr);
        LibraryModel* model = gate.scanView()->model();
        EXPECT_TRUE(testloop::spinUntil([&] { return !model->isScanning(); }));
    }

    TestLibrary library;
};

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

// The colour of the first opaque pixel, or an invalid colour when the picture
// is empty.
QColor inkOf(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) == 255)
                return QColor(image.pixel(x, y));
    return {};
}

} // namespace

TEST_F(AccessGateTest, NotDeterminedShowsSymbolTitleTaglineAndTheGrantButtonInThatOrder) {
    AccessGate gate(AuthorizationStatus::NotDetermined);
    gate.resize(900, 600);
    gate.show();
    testloop::drain();

    auto* symbol = gate.findChild<QLabel*>("gateSymbol");
    auto* title = gate.findChild<QLabel*>("gateTitle");
    auto* tagline = gate.findChild<QLabel*>("gateTagline");
    ASSERT_TRUE(symbol && title && tagline && gate.grantButton());
    EXPECT_EQ(gate.statusTitle(), nullptr);
    EXPECT_EQ(gate.statusCaption(), nullptr);
    EXPECT_EQ(gate.scanView(), nullptr);

    EXPECT_EQ(title->text(), "Twinslim");
    EXPECT_TRUE(title->font().bold());
    EXPECT_GE(title->font().pointSizeF(), 2 * gate.font().pointSizeF());
    EXPECT_EQ(tagline->text(), "Find RAW+JPEG pairs and replace them with a space-saving HEIC (or "
                               "JPEG) to reclaim disk space.");
    EXPECT_LT(textColor(tagline).alphaF(), 1.0); // the secondary colour
    EXPECT_EQ(gate.grantButton()->text(), "Grant Photos Access");
    EXPECT_TRUE(gate.grantButton()->isEnabled());

    // The symbol: 52 px, drawn in the accent colour.
    EXPECT_EQ(symbol->pixmap().deviceIndependentSize().toSize(), QSize(52, 52));
    EXPECT_EQ(inkOf(symbol->pixmap()).rgb(), gate.palette().color(QPalette::Highlight).rgb());

    // One centred column from the top: 40 around, 24 between.
    QLayout* column = gate.findChild<QWidget*>("accessGate")->layout();
    EXPECT_EQ(column->contentsMargins(), QMargins(40, 40, 40, 40));
    EXPECT_EQ(column->spacing(), 24);
    EXPECT_EQ(symbol->y(), 40);
    EXPECT_LT(symbol->geometry().bottom(), title->y());
    EXPECT_LT(title->geometry().bottom(), tagline->y());
    EXPECT_LE(tagline->y() - title->geometry().bottom() - 1, 6);
    EXPECT_LT(tagline->geometry().bottom(), gate.grantButton()->y());
    EXPECT_NEAR(gate.grantButton()->geometry().center().x(), gate.width() / 2, 1);
    EXPECT_NEAR(symbol->geometry().center().x(), gate.width() / 2, 1);
    // Aligned to the top: the space left over is below the button.
    EXPECT_LT(gate.grantButton()->geometry().bottom(), gate.height() / 2);
}

// Every other status: its own block in place of the button, in red, orange or the secondary
// colour, with the symbol before the title in the same colour and a smaller caption below.
TEST_F(AccessGateTest, OtherStatusesShowTheirBlockWithoutAButton) {
    const char* denied = "Enable access with “photolib access twinslim authorized” (or run "
                         "“photolib access twinslim forget” and answer the consent prompt at the "
                         "next start), then relaunch.";
    const char* limited = "This app needs full library access to scan for pairs. Grant it with "
                          "“photolib access twinslim authorized”.";
    enum Colour { red, orange, secondary };
    const struct {
        int status;
        const char* title;
        const char* caption; // empty: no caption
        Colour colour;
    } cases[] = {
        {1, "Photos access denied", denied, red},
        {2, "Photos access denied", denied, red},
        {4, "Limited access", limited, orange},
        {5, "Unknown authorization status.", "", secondary},
        {-1, "Unknown authorization status.", "", secondary},
        {99, "Unknown authorization status.", "", secondary},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        AccessGate gate(static_cast<AuthorizationStatus>(c.status));
        gate.resize(900, 600);
        gate.show();
        testloop::drain();

        EXPECT_EQ(gate.grantButton(), nullptr);
        EXPECT_EQ(gate.scanView(), nullptr);
        ASSERT_NE(gate.statusTitle(), nullptr);
        EXPECT_EQ(gate.statusTitle()->text(), c.title);
        EXPECT_EQ(gate.findChild<QLabel*>("gateTitle")->text(), "Twinslim");

        const QColor color = textColor(gate.statusTitle());
        auto* mark = gate.findChild<QLabel*>("statusSymbol");
        if (c.colour == secondary) {
            EXPECT_EQ(mark, nullptr);
            EXPECT_EQ(gate.statusCaption(), nullptr);
            EXPECT_LT(color.alphaF(), 1.0);
            continue;
        }
        if (c.colour == red) {
            EXPECT_GT(color.red(), 150);
            EXPECT_LT(color.green(), 90);
        } else {
            EXPECT_GT(color.red(), 200);
            EXPECT_GT(color.green(), 100);
            EXPECT_LT(color.green(), 170);
            EXPECT_LT(color.blue(), 60);
        }
        ASSERT_NE(mark, nullptr);
        EXPECT_EQ(inkOf(mark->pixmap()).rgb(), color.rgb());
        EXPECT_LT(mark->x(), gate.statusTitle()->x());
        ASSERT_NE(gate.statusCaption(), nullptr);
        EXPECT_EQ(gate.statusCaption()->text(), c.caption);
        EXPECT_LT(gate.statusCaption()->font().pointSizeF(), gate.font().pointSizeF());
        EXPECT_LT(textColor(gate.statusCaption()).alphaF(), 1.0);
        EXPECT_EQ(gate.statusCaption()->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        const int gap = gate.statusCaption()->y() - gate.statusTitle()->geometry().bottom() - 1;
        EXPECT_GE(gap, 8);
        EXPECT_LE(gap, 12);
    }
}

// The stored grant is read once, when the gate is made: a grant given elsewhere while the window
// lives is seen only at the next start, which shows the scan window at once as its whole content.
TEST_F(AccessGateTest, TheStatusIsReadOnceWhenTheGateIsMade) {
    PhotoLibraryAccess::setStoredStatus(client, AccessLevel::ReadWrite,
                                        AuthorizationStatus::Denied);
    AccessGate gate;
    EXPECT_EQ(gate.statusTitle()->text(), "Photos access denied");
    PhotoLibraryAccess::setStoredStatus(client, AccessLevel::ReadWrite,
                                        AuthorizationStatus::Authorized);
    gate.show();
    testloop::drain(50);
    EXPECT_EQ(gate.status(), AuthorizationStatus::Denied);
    EXPECT_EQ(gate.scanView(), nullptr);

    AccessGate next;
    EXPECT_EQ(next.status(), AuthorizationStatus::Authorized);
    ASSERT_NE(next.scanView(), nullptr);
    EXPECT_EQ(next.findChild<QWidget*>("accessGate"), nullptr);
    EXPECT_EQ(next.grantButton(), nullptr);
    next.resize(900, 600);
    next.show();
    waitForScanEnd(next);
    EXPECT_EQ(next.scanView()->geometry(), next.rect());
}

TEST_F(AccessGateTest, ALibraryTheUserCannotWriteIsDeniedWhateverTheGrant) {
    QTemporaryDir dir;
    const QString locked = dir.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
    qputenv("PHOTOLIB_LIBRARY", (locked + "/Mine.photolibrary").toUtf8());
    PhotoLibraryAccess::setStoredStatus(client, AccessLevel::ReadWrite,
                                        AuthorizationStatus::Authorized);

    AccessGate gate;
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(gate.status(), AuthorizationStatus::Denied);
    EXPECT_EQ(gate.scanView(), nullptr);
    ASSERT_NE(gate.statusTitle(), nullptr);
    EXPECT_EQ(gate.statusTitle()->text(), "Photos access denied");
    // No grant helps here: the caption names the cause and the library.
    ASSERT_NE(gate.statusCaption(), nullptr);
    EXPECT_EQ(gate.statusCaption()->text(),
              "You have no write permission for the photo library “" + locked +
                  "/Mine.photolibrary”. Give your user read and write access to it, then "
                  "relaunch.");
    EXPECT_EQ(accessGateText(AuthorizationStatus::Restricted, LibraryFolderProblem::readOnlyMedium,
                             "/media/disk/P.photolibrary")
                  ->caption,
              "The photo library “/media/disk/P.photolibrary” is on a read-only medium. Mount "
              "it with write access (or move the library to a writable disk), then relaunch.");
}

// Each answer of the consent dialog, and none where no dialog is installed to ask: what the gate
// shows next and what is stored.
TEST_F(AccessGateTest, TheConsentAnswerDecidesWhatTheGateShows) {
    using Button = QPushButton* (ConsentDialog::*)() const;
    const struct {
        const char* what;
        Button button; // null: Escape
        AuthorizationStatus answer;
    } cases[] = {
        {"full", &ConsentDialog::allowFullAccessButton, AuthorizationStatus::Authorized},
        {"limited", &ConsentDialog::limitAccessButton, AuthorizationStatus::Limited},
        {"none", &ConsentDialog::dontAllowButton, AuthorizationStatus::Denied},
        {"escape", nullptr, AuthorizationStatus::NotDetermined},
        {"no dialog", nullptr, AuthorizationStatus::NotDetermined},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PhotoLibraryAccess::forget(client);
        const bool asks = QString(c.what) != "no dialog";
        if (asks)
            ConsentDialog::install();
        else
            ConsentDialog::uninstall();
        QWidget window;
        auto* gate = new AccessGate(AuthorizationStatus::NotDetermined, &window);
        (new QVBoxLayout(&window))->addWidget(gate);
        window.resize(900, 600);
        window.show();

        QTest::mouseClick(gate->grantButton(), Qt::LeftButton);
        if (asks) {
            EXPECT_FALSE(gate->grantButton()->isEnabled()); // no second request meanwhile
            ConsentDialog* dialog = gatetest::waitForWindow<ConsentDialog>();
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->client(), client);
            EXPECT_EQ(dialog->allowFullAccessButton()->text(), "Allow Full Access");
            EXPECT_EQ(dialog->limitAccessButton()->text(), "Limit Access");
            EXPECT_EQ(dialog->dontAllowButton()->text(), "Don’t Allow");
            if (c.button)
                QTest::mouseClick((dialog->*c.button)(), Qt::LeftButton);
            else
                QTest::keyClick(dialog, Qt::Key_Escape);
        }
        ASSERT_TRUE(testloop::spinUntil([&] {
            return gate->status() == c.answer &&
                   (!gate->grantButton() || gate->grantButton()->isEnabled());
        }));
        EXPECT_EQ(storedStatus(library.path()), c.answer);
        EXPECT_EQ(gatetest::visibleWindow<ConsentDialog>(), nullptr);
        switch (c.answer) {
        case AuthorizationStatus::Authorized:
            EXPECT_EQ(gate->findChild<QWidget*>("accessGate"), nullptr);
            waitForScanEnd(*gate);
            break;
        case AuthorizationStatus::NotDetermined:
            ASSERT_NE(gate->grantButton(), nullptr); // asked again at the next press
            EXPECT_TRUE(gate->grantButton()->isEnabled());
            break;
        default:
            EXPECT_EQ(gate->scanView(), nullptr);
            EXPECT_EQ(gate->grantButton(), nullptr);
            EXPECT_EQ(gate->statusTitle()->text(), c.answer == AuthorizationStatus::Limited
                                                       ? "Limited access"
                                                       : "Photos access denied");
        }
    }
}

TEST_F(AccessGateTest, AGateClosedWhileTheDialogIsOpenTakesNoAnswer) {
    QWidget host; // the dialog opens over another window, which stays
    host.show();
    ConsentDialog::install(&host);
    auto* gate = new AccessGate(AuthorizationStatus::NotDetermined);
    gate->show();
    QTest::mouseClick(gate->grantButton(), Qt::LeftButton);
    ConsentDialog* dialog = gatetest::waitForWindow<ConsentDialog>();
    ASSERT_NE(dialog, nullptr);
    delete gate;
    QTest::mouseClick(dialog->allowFullAccessButton(), Qt::LeftButton);
    testloop::drain(50);
    // The service still stores the answer for the next start.
    EXPECT_EQ(storedStatus(library.path()), AuthorizationStatus::Authorized);
}

// A dialog destroyed unanswered leaves the request undetermined; one dialog answers every request
// of its client, from any thread, and once it has answered nobody is asked again.
TEST_F(AccessGateTest, OneConsentDialogAnswersEveryRequestOfItsClient) {
    ConsentDialog::install();
    const auto requestAccess = [&] {
        auto answer = std::make_shared<std::atomic<int>>(-1);
        PhotoLibraryAccess::requestAuthorization(
            AccessLevel::ReadWrite, [answer](AuthorizationStatus s) { *answer = int(s); }, client,
            library.path());
        return answer;
    };
    const auto unanswered = requestAccess();
    ConsentDialog* dialog = gatetest::waitForWindow<ConsentDialog>();
    ASSERT_NE(dialog, nullptr);
    delete dialog;
    EXPECT_TRUE(testloop::spinUntil([&] { return *unanswered >= 0; }));
    EXPECT_EQ(*unanswered, int(AuthorizationStatus::NotDetermined));
    EXPECT_EQ(storedStatus(library.path()), AuthorizationStatus::NotDetermined);

    const auto first = requestAccess();
    dialog = gatetest::waitForWindow<ConsentDialog>();
    ASSERT_NE(dialog, nullptr);
    std::shared_ptr<std::atomic<int>> second;
    std::thread([&] { second = requestAccess(); }).join();
    testloop::drain(50);
    int dialogs = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        dialogs += qobject_cast<ConsentDialog*>(w) && w->isVisible();
    EXPECT_EQ(dialogs, 1);
    QTest::mouseClick(dialog->limitAccessButton(), Qt::LeftButton);
    EXPECT_TRUE(testloop::spinUntil([&] { return *first >= 0 && *second >= 0; }));
    EXPECT_EQ(*first, int(AuthorizationStatus::Limited));
    EXPECT_EQ(*second, int(AuthorizationStatus::Limited));

    const auto third = requestAccess();
    EXPECT_TRUE(testloop::spinUntil([&] { return *third >= 0; }));
    EXPECT_EQ(*third, int(AuthorizationStatus::Limited));
    EXPECT_EQ(gatetest::visibleWindow<ConsentDialog>(), nullptr);
}

// ---- The deletion prompt the gate installs on the library once access is
// granted ----

class DeletionPromptTest : public AccessGateTest {
protected:
    // Starts deleting the assets; the outcome lands in `done` and `error`.
    void startDeletion(const QStringList& ids) {
        const auto assets = library.library().fetchAssetsWithLocalIdentifiers(ids);
        library.library().performChanges(
            [assets](photos::ChangeRequests& changes) { changes.deleteAssets(assets); },
            [this](bool ok, std::optional<photos::PhotoLibraryError> e) {
                succeeded = ok;
                if (e)
                    errorCode = int(e->code());
                done = true;
            });
    }
    std::atomic<bool> done{false};
    std::atomic<bool> succeeded{false};
    std::atomic<int> errorCode{0};
};

TEST_F(DeletionPromptTest, DeleteConfirmsAndCancelRefuses) {
    const QStringList ids = library.add({TestLibrary::pair(QDateTime::currentDateTime()),
                                         TestLibrary::pair(QDateTime::currentDateTime())});
    PhotoLibraryAccess::setStoredStatus(client, AccessLevel::ReadWrite,
                                        AuthorizationStatus::Authorized);
    AccessGate gate;
    gate.show();
    waitForScanEnd(gate);

    startDeletion(ids);
    QMessageBox* box = gatetest::waitForMessageBox(DeletionPrompt::objectName());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Delete 2 items?");
    EXPECT_FALSE(done);                   // the library waits for the answer
    QTest::keyClick(box, Qt::Key_Return); // Return must not delete: Cancel is the default
    ASSERT_TRUE(testloop::spinUntil([&] { return bool(done); }));
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(errorCode, int(photos::PhotoLibraryError::Code::UserCancelled));
    EXPECT_EQ(library.library().fetchAssetsWithLocalIdentifiers(ids).size(), 2u);

    done = false;
    startDeletion(ids.mid(0, 1));
    box = gatetest::waitForMessageBox(DeletionPrompt::objectName());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Delete 1 item?");
    QAbstractButton* remove = gatetest::buttonTitled(box, "Delete");
    ASSERT_NE(remove, nullptr);
    remove->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return bool(done); }));
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(idsOf(library.library().fetchAssetsWithLocalIdentifiers(ids)), ids.mid(1));
    EXPECT_EQ(library.library().trashedAssets().size(), 1u);
}

TEST_F(DeletionPromptTest, APromptThatGoesAwayUnansweredDeletesNothing) {
    const QStringList ids{library.add(TestLibrary::pair(QDateTime::currentDateTime()))};
    QWidget window;
    DeletionPrompt::install(library.library(), &window);
    window.show();
    startDeletion(ids);
    QMessageBox* box = gatetest::waitForMessageBox(DeletionPrompt::objectName());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), &window);
    delete box;
    ASSERT_TRUE(testloop::spinUntil([&] { return bool(done); }));
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(errorCode, int(photos::PhotoLibraryError::Code::UserCancelled));
    EXPECT_EQ(library.library().fetchAssetsWithLocalIdentifiers(ids).size(), 1u);
    library.library().setDeletionConfirmationHandler({});
}
