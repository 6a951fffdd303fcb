#include "platform/imaging/DngLosslessJpeg.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <vector>

namespace imaging::rawdetail {

namespace {

constexpr int kPrecision = 8;
constexpr int kSymbols = kPrecision + 1; // difference categories 0..8

// Difference of each sample from its prediction: the left neighbour, or for the first column the
// sample above (the first row's first column is predicted from the middle of the range).
template <typename Visit>
void forEachDifference(std::span<const std::uint8_t> samples, int width, int height, int components,
                       Visit&& visit) {
    const int initial = 1 << (kPrecision - 1);
    const std::size_t stride = std::size_t(width) * components;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = samples.data() + stride * y;
        for (int c = 0; c < components; ++c) {
            const int pred = y == 0 ? initial : row[c - static_cast<std::ptrdiff_t>(stride)];
            visit(int(row[c]) - pred);
        }
        for (std::size_t i = components; i < stride; ++i)
            visit(int(row[i]) - int(row[i - components]));
    }
}

int category(int diff) {
    return std::bit_width(static_cast<unsigned>(diff < 0 ? -diff : diff));
}

// Code lengths from symbol frequencies, limited to 16 bits, as in ITU T.81 Annex K.2. A reserved
// symbol with frequency 1 keeps any real code from being all one bits.
std::array<int, kSymbols> codeLengths(const std::array<long long, kSymbols>& frequencies) {
    constexpr int n = kSymbols + 1;
    std::array<long long, n> freq{};
    std::copy(frequencies.begin(), frequencies.end(), freq.begin());
    freq[kSymbols] = 1;
    std::array<int, n> codesize{};
    std::array<int, n> others;
    others.fill(-1);
    for (;;) {
        int c1 = -1, c2 = -1;
        long long v = -1;
        for (int i = 0; i < n; ++i)
            if (freq[i] > 0 && (v < 0 || freq[i] <= v))
                v = freq[i], c1 = i;
        v = -1;
        for (int i = 0; i < n; ++i)
            if (freq[i] > 0 && i != c1 && (v < 0 || freq[i] <= v))
                v = freq[i], c2 = i;
        if (c2 < 0)
            break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        ++codesize[c1];
        while (others[c1] >= 0) {
            c1 = others[c1];
            ++codesize[c1];
        }
        others[c1] = c2;
        ++codesize[c2];
        while (others[c2] >= 0) {
            c2 = others[c2];
            ++codesize[c2];
        }
    }
    std::array<int, 33> bits{};
    for (int i = 0; i < n; ++i)
        if (codesize[i] > 0)
            ++bits[std::min(codesize[i], 32)];
    for (int i = 32; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0)
                --j;
            bits[i] -= 2;
            bits[i - 1] += 1;
            bits[j + 1] += 2;
            bits[j] -= 1;
        }
    }
    int i = 16;
    while (bits[i] == 0)
        --i;
    bits[i] -= 1; // drop the reserved symbol's code

    // Hand the lengths out again, shortest to the most frequent symbols.
    std::array<int, kSymbols> order;
    for (int s = 0; s < kSymbols; ++s)
        order[s] = s;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return codesize[a] != codesize[b]
                   ? (codesize[a] > 0 && (codesize[b] == 0 || codesize[a] < codesize[b]))
                   : a < b;
    });
    std::array<int, kSymbols> lengths{};
    int next = 0;
    for (int len = 1; len <= 16; ++len)
        for (int k = 0; k < bits[len]; ++k)
            lengths[order[next++]] = len;
    return lengths;
}

class BitWriter {
public:
    explicit BitWriter(QByteArray& out) : m_out(out) {}

    void put(std::uint32_t value, int count) {
        if (count == 0)
            return;
        m_buffer = (m_buffer << count) | (value & ((1ull << count) - 1));
        m_bits += count;
        while (m_bits >= 8) {
            m_bits -= 8;
            const char byte = static_cast<char>((m_buffer >> m_bits) & 0xFF);
            m_out.append(byte);
            if (byte == char(0xFF))
                m_out.append(char(0)); // byte stuffing
        }
    }

    void flush() {
        if (m_bits > 0)
            put(0x7F, 8 - m_bits); // pad with one bits
    }

private:
    QByteArray& m_out;
    std::uint64_t m_buffer = 0;
    int m_bits = 0;
};

void putMarker(QByteArray& out, std::uint8_t marker) {
    out.append(char(0xFF));
    out.append(char(marker));
}

void putWord(QByteArray& out, int value) {
    out.append(char((value >> 8) & 0xFF));
    out.append(char(value & 0xFF));
}

} // namespace

QByteArray encodeLosslessJpeg(std::span<const std::uint8_t> samples, int width, int height,
                              int components) {
    if (width < 1 || height < 1 || width > 65535 || height > 65535 || components < 1 ||
        components > 4)
        throw std::invalid_argument("lossless JPEG: size out of range");
    if (samples.size() != std::size_t(width) * height * components)
        throw std::invalid_argument("lossless JPEG: sample count does not match the size");

    std::array<long long, kSymbols> frequencies{};
    forEachDifference(samples, width, height, components,
                      [&](int diff) { ++frequencies[category(diff)]; });
    const std::array<int, kSymbols> lengths = codeLengths(frequencies);

    // Canonical codes in order of length, then symbol.
    std::array<std::uint32_t, kSymbols> codes{};
    std::vector<int> symbolsByLength;
    std::array<int, 17> countOfLength{};
    std::uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int s = 0; s < kSymbols; ++s)
            if (lengths[s] == len) {
                codes[s] = code++;
                symbolsByLength.push_back(s);
                ++countOfLength[len];
            }
        code <<= 1;
    }

    QByteArray out;
    out.reserve(static_cast<qsizetype>(samples.size() / 2 + 1024));
    putMarker(out, 0xD8); // SOI

    putMarker(out, 0xC3); // SOF3
    putWord(out, 8 + 3 * components);
    out.append(char(kPrecision));
    putWord(out, height);
    putWord(out, width);
    out.append(char(components));
    for (int c = 0; c < components; ++c) {
        out.append(char(c));
        out.append(char(0x11));
        out.append(char(0));
    }

    putMarker(out, 0xC4); // DHT: one DC table, id 0
    putWord(out, 2 + 1 + 16 + static_cast<int>(symbolsByLength.size()));
    out.append(char(0x00));
    for (int len = 1; len <= 16; ++len)
        out.append(char(countOfLength[len]));
    for (int s : symbolsByLength)
        out.append(char(s));

    putMarker(out, 0xDA); // SOS
    putWord(out, 6 + 2 * components);
    out.append(char(components));
    for (int c = 0; c < components; ++c) {
        out.append(char(c));
        out.append(char(0x00));
    }
    out.append(char(1)); // predictor 1: left neighbour
    out.append(char(0));
    out.append(char(0)); // no point transform

    BitWriter bits(out);
    forEachDifference(samples, width, height, components, [&](int diff) {
        const int cat = category(diff);
        bits.put(codes[cat], lengths[cat]);
        // Negative differences are sent as diff - 1 in `cat` bits.
        if (cat > 0)
            bits.put(static_cast<std::uint32_t>(diff < 0 ? diff - 1 : diff), cat);
    });
    bits.flush();
    putMarker(out, 0xD9); // EOI
    return out;
}

} // namespace imaging::rawdetail
