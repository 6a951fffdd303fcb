#pragma once

#include "platform/photos/PhotoLibrary.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <optional>

namespace photolib {

// One library item to be made from files of one folder that share a name stem.
struct ImportItem {
    struct File {
        QString path; // for reading; an alias when the real path is not valid UTF-8
        photos::ResourceType type;
        QString uniformTypeIdentifier;
        QString name;                                 // the file's name as the library records it
        std::shared_ptr<const QTemporaryDir> aliases; // keeps an alias `path` in place
    };
    std::vector<File> files; // the primary picture first
};

struct ImportSummary {
    int imported = 0;
    int alreadyPresent = 0;
    int skippedFiles = 0; // neither a picture nor a sidecar of one
};

// Groups the files of each folder (and its subfolders) by name stem: a JPEG or HEIC
// with a RAW of the same stem is one item (picture as photo, RAW as alternate photo);
// XMP/AAE sidecars join their picture as adjustment data; any picture alone is an item.
// Names that are not valid UTF-8 are kept apart: each byte that is not part of a character
// is recorded as "%XX".
std::vector<ImportItem> planImport(const QStringList& folders, int* skippedFiles);

// Imports the planned items into `library`, in batches, skipping items already there.
// With `albumTitle` the items (new or already present) are added to the first album of
// that title, which is created when missing. `progress` gets (done, total).
ImportSummary importItems(photos::PhotoLibrary& library, const std::vector<ImportItem>& items,
                          const std::optional<QString>& albumTitle,
                          const std::function<void(int, int)>& progress = {});

} // namespace photolib
