#include "support/BenchScan.h"

#include "platform/photos/PhotoLibrary.h"
#include "platform/types/UTType.h"

#include <benchmark/benchmark.h>

namespace bench {

int scanPattern(const photos::PhotoLibrary& lib, const photos::FetchOptions& options) {
    using namespace photos;
    int pairs = 0;
    for (const AssetPtr& a : lib.fetchAssets(MediaType::Image, options)) {
        ResourcePtr raw, jpeg;
        for (const ResourcePtr& r : lib.assetResources(a)) {
            if (!raw && uti::conformsToRaw(r->uniformTypeIdentifier))
                raw = r;
            if (!jpeg && uti::conformsToJpeg(r->uniformTypeIdentifier))
                jpeg = r;
        }
        if (!raw || !jpeg)
            continue;
        QStringList titles;
        for (const CollectionPtr& c :
             lib.fetchAssetCollectionsContainingAsset(a, CollectionType::Album))
            if (c->localizedTitle)
                titles << *c->localizedTitle;
        benchmark::DoNotOptimize(titles);
        ++pairs;
    }
    return pairs;
}

} // namespace bench
