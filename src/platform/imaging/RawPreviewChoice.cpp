#include "platform/imaging/RawPreviewChoice.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace imaging::rawdetail {

namespace {

std::int64_t area(QSize size) {
    return std::int64_t(size.width()) * size.height();
}

} // namespace

bool sameAspect(QSize a, QSize b) {
    if (a.isEmpty() || b.isEmpty())
        return false;
    const double ratio = (double(a.width()) * b.height()) / (double(b.width()) * a.height());
    return std::abs(ratio - 1.0) <= 0.03;
}

std::vector<std::size_t> previewTrialOrder(const std::vector<QSize>& uprightSizes,
                                           std::optional<QSize> fullSize,
                                           const DecodeTarget& target) {
    const auto serves = [&](QSize size) {
        if (target.isFullSize())
            return fullSize && size.width() >= fullSize->width() &&
                   size.height() >= fullSize->height();
        return target.isSatisfiedBy(size);
    };
    QSize reference = fullSize.value_or(QSize());
    if (reference.isEmpty())
        for (QSize size : uprightSizes)
            if (area(size) > area(reference))
                reference = size;

    std::vector<std::size_t> matching, others;
    for (std::size_t i = 0; i < uprightSizes.size(); ++i) {
        if (!serves(uprightSizes[i]))
            continue;
        (sameAspect(uprightSizes[i], reference) ? matching : others).push_back(i);
    }
    std::stable_sort(matching.begin(), matching.end(), [&](std::size_t a, std::size_t b) {
        return area(uprightSizes[a]) < area(uprightSizes[b]);
    });
    std::stable_sort(others.begin(), others.end(), [&](std::size_t a, std::size_t b) {
        return area(uprightSizes[a]) > area(uprightSizes[b]);
    });
    matching.insert(matching.end(), others.begin(), others.end());
    return matching;
}

} // namespace imaging::rawdetail
