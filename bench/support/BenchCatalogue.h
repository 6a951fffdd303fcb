#pragma once

#include "support/BenchSmoke.h"

#include <QDateTime>
#include <QString>

namespace photos {
class PhotoLibrary;
}

namespace bench {

struct CatalogueShape {
    int assets = sized(100000, 2000);
    int pairPercent = 10; // RAW+JPEG pairs
    int hiddenPercent = 1;
    int albums = sized(300, 20);
    int yearsSpanned = 3;
    QDateTime newest = QDateTime(QDate(2026, 11, 30), QTime(12, 0), Qt::UTC);
};

// Builds a library at `path` with the service's own schema and fills its catalogue in
// bulk: a mix of JPEG-only, HEIC-only, RAW+JPEG pairs (some with sidecars or renderings),
// hidden items and albums of realistic sizes. Resource files are not written: the
// catalogue is what the scan reads. Returns the number of pairs outside hidden items.
int buildCatalogue(const QString& path, const CatalogueShape& shape = {});

// Builds a catalogue library at `path` holding the items and albums of the library `source`
// (of any kind) as they are: identifiers, dates, favourites, resources with their types, names
// and sizes, albums with their members. As above, no resource file is written.
void buildCatalogueLike(const QString& path, photos::PhotoLibrary& source);

// The plain SQL query a scan competes with: one statement returning every visible
// RAW+JPEG pair created at or after `newerThan`, newest first, with its album titles.
// Returns the number of rows.
int plainPairQuery(const QString& path, const QDateTime& newerThan);

} // namespace bench
