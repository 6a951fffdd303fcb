#include "platform/photos/PhotoLibraryAccess.h"

#include <QDir>
#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>

using namespace photos;

// Grants live in the configuration folder, here a temporary one. Setting, listing and
// forgetting them, unwritable libraries and the system library's choice are proven through
// the access gate and photolib.
class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", tmp.path().toUtf8() + "/config");
        QDir().mkpath(libraryPath);
    }
    void TearDown() override {
        PhotoLibraryAccess::setConsentHandler({});
        qputenv("XDG_CONFIG_HOME", oldConfig);
    }
    AuthorizationStatus status(const QString& client, AccessLevel level = AccessLevel::ReadWrite) {
        return PhotoLibraryAccess::authorizationStatus(level, client, libraryPath);
    }
    AuthorizationStatus request(const QString& client) {
        auto p = std::make_shared<std::promise<AuthorizationStatus>>();
        auto f = p->get_future();
        PhotoLibraryAccess::requestAuthorization(
            AccessLevel::ReadWrite, [p](AuthorizationStatus s) { p->set_value(s); }, client,
            libraryPath);
        return f.get();
    }
    QTemporaryDir tmp;
    QByteArray oldConfig;
    QString libraryPath = tmp.path() + "/L.photolibrary";
};

TEST_F(AccessTest, StatusesFollowConsentAndAreStoredPerClient) {
    EXPECT_EQ(status("app"), AuthorizationStatus::NotDetermined);
    // Without a consent prompt nothing is decided.
    EXPECT_EQ(request("app"), AuthorizationStatus::NotDetermined);

    int asked = 0;
    AuthorizationStatus answer = AuthorizationStatus::Limited;
    PhotoLibraryAccess::setConsentHandler(
        [&](const QString&, AccessLevel, std::function<void(AuthorizationStatus)> reply) {
            ++asked;
            reply(answer);
        });
    EXPECT_EQ(request("app"), AuthorizationStatus::Limited);
    answer = AuthorizationStatus::Authorized;
    EXPECT_EQ(request("app"), AuthorizationStatus::Limited); // stored: not asked again
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(request("other"), AuthorizationStatus::Authorized);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(status("other"), AuthorizationStatus::Authorized);
    EXPECT_EQ(status("other", AccessLevel::AddOnly), AuthorizationStatus::NotDetermined);
    // A library not created yet is judged by the folder it would be made in.
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "other",
                                                      libraryPath + "/sub/New.photolibrary"),
              AuthorizationStatus::Authorized);
}
