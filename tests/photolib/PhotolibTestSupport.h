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

// Runs the real photolib executable against a new, empty library in a temporary folder,
// with its own settings folder, so nothing touches the user's home.
class PhotolibTest : public ::testing::Test {
protected:
    struct Result {
        int status = -1;
        QString out;
        QString err;
    };

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        library = tmp.path() + "/Lib.photolibrary";
        ASSERT_NO_THROW(photos::PhotoLibrary::create(library));
        env = QProcessEnvironment::systemEnvironment();
        env.insert("PHOTOLIB_LIBRARY", library);
        env.insert("XDG_CONFIG_HOME", tmp.path() + "/config");
        env.insert("TZ", "UTC");
        // Sanitizer builds: libheif's x265 plugin loses one allocation per encoded image
        // (heif-enc shows the same); photolib's HEIC writing must not fail on that.
        testsupport::writeFile(tmp.path() + "/lsan.supp", "leak:x265_malloc\n");
        env.insert("LSAN_OPTIONS",
                   "suppressions=" + tmp.path() + "/lsan.supp:print_suppressions=0");
    }

    // `inChild` runs in the child before photolib starts (limits, signal dispositions).
    Result photolib(const QStringList& args, const std::function<void()>& inChild = {}) {
        QProcess p;
        p.setProcessEnvironment(env);
        if (inChild)
            p.setChildProcessModifier(inChild);
        p.start(testsupport::photolibPath(), args);
        if (!p.waitForStarted(30000) || !p.waitForFinished(120000)) {
            ADD_FAILURE() << "photolib did not run: " << p.errorString().toStdString();
            return {};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
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
