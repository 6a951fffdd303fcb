// The name stem a RAW file and its exported JPEG or HEIC are matched by. The input is a file name
// as UTF-8, decoded the way Qt decodes names read from a folder (invalid bytes become U+FFFD).
#include "ingest/FileSignature.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString name = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString base = twinslim::normalizedBase(name);

    // The result is in NFC, and canonically equivalent names give equal bases.
    if (base.normalized(QString::NormalizationForm_C) != base ||
        twinslim::normalizedBase(name.normalized(QString::NormalizationForm_D)) != base)
        std::abort();

    // Spaces and tabs are trimmed from both ends; line breaks stay.
    const auto trimmed = [](QChar c) {
        return c == u'\t' || c.category() == QChar::Separator_Space;
    };
    if (!base.isEmpty() && (trimmed(base.front()) || trimmed(base.back())))
        std::abort();

    // Only the last extension counts, so a RAW file and its export agree on any stem. A stem
    // whose name part is empty turns the extension into a hidden file's name, which is kept.
    if (!name.isEmpty() && !name.endsWith(u'/') &&
        twinslim::normalizedBase(name + QStringLiteral(".CR3")) !=
            twinslim::normalizedBase(name + QStringLiteral(".heic")))
        std::abort();
    return 0;
}
