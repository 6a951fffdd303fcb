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
    // The test's Lua runs protected, so that darktable quits whatever it does; an error in it
    // is reported as a failed run.
    const QString script = scratch.path() + QStringLiteral("/run.lua");
    const QString body = scratch.path() + QStringLiteral("/body.lua");
    const QString failure = scratch.path() + QStringLiteral("/failure.txt");
    QFile b(body), f(script);
    if (!b.open(QIODevice::WriteOnly) || !f.open(QIODevice::WriteOnly))
        return false;
    b.write(lua.toUtf8());
    b.close();
    f.write(QStringLiteral("local dt = require \"darktable\"\n"
                           "local ok, err = pcall(dofile, \"%1\")\n"
                           "if not ok then\n"
                           "  local out = io.open(\"%2\", \"w\")\n"
                           "  out:write(tostring(err))\n"
                           "  out:close()\n"
                           "end\n"
                           "dt.control.sleep(300)\n"
                           "dt.gui.action(\"global/quit\", 0, \"\", \"\", 1.0)\n")
                .arg(body, failure)
                .toUtf8());
    f.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    env.remove(QStringLiteral("XDG_CACHE_HOME"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    // timeout signals its whole process group: darktable too, not only xvfb-run, and KILL
    // when darktable does not stop.
    p.start(QStringLiteral("timeout"),
            {QStringLiteral("--kill-after=10"), QStringLiteral("120"), QStringLiteral("xvfb-run"),
             QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1280x800x24"),
             QStringLiteral("darktable"), QStringLiteral("--configdir"), configDir,
             QStringLiteral("--cachedir"), cache, QStringLiteral("--library"), libraryDb,
             QStringLiteral("--disable-opencl"), QStringLiteral("--conf"),
             QStringLiteral("write_sidecar_files=on import"), QStringLiteral("--luacmd"),
             QStringLiteral("dofile('%1')").arg(script)});
    const bool finished = p.waitForFinished(200000);
    QString output = QString::fromLocal8Bit(p.readAll());
    QFile failed(failure);
    if (failed.open(QIODevice::ReadOnly))
        output += QStringLiteral("\nthe test's Lua failed: ") + QString::fromUtf8(failed.readAll());
    if (log)
        *log = output;
    return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 &&
           !failed.exists();
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
