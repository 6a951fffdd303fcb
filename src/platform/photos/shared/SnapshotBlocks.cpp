#include "platform/photos/shared/SnapshotBlocks.h"

#include <algorithm>

namespace photos::blocks {

FileBlock makeFiles(size_t count) {
    switch (count) {
    case 1:
        return makeFiles<1>();
    case 2:
        return makeFiles<2>();
    case 3:
        return makeFiles<3>();
    case 4:
        return makeFiles<4>();
    default: {
        auto p = std::make_shared<std::vector<AssetResource>>(count);
        return {p, p->data()};
    }
    }
}

QString joined(QStringView a, QStringView b, QStringView c) {
    QString s(a.size() + b.size() + c.size(), Qt::Uninitialized);
    QChar* out = s.data();
    out = std::copy(a.begin(), a.end(), out);
    out = std::copy(b.begin(), b.end(), out);
    std::copy(c.begin(), c.end(), out);
    return s;
}

QString itemIdentifier(const QString& prefix, qint64 key) {
    if (key < 0)
        return prefix + QStringLiteral("%1/L0/001").arg(key, 12, 16, QLatin1Char('0')).toUpper();
    int digits = 12;
    while (digits < 16 && (quint64(key) >> (4 * digits)) != 0)
        ++digits;
    static constexpr char16_t hex[] = u"0123456789ABCDEF";
    static constexpr char16_t suffix[] = u"/L0/001";
    QString id(prefix.size() + digits + 7, Qt::Uninitialized);
    QChar* out = id.data();
    std::copy(prefix.constData(), prefix.constData() + prefix.size(), out);
    out += prefix.size();
    for (int d = digits - 1; d >= 0; --d)
        *out++ = QChar(hex[(quint64(key) >> (4 * d)) & 15]);
    std::copy(suffix, suffix + 7, out);
    return id;
}

QString identifierOf(const QHash<qint64, QString>& made, const QString& prefix, qint64 key) {
    const auto identity = made.constFind(key);
    return identity != made.constEnd() ? *identity : itemIdentifier(prefix, key);
}

} // namespace photos::blocks
