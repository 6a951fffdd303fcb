#pragma once

#include "platform/photos/PhotoLibrary.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace tooltest {

struct Result {
    int status = -1;
    QString out;
    QString err;
};

// The tools' environment: the library, their own settings folder and home in a temporary
// folder, and local time UTC, so nothing touches the user's home.
inline QProcessEnvironment environment(const QString& library, const QString& config,
                                       const QString& scratch) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("PHOTOLIB_LIBRARY", library);
    e.insert("XDG_CONFIG_HOME", config);
    e.insert("HOME", scratch + "/home");
    e.insert("TZ", "UTC");
    e.insert("LC_ALL", "C.UTF-8");
    // Sanitizer builds: libheif's x265 plugin loses one allocation per encoded image
    // (heif-enc shows the same); HEIC writing must not fail on that.
    testsupport::writeFile(scratch + "/lsan.supp", "leak:x265_malloc\n");
    e.insert("LSAN_OPTIONS", "suppressions=" + scratch + "/lsan.supp:print_suppressions=0");
    return e;
}

// `inChild` runs in the child before the program starts (limits, signal dispositions).
inline Result run(const QProcessEnvironment& env, const QString& program, const QStringList& args,
                  const std::function<void()>& inChild = {}) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (inChild)
        p.setChildProcessModifier(inChild);
    p.start(program, args);
    p.closeWriteChannel(); // standard input is no terminal and at its end
    if (!p.waitForStarted(30000) || !p.waitForFinished(180000)) {
        ADD_FAILURE() << program.toStdString() << " did not run: " << p.errorString().toStdString();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

} // namespace tooltest

// Runs the real photolib executable against a new, empty library in a temporary folder.
class PhotolibTest : public ::testing::Test {
protected:
    using Result = tooltest::Result;

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        library = tmp.path() + "/Lib.photolibrary";
        ASSERT_NO_THROW(photos::PhotoLibrary::create(library));
        env = tooltest::environment(library, tmp.path() + "/config", tmp.path());
    }

    Result photolib(const QStringList& args, const std::function<void()>& inChild = {}) {
        return tooltest::run(env, testsupport::photolibPath(), args, inChild);
    }

    QJsonArray listJson(QStringList extra = {}) {
        Result r = photolib(QStringList{"list", "--json"} + extra);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    QTemporaryDir tmp;
    QString library;
    QProcessEnvironment env;
};
