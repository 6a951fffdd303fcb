#pragma once

#include "core/PhotoPair.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace twinslim {

// The two resources that make an asset a RAW+JPEG pair.
struct PairResources {
    photos::ResourcePtr raw;
    photos::ResourcePtr jpeg;
};

// The first resource whose type identifier conforms to camera RAW and the first that
// conforms to JPEG, in the library's order; nothing unless both exist. Resource types
// (photo, alternate, full size…) play no part, and unknown identifiers are passed over.
std::optional<PairResources> pairResources(const std::vector<photos::ResourcePtr>& resources);

// The resource's size in bytes, absent when the library does not know it.
std::optional<qint64> resourceFileSize(const photos::ResourcePtr& resource);

// Both are called on the thread that reads the library.
using IsCancelled = std::function<bool()>;
using ScanProgress = std::function<void(int handled, int total)>;

// Reads the library synchronously on the calling thread and returns its pairs in fetch
// order, newest first. Bounds are inclusive; an absent bound sets no condition. Hidden
// assets are never found. Cancellation is polled before each asset; progress is
// reported after every 50th asset (after the 1st, the 51st, …) and once more at the end.
// A library that cannot be read yields no pairs, and an asset that cannot be read is
// left out.
std::vector<PhotoPair> readPairs(const std::shared_ptr<photos::PhotoLibrary>& library,
                                 const std::optional<QDateTime>& newerThan,
                                 const std::optional<QDateTime>& olderThan,
                                 const IsCancelled& isCancelled, const ScanProgress& progress);

// Runs readPairs over the shared library on the global thread pool and resumes the
// awaiting coroutine once, on its own thread, with the list.
QCoro::Task<std::vector<PhotoPair>> scan(std::optional<QDateTime> newerThan,
                                         std::optional<QDateTime> olderThan,
                                         IsCancelled isCancelled, ScanProgress progress);

} // namespace twinslim
