#pragma once

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <QSize>
#include <QString>
#include <ostream>

// Readable failure messages for sizes (TestSupport.h has the strings).
inline void PrintTo(const QSize& size, std::ostream* os) {
    *os << size.width() << "x" << size.height();
}

// Damaged copies of valid files, for the tests of what readers and decoders do with them.
namespace codectest {

// Cuts at a spread of lengths: the first bytes one by one, then every `step` bytes, then the
// last few.
inline QList<QByteArray> truncations(const QByteArray& data, int step = 97) {
    QList<QByteArray> cuts;
    for (qsizetype n = 0; n < std::min<qsizetype>(data.size(), 40); ++n)
        cuts.append(data.left(n));
    for (qsizetype n = 40; n < data.size(); n += step)
        cuts.append(data.left(n));
    for (qsizetype n = std::max<qsizetype>(0, data.size() - 4); n < data.size(); ++n)
        cuts.append(data.left(n));
    return cuts;
}

// `count` copies with a few random bytes overwritten each, reproducibly.
inline QList<QByteArray> mutations(const QByteArray& data, int count, quint32 seed = 20240607) {
    QRandomGenerator random(seed);
    QList<QByteArray> copies;
    for (int i = 0; i < count; ++i) {
        QByteArray copy = data;
        const int changes = 1 + int(random.bounded(8));
        for (int c = 0; c < changes && !copy.isEmpty(); ++c)
            copy[qsizetype(random.bounded(quint32(copy.size())))] = char(random.bounded(256));
        copies.append(copy);
    }
    return copies;
}

inline QByteArray randomBytes(int size, quint32 seed = 7) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

} // namespace codectest
