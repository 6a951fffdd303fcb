#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace imaging {

// What photo programs (darktable, digiKam, RawTherapee, Lightroom) keep about a picture in
// its XMP sidecar and this system reads: star rating, colour label and keywords.
struct XmpSidecarData {
    std::optional<int> rating;        // xmp:Rating, -1 (rejected) to 5
    std::optional<QString> label;     // xmp:Label, a colour name
    QStringList keywords;             // dc:subject
    QStringList hierarchicalKeywords; // lr:hierarchicalSubject, as written ("Places|Paris")
    // exif:DateTimeOriginal (ISO 8601, or darktable's "2019:10:26 16:07:24.540"), in UTC,
    // with the offset it was written with when it had one, else xmp:CreateDate's when that
    // names the same wall-clock time.
    std::optional<QDateTime> captureDate;
    std::optional<int> captureOffsetSeconds;
    std::optional<double> latitude, longitude; // exif:GPSLatitude/GPSLongitude
    QStringList colourLabels; // darktable's colour labels, by number (0 red … 4 purple)

    // The keywords as albums: dc:subject and the leaf of each hierarchical keyword, each once.
    QStringList albumTitles() const;
};

// Reads an XMP packet (a sidecar's whole content); empty when it is not one.
std::optional<XmpSidecarData> parseXmpSidecar(const QByteArray& packet);

// What digiKam writes of a picture into its metadata when it is set to: its stars, its pick and
// colour labels by digiKam's numbers, and its tags by their paths ("Places/France/Lyon").
struct DigikamMarks {
    std::optional<int> rating;           // 0 to 5
    std::optional<int> pickLabel;        // 0 none, 1 rejected, 2 pending, 3 accepted
    std::optional<int> colourLabel;      // 0 none, 1 red, 2 orange … 8 black, 9 white
    std::optional<QStringList> tagPaths; // an empty list removes the tags a picture carries
};

// A change to a sidecar. Unset fields leave what the packet holds.
struct XmpSidecarEdit {
    std::optional<int> rating;
    // For a picture whose file lacks them or has them wrong: when and where it was taken.
    // With an offset, the date goes into xmp:CreateDate too; without one, it is written as
    // the machine's wall-clock time.
    std::optional<QDateTime> captureDate;
    std::optional<int> captureOffsetSeconds;
    std::optional<std::pair<double, double>> location; // latitude, longitude
    QStringList addKeywords;
    QStringList removeKeywords; // removed from dc:subject, and hierarchical ones ending in it
    // Takes rating (the highest), label (the first), keywords and darktable's colour labels
    // (all of them) from the sidecars of another picture's files.
    std::optional<QList<QByteArray>> mergeFrom;
    // Keywords as darktable writes a hierarchical tag: the whole path into
    // lr:hierarchicalSubject, each of its parts into dc:subject.
    QStringList addHierarchicalKeywords;
    // Replace dc:subject and lr:hierarchicalSubject with these, in this order, as darktable
    // rewrites them from its database; an empty list removes the property. Applied before
    // the keyword edits above.
    std::optional<QStringList> subjects, hierarchicalSubjects;
    // Replaces darktable's colour labels (0 red … 4 purple); an empty list removes them.
    std::optional<QList<int>> colourLabels;
    // digiKam's marks, into every property digiKam writes them to for the programs it knows.
    std::optional<DigikamMarks> digikam;
    // Plain text properties by their Exiv2 key ("Xmp.darktable.xmp_version"), as given;
    // applied last.
    std::vector<std::pair<std::string, std::string>> properties;
};

// The packet with the edit applied and everything else it holds kept (another program's
// edit history, titles, labels). An empty packet makes a new sidecar. Throws ImagingError
// when the packet is not XMP.
QByteArray editXmpSidecar(const QByteArray& packet, const XmpSidecarEdit& edit);

// A picture's bytes with digiKam's marks written in as digiKam writes them into a file: its XMP
// as in a sidecar, the rating also in EXIF's rating tags, the tags' names also in IPTC keywords;
// everything else the file holds is kept. Throws ImagingError when Exiv2 cannot write into
// pictures of its kind (a HEIC).
QByteArray embedDigikamMarks(const QByteArray& picture, const DigikamMarks& marks);

} // namespace imaging
