#include "support/Digikam.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace testsupport {

QString digikamMissing() {
    if (samplesDir().isEmpty())
        return "the sample folder ../shared/samples is absent";
    for (const char* script : {"make-camera-folder.sh", "mark-pictures.sh", "digikam-library.sh"})
        if (!QFileInfo(realWorldScript(script)).isFile())
            return QString("the script ../shared/realworld/%1 is absent").arg(script);
    for (const char* program :
         {"digikam", "xvfb-run", "openbox", "xdotool", "dbus-run-session", "sqlite3", "exiftool"})
        if (QStandardPaths::findExecutable(program).isEmpty())
            return QString("%1 is not installed (Debian packages digikam, xvfb, openbox, xdotool, "
                           "dbus, sqlite3 and libimage-exiftool-perl; digiKam is large, so only "
                           "where its tests are wanted)")
                .arg(program);
    if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile"}) != 0)
        return "python3-tifffile is not installed";
    return {};
}

void makeMarkedCameraFolder(const QString& photos) {
    runRealWorldScript({realWorldScript("make-camera-folder.sh"), photos, samplesDir()}, 120000);
    runRealWorldScript({realWorldScript("mark-pictures.sh"), photos}, 60000);
}

void makeDigikamLibrary(const QString& photos, const QString& out, const QProcessEnvironment& env) {
    runRealWorldScript({realWorldScript("digikam-library.sh"), photos, out}, 330000, env);
    if (!QFileInfo(photos + "/digikam4.db").isFile())
        throw std::runtime_error("digiKam made no digikam4.db in " + photos.toStdString());
}

void reopenWithDigikam(const QString& photos, const QString& out, const QString& whileRunning,
                       const QProcessEnvironment& given) {
    QProcessEnvironment env = given;
    env.insert("REUSE", "1");
    QStringList arguments{realWorldScript("digikam-library.sh"), photos, out};
    if (!whileRunning.isEmpty())
        arguments << whileRunning;
    runRealWorldScript(arguments, 330000, env);
}

void makeEmptyDigikamLibrary(const QString& photos) {
    QDir().mkpath(photos);
    QString dump =
        QString::fromUtf8(readFile(sourcePath("tests/fixtures/digikam/empty-digikam4.sql")));
    if (dump.isEmpty())
        throw std::runtime_error("the dump of digiKam's empty library is missing");
    dump.replace("@COLLECTION@", QString(photos).replace("'", "''"));
    sqlite3* db = nullptr;
    char* error = nullptr;
    const QString database = photos + "/digikam4.db";
    const bool made =
        sqlite3_open(QFile::encodeName(database).constData(), &db) == SQLITE_OK &&
        sqlite3_exec(db, dump.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
    const std::string why = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    sqlite3_close(db);
    if (!made)
        throw std::runtime_error(database.toStdString() + ": " + why);
}

QString emptyDigikamDatabase() {
    const QString cache = QStringLiteral(TWINSLIM_TEST_CACHE_DIR "/digikam-empty");
    const QString database = cache + "/photos/digikam4.db";
    QDir().mkpath(cache);
    // Test programs run side by side: one makes it, the others wait for it.
    const int lock =
        ::open(QFile::encodeName(cache + "/.lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        throw std::runtime_error("the cache of digiKam's empty library cannot be locked");
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{lock};
    if (!QFileInfo(database).isFile()) {
        QDir(cache + "/photos").removeRecursively();
        QDir().mkpath(cache + "/photos");
        makeDigikamLibrary(cache + "/photos", cache + "/digikam");
    }
    return database;
}

} // namespace testsupport
