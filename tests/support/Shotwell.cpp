#include "support/Shotwell.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <sqlite3.h>
#include <stdexcept>

namespace testsupport {

QString shotwellMissing() {
    if (samplesDir().isEmpty())
        return "the sample folder ../shared/samples is absent";
    for (const char* script : {"make-camera-folder.sh", "mark-pictures.sh", "shotwell-library.sh"})
        if (!QFileInfo(realWorldScript(script)).isFile())
            return QString("the script ../shared/realworld/%1 is absent").arg(script);
    for (const char* program : {"shotwell", "xvfb-run", "openbox", "xdotool", "dbus-run-session",
                                "gsettings", "sqlite3", "exiftool"})
        if (QStandardPaths::findExecutable(program).isEmpty())
            return QString("%1 is not installed (Debian packages shotwell, xvfb, openbox, "
                           "xdotool, dbus, sqlite3 and libimage-exiftool-perl; only where "
                           "Shotwell's tests are wanted)")
                .arg(program);
    if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile"}) != 0)
        return "python3-tifffile is not installed";
    return {};
}

void runShotwell(const QString& photos, const QString& out, bool reuse,
                 const QString& whileRunning) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (reuse)
        env.insert("REUSE", "1");
    QStringList arguments{realWorldScript("shotwell-library.sh"), photos, out};
    if (!whileRunning.isEmpty())
        arguments << whileRunning;
    runRealWorldScript(arguments, 330000, env);
    if (!QFileInfo(out + "/data/data/photo.db").isFile())
        throw std::runtime_error("Shotwell made no photo.db in " + out.toStdString());
}

QString makeEmptyShotwellLibrary(const QString& folder) {
    QDir().mkpath(folder + "/data");
    const QByteArray dump = readFile(sourcePath("tests/fixtures/shotwell/empty-photo.sql"));
    if (dump.isEmpty())
        throw std::runtime_error("the dump of Shotwell's empty library is missing");
    const QString database = folder + "/data/photo.db";
    sqlite3* db = nullptr;
    char* error = nullptr;
    const bool made = sqlite3_open(QFile::encodeName(database).constData(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, dump.constData(), nullptr, nullptr, &error) == SQLITE_OK;
    const std::string why = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    sqlite3_close(db);
    if (!made)
        throw std::runtime_error(database.toStdString() + ": " + why);
    return database;
}

} // namespace testsupport
