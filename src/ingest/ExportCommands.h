#pragma once

#include <QString>
#include <QStringList>

namespace photos {
class PhotoLibrary;
}

namespace twinslim {

// The pixel limit of the non-favourites' export: the size the Step 1 message asks for.
inline constexpr int nonFavoriteExportSize = 3120;

// A folder the export albums of `library` may be exported to: "Twinslim Export" in the home
// folder, or in the temporary folder when the library's picture tree holds the home folder
// (every file below that tree is a picture of the library).
QString suggestedExportFolder(const photos::PhotoLibrary& library);

// `word` as a POSIX shell reads it back: bare when it has nothing the shell would take apart,
// else in double quotes, or single quotes when it holds what double quotes expand.
QString shellQuoted(const QString& word);

// The `photolib` commands that export the export albums with members, for the library at
// `library`'s path, into `folder`: the favourites at full size, the others at most
// nonFavoriteExportSize pixels; as HEIC, or JPEG where the library's program shows no HEIC. An
// empty album has no command. `separator` goes before the subcommand and before the folder: a
// space, or a backslash, a line break and an indent, to show each command on three lines that a
// shell still reads as one.
QStringList photolibExportCommands(const photos::PhotoLibrary& library, const QString& folder,
                                   bool favorites, bool others,
                                   const QString& separator = QStringLiteral(" "));

} // namespace twinslim
