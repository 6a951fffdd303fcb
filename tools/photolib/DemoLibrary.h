#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace photolib {

// One item of a demonstration library, before its pictures are drawn.
struct DemoItem {
    enum class Kind {
        Pair,        // a camera JPEG (photo) with its DNG (alternate photo)
        RawOnly,     // a DNG alone
        JpegOnly,    // a JPEG alone
        RawWithHeic, // a HEIC with a DNG: no JPEG, so no RAW+JPEG pair
        RawRendered, // an edited DNG whose full-size rendering is a JPEG
    };
    Kind kind = Kind::Pair;
    int number = 0; // names the files (IMG_0001) and is drawn into the picture
    QSize size;
    std::optional<QDateTime> date; // capture instant; none: no EXIF date, no creation date
    std::optional<photos::Location> location;
    bool favorite = false;
    bool hidden = false;
    bool edited = false; // adjustment data and a full-size rendering
    QStringList albums;
};

// What a demonstration library holds, by the kinds above; the counts of favourites, edited,
// hidden and undated items are of the RAW+JPEG pairs.
struct DemoSummary {
    int pairs = 0;
    int favorites = 0;
    int edited = 0;
    int hidden = 0;
    int undated = 0;
    int rawOnly = 0;
    int jpegOnly = 0;
    int rawWithHeic = 0;
    int rawRendered = 0;
    QStringList albums;
};

constexpr int defaultDemoPairs = 60;

// The items of a demonstration library with `pairs` RAW+JPEG pairs, capture dates spread
// over the two years before `now`: a quarter within the last 30 days, a quarter 30 to 90
// days back, a quarter up to a year back, a quarter one to two years back. Deterministic.
std::vector<DemoItem> planDemo(int pairs, const QDateTime& now);
DemoSummary summarize(const std::vector<DemoItem>& items);

// The picture of an item: a colour gradient with shapes and the item number in large digits;
// null for an empty size.
QImage drawDemoPicture(int number, QSize size);

// Creates a new library at `path` (failing when anything exists there) holding `items`,
// written in batches; `progress` gets (items done, total). A library left half-made by a
// failure is removed again. Throws on failure.
void createDemoLibrary(const QString& path, const std::vector<DemoItem>& items,
                       const std::function<void(int, int)>& progress = {});

} // namespace photolib
