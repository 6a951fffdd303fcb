#include "ui/Symbols.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>
#include <mutex>

// Resources compiled into a static library are only linked in when something refers to them.
static void initSymbolResources() {
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(symbols); });
}

namespace twinslim {

namespace {

QString resourcePath(const QString& name) {
    initSymbolResources();
    const QString path = QStringLiteral(":/symbols/%1.svg").arg(name);
    return QFile::exists(path) ? path : QString();
}

} // namespace

QString symbolThemeName(const QString& name) {
    static const QHash<QString, QString> names = {
        {QStringLiteral("photo.stack"), QStringLiteral("image-x-generic")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("rectangle.stack.badge.plus"), QStringLiteral("list-add")},
        {QStringLiteral("square.and.arrow.down"), QStringLiteral("document-import")},
        {QStringLiteral("checkmark.circle"), QStringLiteral("emblem-ok")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("emblem-default")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("dialog-error")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning")},
        {QStringLiteral("pencil"), QStringLiteral("document-edit")},
        // "circle" (an empty selection mark) has no equivalent.
    };
    return names.value(name);
}

QIcon symbol(const QString& name) {
    const QString path = resourcePath(name);
    if (path.isEmpty())
        return {};
    const QIcon bundled(path);
    const QString themeName = symbolThemeName(name);
    return themeName.isEmpty() ? bundled : QIcon::fromTheme(themeName, bundled);
}

QPixmap symbolPixmap(const QString& name, int side, const QColor& color, qreal devicePixelRatio) {
    // Tables draw a mark in every visible row at each repaint: the drawing is made once per
    // look and kept (a handful of names, sizes and palette colours).
    static QHash<QString, QPixmap> made;
    const QString key = name + QLatin1Char('/') + QString::number(side) + QLatin1Char('/') +
                        QString::number(quint64(color.rgba64())) + QLatin1Char('/') +
                        QString::number(devicePixelRatio);
    if (const auto found = made.constFind(key); found != made.constEnd())
        return *found;
    const QString path = resourcePath(name);
    if (path.isEmpty() || side <= 0)
        return {};
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return {};
    const int pixels = std::max(1, int(std::lround(side * devicePixelRatio)));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    // The drawings are black on transparent: keep their coverage, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    painter.end();
    QPixmap pixmap = QPixmap::fromImage(std::move(image));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    if (made.size() >= 256)
        made.clear(); // looks that came and went: a changed palette, another screen
    made.insert(key, pixmap);
    return pixmap;
}

} // namespace twinslim
