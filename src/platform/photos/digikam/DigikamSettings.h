#pragma once

#include <QString>

namespace photos::digikam {

// What digiKam is set to write into the files of its collection (its metadata settings): by
// default nothing, its database holding ratings, labels and tags alone.
struct MetadataWriting {
    // digiKam's own numbers for where it writes.
    enum class Mode { FileOnly = 0, SidecarOnly = 1, SidecarAndFile = 2, SidecarForReadOnly = 3 };
    bool rating = false, tags = false, pickLabel = false, colourLabel = false;
    Mode mode = Mode::FileOnly;
    // Sidecars named IMG.xmp, as commercial programs name them, rather than IMG.JPG.xmp.
    bool compatibleSidecarName = false;

    bool writesAnything() const { return rating || tags || pickLabel || colourLabel; }
    // Whether digiKam tries the picture's own file first.
    bool triesFile() const { return mode != Mode::SidecarOnly; }
    // Whether a sidecar is written: always, or only when the file could not be written.
    bool writesSidecar(bool fileWritten) const {
        return mode == Mode::SidecarOnly || mode == Mode::SidecarAndFile ||
               (mode == Mode::SidecarForReadOnly && !fileWritten);
    }
    bool mayWriteSidecar() const { return writesAnything() && mode != Mode::FileOnly; }
    // The name digiKam gives the sidecar of the file named `fileName`.
    QString sidecarNameOf(const QString& fileName) const;

    // The settings in digiKam's configuration file; the defaults when there is none.
    static MetadataWriting fromConfiguration(const QString& digikamrc);
};

// The configuration (digikamrc) of the digiKam keeping `database`: `given` when the library was
// opened through one, else the user's own when it names this database; empty when none does.
QString configurationOf(const QString& database, const QString& given);

} // namespace photos::digikam
