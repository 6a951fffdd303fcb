#include <QCoreApplication>
#include <gtest/gtest.h>

// Qt's event loop, timers and queued calls need an application object; tests
// that show widgets provide their own main with a QApplication.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
