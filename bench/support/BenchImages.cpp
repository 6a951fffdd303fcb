#include "support/BenchImages.h"

#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <algorithm>

namespace bench {

QImage cameraLikeImage(QSize size, quint32 seed) {
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient sky(0, 0, size.width() * 0.3, size.height());
        sky.setColorAt(0, QColor::fromHsv(random.bounded(360), 120, 240));
        sky.setColorAt(1, QColor::fromHsv(random.bounded(360), 200, 90));
        p.fillRect(image.rect(), sky);
        const int shortSide = std::min(size.width(), size.height());
        for (int i = 0; i < 60; ++i) {
            const QPointF centre(random.bounded(size.width()), random.bounded(size.height()));
            const double radius = shortSide * (0.02 + random.bounded(0.2));
            QRadialGradient blob(centre, radius);
            blob.setColorAt(0, QColor::fromHsv(random.bounded(360), 180, 230, 200));
            blob.setColorAt(1, QColor::fromHsv(random.bounded(360), 200, 120, 0));
            p.setPen(Qt::NoPen);
            p.setBrush(blob);
            p.drawEllipse(centre, radius, radius);
        }
        // Fine, sharp structure: thin lines like branches, text or fabric.
        for (int i = 0; i < 400; ++i) {
            p.setPen(QPen(QColor::fromHsv(random.bounded(360), 90, random.bounded(256)),
                          1 + random.bounded(4)));
            const QPointF a(random.bounded(size.width()), random.bounded(size.height()));
            p.drawLine(a, a + QPointF(random.bounded(400) - 200, random.bounded(400) - 200));
        }
    }
    // Sensor noise, a few levels either way. With it a 24 MP JPEG at quality 0.9 is about
    // 2.7 MB and x265 works about as long per picture as on the 18 MP Canon sample JPEG
    // (2.1 MB): close to what cameras write.
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const quint32 n = random.generate();
            auto jitter = [&](int value, int shift) {
                return std::clamp(value + int((n >> shift) & 7) - 4, 0, 255);
            };
            const QRgb c = line[x];
            line[x] = qRgb(jitter(qRed(c), 0), jitter(qGreen(c), 4), jitter(qBlue(c), 8));
        }
    }
    return image;
}

} // namespace bench
