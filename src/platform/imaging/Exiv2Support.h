#pragma once

// Internal to the imaging library: Exiv2 set-up shared by its readers and writers.

namespace imaging::detail {

// Prepares Exiv2 for use from many threads: initialises the XMP toolkit once with a lock (it is
// not thread-safe by itself), enables ISO-BMFF (CR3) support and silences Exiv2's own logging,
// as every failure is caught and turned into empty values. Cheap after the first call.
void ensureExiv2Ready();

} // namespace imaging::detail
