#pragma once

#include <QString>

namespace testsupport {

// A fresh exFAT file system mounted at a folder for one test, as the drives and memory cards
// photos live on: renameat2 refuses RENAME_NOREPLACE there and there are no hard links. It
// needs root, a loop device, FUSE, exfatprogs and exfat-fuse; where one is missing, unusable()
// says which. Unmounted and freed when it goes.
class ExfatDrive {
public:
    // `folder` is made; the image file is put beside it.
    explicit ExfatDrive(const QString& folder);
    ~ExfatDrive();
    ExfatDrive(const ExfatDrive&) = delete;
    ExfatDrive& operator=(const ExfatDrive&) = delete;

    // Why no drive could be mounted, or empty when it is.
    QString unusable() const { return m_unusable; }
    QString path() const { return m_folder; }

private:
    QString m_folder, m_loop, m_unusable;
    bool m_mounted = false;
};

} // namespace testsupport
