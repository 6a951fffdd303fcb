#include "ui/AccessGate.h"
#include "GateTestSupport.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "ui/ConsentDialog.h"
#include "ui/DeletionPrompt.h"
#include "ui/ScanView.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <atomic>
#include <gtest/gtest.h>

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

} // namespace

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

// Return must not delete: Cancel is the default; nor may a prompt that goes away unanswered.
// (Confirming is the end-to-end test's.)
TEST_F(DeletionPromptTest, ReturnOrNoAnswerDeletesNothing) {
    QWidget window;
    DeletionPrompt::install(library.library(), &window);
    window.show();
    for (const bool byReturn : {true, false}) {
        SCOPED_TRACE(byReturn ? "Return" : "gone");
        done = false;
        const QStringList ids{library.add(TestLibrary::pair(QDateTime::currentDateTime()))};
        startDeletion(ids);
        QMessageBox* box = gatetest::waitForMessageBox(DeletionPrompt::objectName());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->parentWidget(), &window);
        EXPECT_EQ(box->text(), "Delete 1 item?");
        EXPECT_FALSE(done); // the library waits for the answer
        if (byReturn)
            QTest::keyClick(box, Qt::Key_Return);
        else
            delete box;
        ASSERT_TRUE(testloop::spinUntil([&] { return bool(done); }));
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(errorCode, int(photos::PhotoLibraryError::Code::UserCancelled));
        EXPECT_EQ(library.library().fetchAssetsWithLocalIdentifiers(ids).size(), 1u);
        EXPECT_TRUE(library.library().trashedAssets().empty());
    }
    library.library().setDeletionConfirmationHandler({});
}

// Over another dialog the prompt would take the keys meant for that one: it waits until that
// one is closed.
TEST_F(DeletionPromptTest, APromptWaitsForTheDialogInFront) {
    QWidget window;
    DeletionPrompt::install(library.library(), &window);
    window.show();
    auto* other =
        new QMessageBox(QMessageBox::NoIcon, "Other", "Another question", QMessageBox::Ok, &window);
    other->setAttribute(Qt::WA_DeleteOnClose);
    other->open();
    const QStringList ids{library.add(TestLibrary::pair(QDateTime::currentDateTime()))};
    startDeletion(ids);
    const auto prompt = [] {
        return gatetest::visibleWindow<QMessageBox>(
            [](QMessageBox* box) { return box->objectName() == DeletionPrompt::objectName(); });
    };
    const QString waiting = DeletionPrompt::objectName() + "Waiting";
    ASSERT_TRUE(
        testloop::spinUntil([&] { return prompt() || other->findChild<QObject*>(waiting); }));
    EXPECT_EQ(prompt(), nullptr);
    other->accept();
    ASSERT_TRUE(testloop::spinUntil([&] { return prompt() != nullptr; }));
    gatetest::buttonTitled(prompt(), "Delete")->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return bool(done); }));
    EXPECT_TRUE(succeeded);
    library.library().setDeletionConfirmationHandler({});
}
