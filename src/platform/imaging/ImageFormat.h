#pragma once

#include <QByteArray>
#include <QString>

namespace imaging {

// What a file is, judged from its first bytes only (never from its name).
enum class ImageFormat {
    Unknown,
    Jpeg,
    // HEIF family: HEIC, HEIF, AVIF (an ISO-BMFF `ftyp` with one of their brands).
    Heif,
    // TIFF structure: plain TIFF and the TIFF-based camera RAW files (CR2, NEF, ARW, DNG, PEF, …),
    // which cannot be told apart from the magic number alone.
    Tiff,
    // Camera RAW containers that are not TIFF: CR3, RAF, ORF, RW2, CRW, X3F, MRW.
    CameraRaw,
};

// Number of leading bytes `sniffImageFormat` looks at; more are ignored.
inline constexpr int kSniffLength = 64;

// Thread-safe (pure).
ImageFormat sniffImageFormat(const QByteArray& head);
// Reads the first bytes of the file; Unknown when it cannot be read.
ImageFormat sniffImageFormatOfFile(const QString& path);

} // namespace imaging
