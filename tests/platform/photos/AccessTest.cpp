#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibraryAccess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>

using namespace photos;

class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldConfig = qgetenv("XDG_CONFIG_HOME");
        oldLibrary = qgetenv("PHOTOLIB_LIBRARY");
        qputenv("XDG_CONFIG_HOME", tmp.path().toUtf8() + "/config");
        libraryPath = tmp.path() + "/L.photolibrary";
        QDir().mkpath(libraryPath);
    }
    void TearDown() override {
        PhotoLibraryAccess::setConsentHandler({});
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qputenv("PHOTOLIB_LIBRARY", oldLibrary);
        QFile::setPermissions(libraryPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
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
    QByteArray oldConfig, oldLibrary;
    QString libraryPath;
};

TEST_F(AccessTest, StatusesFollowConsentAndAreStoredPerClient) {
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app", libraryPath),
              AuthorizationStatus::NotDetermined);
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
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "other", libraryPath),
              AuthorizationStatus::Authorized);
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::AddOnly, "other", libraryPath),
              AuthorizationStatus::NotDetermined);
    EXPECT_EQ(PhotoLibraryAccess::storedGrants(AccessLevel::ReadWrite).size(), 2);

    PhotoLibraryAccess::setStoredStatus("app", AccessLevel::ReadWrite, AuthorizationStatus::Denied);
    EXPECT_EQ(request("app"), AuthorizationStatus::Denied);
    PhotoLibraryAccess::forget("app");
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app", libraryPath),
              AuthorizationStatus::NotDetermined);

    // Grants are stored as these numbers, so they may never change.
    using S = AuthorizationStatus;
    EXPECT_EQ((std::vector{S::NotDetermined, S::Restricted, S::Denied, S::Authorized, S::Limited}),
              (std::vector{S(0), S(1), S(2), S(3), S(4)}));
}

TEST_F(AccessTest, ALibraryTheUserCannotReadOrWriteIsDenied) {
    PhotoLibraryAccess::setStoredStatus("app", AccessLevel::ReadWrite,
                                        AuthorizationStatus::Authorized);
    QFile::setPermissions(libraryPath, QFile::ReadOwner | QFile::ExeOwner);
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app", libraryPath),
              AuthorizationStatus::Denied);
    EXPECT_EQ(request("app"), AuthorizationStatus::Denied);
    QFile::setPermissions(libraryPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app", libraryPath),
              AuthorizationStatus::Authorized);
    // A library not created yet is judged by the folder it would be made in.
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app",
                                                      libraryPath + "/sub/New.photolibrary"),
              AuthorizationStatus::Authorized);
}

TEST_F(AccessTest, ReadOnlyMediaAreRestricted) {
    // /proc is mounted read-only-ish on no system we can rely on; /sys is read-only in
    // most containers. Use whichever read-only mount this machine has.
    QFile mounts("/proc/self/mounts");
    ASSERT_TRUE(mounts.open(QIODevice::ReadOnly));
    QString readOnly;
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const auto f = line.split(' ');
        if (f.size() > 3 && f[3].split(',').contains("ro") &&
            QDir(QString::fromUtf8(f[1])).exists()) {
            readOnly = QString::fromUtf8(f[1]);
            break;
        }
    }
    if (readOnly.isEmpty())
        GTEST_SKIP() << "this machine has no read-only mount to test with";
    EXPECT_EQ(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, "app",
                                                      readOnly + "/Photos.photolibrary"),
              AuthorizationStatus::Restricted);
}

TEST_F(AccessTest, SystemLibraryResolution) {
    qunsetenv("PHOTOLIB_LIBRARY");
    EXPECT_EQ(systemLibraryPath(), defaultLibraryPath());
    EXPECT_TRUE(defaultLibraryPath().endsWith("/Photos.photolibrary"));
    setChosenLibraryPath(tmp.path() + "/Chosen.photolibrary");
    EXPECT_EQ(systemLibraryPath(), tmp.path() + "/Chosen.photolibrary");
    qputenv("PHOTOLIB_LIBRARY", (tmp.path() + "/Env.photolibrary").toUtf8());
    EXPECT_EQ(systemLibraryPath(), tmp.path() + "/Env.photolibrary");
    qunsetenv("PHOTOLIB_LIBRARY");
    setChosenLibraryPath({});
    EXPECT_EQ(systemLibraryPath(), defaultLibraryPath());
}
