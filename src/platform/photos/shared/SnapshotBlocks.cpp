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

QString StringBlock::partAt(qsizetype at) {
    QString::DataPointer part = m_block.data_ptr(); // one reference more to the block
    part.ptr += at;
    part.size = m_used - at;
    m_data[m_used++] = QChar(u'\0');
    return QString(std::move(part));
}

QString StringBlock::add(std::initializer_list<QStringView> pieces) {
    const qsizetype at = m_used;
    qsizetype length = 0;
    for (QStringView piece : pieces)
        length += piece.size();
    Q_ASSERT(m_used + length < m_block.size());
    QChar* out = m_data + at;
    for (QStringView piece : pieces)
        out = std::copy(piece.begin(), piece.end(), out);
    m_used += length;
    return partAt(at);
}

QString StringBlock::addUtf8(QStringView before, QByteArrayView utf8, QStringView after) {
    const qsizetype at = m_used;
    Q_ASSERT(m_used + before.size() + utf8.size() + after.size() < m_block.size());
    QChar* out = std::copy(before.begin(), before.end(), m_data + at);
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return uchar(c) < 0x80; })) {
        for (char c : utf8)
            *out++ = QChar(uchar(c));
    } else { // never longer than its bytes
        const QString s = QString::fromUtf8(utf8);
        out = std::copy(s.begin(), s.end(), out);
    }
    out = std::copy(after.begin(), after.end(), out);
    m_used = out - m_data;
    return partAt(at);
}

QString tailOf(const QString& s, qsizetype from) {
    QString::DataPointer tail = s.data_ptr();
    if (!tail.d_ptr()) // static or raw data, nothing to share
        return s.sliced(from);
    tail.ptr += from;
    tail.size -= from;
    return QString(std::move(tail));
}

int hexDigitsOf(qint64 key, char16_t* out) {
    int digits = 12;
    while (digits < 16 && (quint64(key) >> (4 * digits)) != 0)
        ++digits;
    static constexpr char16_t hex[] = u"0123456789ABCDEF";
    for (int d = digits - 1; d >= 0; --d)
        *out++ = hex[(quint64(key) >> (4 * d)) & 15];
    return digits;
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
    char16_t digits[16];
    return joined(prefix, QStringView(digits, hexDigitsOf(key, digits)), u"/L0/001");
}

QString identifierOf(const QHash<qint64, QString>& made, const QString& prefix, qint64 key) {
    const auto identity = made.constFind(key);
    return identity != made.constEnd() ? *identity : itemIdentifier(prefix, key);
}

} // namespace photos::blocks
