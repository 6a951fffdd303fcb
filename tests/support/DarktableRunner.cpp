#include "support/DarktableRunner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace darktablerun {

QString unavailableReason() {
    if (QStandardPaths::findExecutable(QStringLiteral("darktable")).isEmpty())
        return QStringLiteral("darktable is not installed (scripts/setup installs it)");
    if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        return QStringLiteral("xvfb-run is not installed: darktable needs a screen");
    return {};
}

bool run(const QString& libraryDb, const QString& configDir, const QString& lua, QString* log) {
    if (!unavailableReason().isEmpty())
        return false;
    QTemporaryDir scratch;
    const QString home = scratch.path() + QStringLiteral("/home");
    const QString cache = scratch.path() + QStringLiteral("/cache");
    QDir().mkpath(home);
    QDir().mkpath(cache);
    QDir().mkpath(configDir);
    const QString script = scratch.path() + QStringLiteral("/run.lua");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(lua.toUtf8());
    f.write("\nlocal dt = require \"darktable\"\n"
            "dt.control.sleep(300)\n"
            "dt.gui.action(\"global/quit\", 0, \"\", \"\", 1.0)\n");
    f.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    env.remove(QStringLiteral("XDG_CACHE_HOME"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("timeout"),
            {QStringLiteral("180"), QStringLiteral("xvfb-run"), QStringLiteral("-a"),
             QStringLiteral("-s"), QStringLiteral("-screen 0 1280x800x24"),
             QStringLiteral("darktable"), QStringLiteral("--configdir"), configDir,
             QStringLiteral("--cachedir"), cache, QStringLiteral("--library"), libraryDb,
             QStringLiteral("--disable-opencl"), QStringLiteral("--conf"),
             QStringLiteral("write_sidecar_files=on import"), QStringLiteral("--luacmd"),
             QStringLiteral("dofile('%1')").arg(script)});
    const bool finished = p.waitForFinished(200000);
    if (log)
        *log = QString::fromLocal8Bit(p.readAll());
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString emptyLibraryTemplate() {
    static QTemporaryDir dir;
    static const bool made = [] {
        const QString config = dir.path() + QStringLiteral("/config");
        return run(dir.path() + QStringLiteral("/library.db"), config, QString()) &&
               QFile::copy(config + QStringLiteral("/data.db"),
                           dir.path() + QStringLiteral("/data.db"));
    }();
    return made ? dir.path() : QString();
}

} // namespace darktablerun
