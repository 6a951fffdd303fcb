#include "platform/imaging/FileRead.h"
#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace imaging;

// A file that shrinks after the reader opened it (a disk pulled out, another program cutting it
// short) fails cleanly: reading a mapping past the new end would kill the process with SIGBUS.
TEST(FileRead, FileCutWhileBeingReadGivesNothingInsteadOfACrash) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("cut.dng");
    const QByteArray dng = fixtures::makeDng(QSize(96, 64), "2021:03:04 05:06:07", {}, 1, 64);
    const struct {
        const char* what;
        std::function<bool()> givesNothing;
    } readers[] = {
        {"decodeRaw", [&] { return decodeRaw(path, DecodeTarget::fit(QSize(30, 30))).isNull(); }},
        {"rawPreviewInfo", [&] { return !rawPreviewInfo(path).has_value(); }},
        {"readImageMetadata", [&] { return !readImageMetadata(path).dateTimeOriginal; }},
    };
    for (const auto& reader : readers) {
        testsupport::writeFile(path, dng);
        detail::setFileOpenedHook(
            [&] { ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), 0), 0); });
        EXPECT_TRUE(reader.givesNothing()) << reader.what;
        detail::setFileOpenedHook({});
    }
    // Unchanged, the same file reads.
    testsupport::writeFile(path, dng);
    EXPECT_FALSE(decodeRaw(path, DecodeTarget::fit(QSize(30, 30))).isNull());
    EXPECT_EQ(readImageMetadata(path).dateTimeOriginal, "2021:03:04 05:06:07");
}
