#include "platform/imaging/DecodeTarget.h"

namespace imaging {

bool DecodeTarget::isSatisfiedBy(QSize candidate) const {
    if (isFullSize())
        return false;
    if (mode == Mode::Fill)
        return candidate.width() >= size.width() && candidate.height() >= size.height();
    // Same aspect either way: reaching the target on one side means the other side fits.
    return candidate.width() >= size.width() || candidate.height() >= size.height();
}

QSize DecodeTarget::reducedSize(QSize imageSize) const {
    if (isFullSize() || imageSize.isEmpty() || !isSatisfiedBy(imageSize))
        return imageSize;
    QSize reduced = imageSize.scaled(size, mode == Mode::Fill ? Qt::KeepAspectRatioByExpanding
                                                              : Qt::KeepAspectRatio);
    reduced = reduced.boundedTo(imageSize).expandedTo(QSize(1, 1));
    return reduced;
}

} // namespace imaging
