#include "support/ExfatDrive.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <optional>
#include <unistd.h>

namespace testsupport {
namespace {

// A program's output, or nothing when it failed. The output goes through a file: a daemon the
// program leaves running (the FUSE mount) keeps no pipe open.
std::optional<QString> run(const QString& program, const QStringList& arguments,
                           const QString& scratch) {
    QProcess p;
    p.setStandardOutputFile(scratch);
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    QFile out(scratch);
    return out.open(QIODevice::ReadOnly) ? QString::fromUtf8(out.readAll()).trimmed() : QString();
}

} // namespace

ExfatDrive::ExfatDrive(const QString& folder) : m_folder(folder) {
    const QStringList system{"/usr/sbin", "/sbin", "/usr/bin", "/bin"};
    const QString mkfs = QStandardPaths::findExecutable("mkfs.exfat", system);
    const QString mount = QStandardPaths::findExecutable("mount.exfat-fuse", system);
    const QString losetup = QStandardPaths::findExecutable("losetup", system);
    if (::geteuid() != 0 || mkfs.isEmpty() || mount.isEmpty() || losetup.isEmpty()) {
        m_unusable = "mounting an exFAT drive needs root, losetup, exfatprogs and exfat-fuse";
        return;
    }
    const QString image = folder + ".img", scratch = folder + ".out";
    QDir().mkpath(folder);
    QFile sparse(image);
    if (!sparse.open(QIODevice::WriteOnly) || !sparse.resize(qint64(64) << 20)) {
        m_unusable = "no room for an exFAT image";
        return;
    }
    sparse.close();
    if (!run(mkfs, {image}, scratch)) {
        m_unusable = "mkfs.exfat cannot make a file system here";
        return;
    }
    m_loop = run(losetup, {"-f", "--show", image}, scratch).value_or(QString());
    if (m_loop.isEmpty()) {
        m_unusable = "no loop device can be set up here";
        return;
    }
    m_mounted = run(mount, {m_loop, folder}, scratch).has_value();
    if (!m_mounted)
        m_unusable = "FUSE cannot mount the exFAT drive here";
}

ExfatDrive::~ExfatDrive() {
    const QString scratch = m_folder + ".out";
    if (m_mounted)
        run("umount", {m_folder}, scratch);
    if (!m_loop.isEmpty())
        run("losetup", {"-d", m_loop}, scratch);
}

} // namespace testsupport
