// The environment every window test runs in: a QApplication (widgets need one, the shared
// TestMain only makes a QCoreApplication), the offscreen platform unless another was asked
// for, and preferences, photo library settings and the home folder in a temporary folder.
//
// This file's main takes the place of tests/support/TestMain.cpp: that one sits in the
// static test-support library, and the linker only takes it from there when no object of
// the program defines main.
#include "core/IsolatedEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <gtest/gtest.h>

TWINSLIM_ISOLATE_ENVIRONMENT();

// The window remembers its size, date range and table order; each test starts without them.
class ForgetWindowPreferences : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim")).remove("window");
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A library opened without a test library of its own is made under this home, never
    // under the user's ~/Pictures.
    const QString home = isolatedEnvironment.dir.filePath(QStringLiteral("home"));
    QDir().mkpath(home);
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toUtf8());
    qputenv("XDG_CACHE_HOME", (home + "/.cache").toUtf8());
    qunsetenv("PHOTOLIB_LIBRARY");

    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new ForgetWindowPreferences);
    return RUN_ALL_TESTS();
}
