#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Internal to the imaging library: the EXIF blocks of a Canon CR3 file.
namespace imaging::detail {

// The TIFF-structured metadata blocks of a CR3 (ISO-BMFF) file, found in the Canon box of `moov`:
// CMT1 is IFD0, CMT2 the Exif IFD, CMT4 the GPS IFD, each as its own little TIFF file. Views into
// `file`; a block that is missing or cut off is empty. Only the boxes' headers are trusted as far
// as the data reaches, so a truncated file still yields the blocks it holds entirely.
struct Cr3Blocks {
    QByteArrayView ifd0;
    QByteArrayView exif;
    QByteArrayView gps;
};
Cr3Blocks cr3MetadataBlocks(QByteArrayView file);

} // namespace imaging::detail
