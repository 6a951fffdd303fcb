#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace twinslim {

// One exported file as the ingest run sees it. A plain value.
struct FileSignature {
    QString url;                   // the file's path, exactly as listed from its folder
    QString base;                  // normalizedBase of its file name
    std::optional<QDateTime> date; // EXIF DateTimeOriginal as local wall-clock time
    qint64 width = 0;              // pixel size of the primary image; 0 when unknown
    qint64 height = 0;

    bool operator==(const FileSignature&) const = default;
};

// Extensions (lower case, without dot) of the files an ingest run takes: heic, heif, jpg, jpeg.
QStringList exportExtensions();

// The files directly inside `folder` (hidden ones included, subfolders never) whose extension,
// lower-cased, is one of exportExtensions(), as `folder` + "/" + name. Sorted by name, comparing
// Unicode scalar values of the NFC forms, so canonically equivalent names sort alike and the
// order is case-sensitive ("IMG_2" before "img_1"). Empty when the folder cannot be read.
//
// The extension is the text after the last dot of the name, unless that dot is the first
// character (".heic" is a hidden file without extension) or the last ("photo." has none).
// Names that are not valid UTF-8 are left out: they cannot be named back to open the file.
QStringList listExportedFiles(const QString& folder);

// The names directly inside `folder` that are not valid UTF-8 but end in one of
// exportExtensions(), for the run to list instead of losing them without a word: each with
// its invalid bytes written as \xNN. Sorted by their bytes.
QStringList listUndecodableExportNames(const QString& folder);

// `text` with every control character (C0, DEL, C1, line and paragraph separators) written
// as an escape (\n, \r, \t, else \u{XX}), so that a file name can never start a line of
// its own in a log.
QString escapedControlCharacters(const QString& text);

// The name stem both sides of a match are compared by, in four steps: the extension is removed
// (as above: only the last one, never from ".heic" or "photo."); then a "(n)" suffix with
// optional whitespace before it; then a whitespace-and-digits suffix; then Unicode space
// separators and tabs are trimmed from both ends (line breaks stay) and the rest lower-cased.
// Whitespace and digits are Unicode classes (U+00A0, U+3000, '٣', '３' count), and the suffixes
// must end the text. The result is in NFC, so canonically equivalent names give equal bases. It
// may be empty, as for "(3).heic".
QString normalizedBase(const QString& fileName);

// The signature of one file: base from the name alone; width, height and the EXIF
// DateTimeOriginal (in exactly "yyyy:MM:dd HH:mm:ss", read as local wall-clock time) of the
// primary image of a JPEG (frame header, first Exif APP1 segment) or HEIF file (ispe, Exif
// item describing the primary item), judged from the content. Reads only headers and
// metadata, never pixels. Never fails: anything that cannot be read stays empty (no date,
// 0 × 0), and a file whose image header cannot be found gives no date either.
FileSignature readSignature(const QString& url);

} // namespace twinslim
