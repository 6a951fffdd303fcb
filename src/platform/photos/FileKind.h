#pragma once

#include <QString>

namespace photos {

// What a file of a camera folder is to a photo library, judged by its name's extension.
enum class FileKind { Picture, Raw, Sidecar, EditFile, Other };

// JPEG and HEIF pictures, RAW files, XMP/AAE sidecars, and the edit files other RAW editors
// keep beside a picture (RawTherapee .pp3, ART .arp, DxO PhotoLab .dop); `uti` gets the
// file's type identifier when it has one.
FileKind fileKindOf(const QString& name, QString* uti);

} // namespace photos
