#pragma once

#include <QString>
#include <optional>

namespace photos {

class PhotoLibrary;

// Nothing when exported files may be written to `folder`; else the message saying why not:
// inside a folder library's tree each exported file would become a picture of the library,
// a duplicate of the replacement made from it.
std::optional<QString> exportFolderProblem(const PhotoLibrary& library, const QString& folder);

} // namespace photos
