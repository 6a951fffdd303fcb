#pragma once

#include <QImage>
#include <QSize>

namespace bench {

// A picture with the kind of detail a camera records — broad gradients, soft shapes, sharp
// edges and sensor-like noise — so that codecs work about as hard as on real photographs
// (a 24 MP JPEG of it at quality 0.9 is about 2.7 MB). Different seeds give different
// pictures; the same seed gives the same one.
QImage cameraLikeImage(QSize size, quint32 seed);

} // namespace bench
