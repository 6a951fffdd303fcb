#pragma once

#include "platform/photos/PhotoLibrary.h"
#include "support/TestSupport.h"

#include <QFileInfo>
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

// An item as `photolib list --json` describes it.
struct Item {
    struct Resource {
        int type = 0;
        QString name;
        QString uti;
        qint64 size = -1;
    };
    QString id;
    QJsonValue date; // ISO text with the capture offset, or null
    QJsonValue location;
    bool favorite = false;
    bool hidden = false;
    QStringList albums;
    std::vector<Resource> resources;

    QDateTime instant() const { return QDateTime::fromString(date.toString(), Qt::ISODate); }
    // The name stem every resource of a demo item shares ("img_0003").
    QString stem() const {
        return resources.empty() ? QString()
                                 : QFileInfo(resources.front().name).baseName().toLower();
    }
    // The size of the first resource of type `uti`; -1 when there is none.
    qint64 sizeOf(const QString& uti) const {
        for (const Resource& r : resources)
            if (r.uti == uti)
                return r.size;
        return -1;
    }
    bool isPair() const { return sizeOf("com.adobe.raw-image") >= 0 && sizeOf("public.jpeg") >= 0; }
    bool hasType(int type) const {
        for (const Resource& r : resources)
            if (r.type == type)
                return true;
        return false;
    }
    // "type:name:uti" for each resource, in order.
    QStringList summary() const {
        QStringList out;
        for (const Resource& r : resources)
            out << QString("%1:%2:%3").arg(r.type).arg(r.name, r.uti);
        return out;
    }
};

inline std::vector<Item> parseItems(const QString& json) {
    std::vector<Item> items;
    for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        Item item;
        item.id = o["localIdentifier"].toString();
        item.date = o["creationDate"];
        item.location = o["location"];
        item.favorite = o["isFavorite"].toBool();
        item.hidden = o["isHidden"].toBool();
        for (const QJsonValue& a : o["albums"].toArray())
            item.albums << a.toString();
        for (const QJsonValue& r : o["resources"].toArray())
            item.resources.push_back({r["type"].toInt(), r["originalFilename"].toString(),
                                      r["uniformTypeIdentifier"].toString(),
                                      qint64(r["fileSize"].toDouble(-1))});
        items.push_back(std::move(item));
    }
    return items;
}

// The item whose first resource is called `name`; an empty one when there is none.
inline Item named(const std::vector<Item>& items, const QString& name) {
    for (const Item& item : items)
        if (!item.resources.empty() && item.resources.front().name == name)
            return item;
    return {};
}

} // namespace tooltest

// Runs the real photolib executable against a new, empty library in a temporary folder.
class PhotolibTest : public ::testing::Test {
protected:
    using Result = tooltest::Result;
    using Item = tooltest::Item;

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        library = tmp.path() + "/Lib.photolibrary";
        ASSERT_NO_THROW(photos::PhotoLibrary::create(library));
        env = tooltest::environment(library, tmp.path() + "/config", tmp.path());
    }

    Result photolib(const QStringList& args, const std::function<void()>& inChild = {}) {
        return tooltest::run(env, testsupport::photolibPath(), args, inChild);
    }

    std::vector<Item> items(QStringList extra = {}) {
        Result r = photolib(QStringList{"list", "--json"} + extra);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return tooltest::parseItems(r.out);
    }

    QTemporaryDir tmp;
    QString library;
    QProcessEnvironment env;
};
