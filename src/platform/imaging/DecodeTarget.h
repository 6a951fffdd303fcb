#pragma once

#include <QSize>

namespace imaging {

// How large a decoded picture must be. Decoders pick the cheapest way to reach at least this size
// (a reduced JPEG scale, a stored HEIC thumbnail) and never enlarge; the exact final sizing is
// left to the caller. Sizes are of the upright picture (after orientation). A plain value; its
// functions are pure and thread-safe.
struct DecodeTarget {
    enum class Mode {
        // Both sides at least the target's (the picture will cover the target and be cropped).
        Fill,
        // Large enough that fitting it inside the target needs no enlargement.
        Fit,
    };

    // Empty (either side ≤ 0): full size.
    QSize size;
    Mode mode = Mode::Fill;

    static DecodeTarget fullSize() { return {}; }
    static DecodeTarget fill(QSize size) { return {size, Mode::Fill}; }
    static DecodeTarget fit(QSize size) { return {size, Mode::Fit}; }
    // Fit inside a square of `side` pixels: the long side reaches `side`.
    static DecodeTarget longSide(int side) { return {QSize(side, side), Mode::Fit}; }

    bool isFullSize() const { return size.isEmpty(); }

    // True when a picture of `candidate` pixels is large enough.
    bool isSatisfiedBy(QSize candidate) const;

    // The smallest size with the aspect of `imageSize` that satisfies the target, but never more
    // than `imageSize` itself.
    QSize reducedSize(QSize imageSize) const;
};

} // namespace imaging
