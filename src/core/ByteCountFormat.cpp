#include "core/ByteCountFormat.h"

#include <QLocale>
#include <cmath>

namespace twinslim {

QString formatByteCount(qint64 bytes) {
    const QLocale locale;
    const quint64 magnitude = bytes < 0 ? 0 - quint64(bytes) : quint64(bytes);
    if (magnitude == 1)
        return locale.toString(bytes) + QStringLiteral(" byte");
    if (magnitude < 1000)
        return locale.formattedDataSize(bytes, 0, QLocale::DataSizeSIFormat);

    int power = 0;
    quint64 unit = 1;
    while (magnitude / unit >= 1000 && power < 6) {
        unit *= 1000;
        ++power;
    }
    if (power >= 6) // exabytes: nothing above to round up into
        return locale.formattedDataSize(bytes, 2, QLocale::DataSizeSIFormat);

    auto digitsFor = [](int p) { return p == 1 ? 0 : p == 2 ? 1 : 2; };
    int digits = digitsFor(power);
    auto scaled = [&] {
        return quint64(std::llround(double(magnitude) / double(unit) * std::pow(10.0, digits)));
    };
    quint64 shown = scaled();
    // 999.96 MB is shown as 1 GB, not as "1,000.0 MB".
    if (shown >= 1000 * quint64(std::pow(10.0, digits))) {
        unit *= 1000;
        ++power;
        digits = digitsFor(power);
        shown = scaled();
    }
    while (digits > 0 && shown % 10 == 0) {
        shown /= 10;
        --digits;
    }
    // A byte count whose value in the chosen unit is exactly the rounded figure, so the
    // locale's formatter prints just those digits.
    const quint64 exact = shown * (unit / quint64(std::pow(10.0, digits)));
    const qint64 signedExact = bytes < 0 ? -qint64(exact) : qint64(exact);
    return locale.formattedDataSize(signedExact, digits, QLocale::DataSizeSIFormat);
}

} // namespace twinslim
