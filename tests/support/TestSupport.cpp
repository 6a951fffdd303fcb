#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <stdexcept>

namespace testsupport {

QString realWorldScript(const char* name) {
    const QString samples = samplesDir();
    return samples.isEmpty() ? QString() : samples + "/../realworld/" + name;
}

void runRealWorldScript(const QStringList& arguments, int timeoutMs,
                        const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("bash", arguments);
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit ||
        p.exitCode() != 0) {
        p.kill();
        p.waitForFinished();
        throw std::runtime_error((arguments.join(' ') + " failed:\n").toStdString() +
                                 p.readAll().toStdString());
    }
}

QString samplesDir() {
    const QString dir =
        qEnvironmentVariable("TWINSLIM_SAMPLES", QStringLiteral(TWINSLIM_SAMPLES_DIR));
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return {};
    return QDir(dir).absolutePath();
}

QString photolibPath() {
    return qEnvironmentVariable("TWINSLIM_PHOTOLIB", QStringLiteral(TWINSLIM_PHOTOLIB_PATH));
}

QString twinslimCliPath() {
    return qEnvironmentVariable("TWINSLIM_CLI", QStringLiteral(TWINSLIM_CLI_PATH));
}

QString sourcePath(const QString& relative) {
    return QStringLiteral(TWINSLIM_SOURCE_DIR "/") + relative;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        throw std::runtime_error("cannot write test file " + path.toStdString());
}

void expectTrashListShows(const QStringList& paths, const QProcessEnvironment& env) {
    if (QStandardPaths::findExecutable("trash-list").isEmpty())
        return;
    QProcess list;
    list.setProcessEnvironment(env);
    list.start("trash-list", {});
    ASSERT_TRUE(list.waitForFinished(30000));
    const QString listed = QString::fromUtf8(list.readAllStandardOutput());
    for (const QString& path : paths)
        EXPECT_TRUE(listed.contains(path)) << listed.toStdString();
}

} // namespace testsupport
