#include "support/Darktable.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <functional>
#include <signal.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

namespace {

// A Lua string literal holding `s`.
QString luaString(const QString& s) {
    QString quoted = s;
    quoted.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return '"' + quoted + '"';
}

} // namespace

QString darktableMissing() {
    for (const char* program : {"darktable", "xvfb-run"})
        if (QStandardPaths::findExecutable(program).isEmpty())
            return QString("%1 is not installed (Debian packages darktable and xvfb)").arg(program);
    return {};
}

namespace {

// One run of darktable; empty when the code ran, else what went wrong.
QString runOnce(const QString& libraryDb, const QString& lua) {
    const QString dir = QFileInfo(libraryDb).absolutePath();
    const QString work = dir + "/darktable-run";
    QDir(work).removeRecursively();
    QDir().mkpath(work + "/home");
    QDir().mkpath(dir + "/config");
    const QString log = work + "/lua.log";
    // darktable swallows errors of --luacmd code: the outcome goes to a file we read back.
    // The quit action ends darktable as its menu would once the code has run.
    writeFile(work + "/run.lua",
              ("local dt = require \"darktable\"\n"
               // Startup's own Lua events first: holding the Lua lock while they are
               // pending is what makes darktable deadlock.
               "dt.control.sleep(1000)\n"
               "local ok, err = pcall(function()\n" +
               lua +
               "\nend)\n"
               "local log = io.open(" +
               luaString(log) +
               ", \"w\")\n"
               "log:write(ok and \"ok\\n\" or (\"error: \" .. tostring(err) .. \"\\n\"))\n"
               "log:close()\n"
               "dt.control.sleep(300)\n"
               "dt.gui.action(\"global/quit\", 0, \"\", \"\", 1.0)\n")
                  .toUtf8());
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", work + "/home"); // never the user's darktable settings
    env.remove("DISPLAY");
    // GTK's accessibility bridge starts a D-Bus daemon of its own that outlives darktable.
    env.insert("NO_AT_BRIDGE", "1");
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setChildProcessModifier([] { ::setsid(); }); // so that darktable and Xvfb go with it
    p.start("xvfb-run",
            {"-a", "-s", "-screen 0 1280x800x24", "darktable", "--configdir", dir + "/config",
             "--cachedir", work + "/cache", "--library", libraryDb, "--disable-opencl", "--luacmd",
             "dofile(" + luaString(work + "/run.lua") + ")"});
    p.closeWriteChannel();
    const bool finished = p.waitForStarted(30000) && p.waitForFinished(60000);
    if (!finished) {
        ::kill(-pid_t(p.processId()), SIGKILL);
        p.waitForFinished(10000);
    }
    const QString outcome = QString::fromUtf8(readFile(log)).trimmed();
    if (finished && outcome == "ok")
        return {};
    return "darktable " + QString(finished ? "ran" : "did not finish") + ": " +
           (outcome.isEmpty() ? QString("the Lua code never ran") : outcome) + "\n" +
           QString::fromUtf8(p.readAll()).right(3000);
}

// darktable 4.2 now and then deadlocks between its Lua and GUI threads when Lua code runs
// at its start; another start gets through.
void runWithRetries(const QString& libraryDb, const QString& lua,
                    const std::function<void()>& beforeEach) {
    QString failure;
    for (int attempt = 0; attempt < 3; ++attempt) {
        beforeEach();
        failure = runOnce(libraryDb, lua);
        if (failure.isEmpty() || !failure.contains("did not finish"))
            break;
    }
    if (!failure.isEmpty())
        throw std::runtime_error(failure.toStdString());
}

} // namespace

void runDarktable(const QString& libraryDb, const QString& lua) {
    runWithRetries(libraryDb, lua, [] {});
}

namespace {

// Lua code importing `folders`. A folder's import goes on in the background after the call
// returns; darktable says when each is done, sidecars written, and only then may code go on.
QString importLua(const QStringList& folders) {
    if (folders.isEmpty())
        return {};
    QString imports = "local done = 0\n"
                      "dt.register_event('twinslim-test', 'post-import-film',\n"
                      "  function() done = done + 1 end)\n";
    for (const QString& folder : folders)
        imports += "dt.database.import(" + luaString(QDir(folder).absolutePath()) + ")\n";
    return imports + QString("for i = 1, 1200 do\n"
                             "  if done >= %1 then break end\n"
                             "  dt.control.sleep(50)\n"
                             "end\n"
                             "if done < %1 then error('the import did not finish') end\n")
                         .arg(folders.size());
}

} // namespace

void makeDarktableLibrary(const QString& libraryDb, const QStringList& folders,
                          const QString& setupLua) {
    const QString imports = importLua(folders);
    const QString dir = QFileInfo(libraryDb).absolutePath();
    runWithRetries(libraryDb, imports + setupLua, [&] {
        for (const QString& name : QDir(dir).entryList({"library.db*"}, QDir::Files))
            QFile::remove(dir + "/" + name);
        QDir(dir + "/config").removeRecursively();
    });
}

QMap<QString, DarktableImage> darktableImages(const QString& libraryDb,
                                              const QStringList& importFirst) {
    const QString listing = QFileInfo(libraryDb).absolutePath() + "/images.txt";
    QFile::remove(listing);
    // One line per image: path, stars, group leader, colour labels, tags, id and capture time,
    // tab-separated.
    runDarktable(libraryDb, importLua(importFirst) + "local out = io.open(" + luaString(listing) +
                                ", \"w\")\n"
                                "for i = 1, #dt.database do\n"
                                "  local im = dt.database[i]\n"
                                "  local colors, tags = {}, {}\n"
                                "  for n, c in ipairs({\"red\", \"yellow\", \"green\", \"blue\", "
                                "\"purple\"}) do\n"
                                "    if im[c] then colors[#colors + 1] = tostring(n - 1) end\n"
                                "  end\n"
                                "  for _, t in ipairs(dt.tags.get_tags(im)) do\n"
                                "    if not t.name:match(\"^darktable|\") then\n"
                                "      tags[#tags + 1] = t.name\n"
                                "    end\n"
                                "  end\n"
                                "  table.sort(tags)\n"
                                "  out:write(im.path .. \"/\" .. im.filename, \"\\t\", "
                                "im.rating, \"\\t\", im.group_leader.id, \"\\t\", "
                                "table.concat(colors, \",\"), \"\\t\", table.concat(tags, "
                                "\";\"), \"\\t\", im.id, \"\\t\", "
                                "im.exif_datetime_taken, \"\\n\")\n"
                                "end\n"
                                "out:close()\n");
    QMap<QString, DarktableImage> images;
    for (const QString& line : QString::fromUtf8(readFile(listing)).split('\n')) {
        const QStringList f = line.split('\t');
        if (f.size() != 7)
            continue;
        images.insert(f[0],
                      {f[1].toInt(), f[3].split(',', Qt::SkipEmptyParts),
                       f[4].split(';', Qt::SkipEmptyParts), f[2].toInt(), f[5].toInt(), f[6]});
    }
    return images;
}

} // namespace testsupport
