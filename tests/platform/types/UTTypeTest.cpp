#include "platform/types/UTType.h"

#include <gtest/gtest.h>

using uti::UTType;

// Conformance follows the whole tree; identifiers compare ignoring case; unknown ones are no type.
TEST(UTType, ConformanceAndIdentifiers) {
    struct Row {
        const char* id;
        bool raw, jpeg, image;
    };
    const Row rows[] = {
        {"public.jpeg", false, true, true},
        {"Public.JPEG", false, true, true},
        {"public.heic", false, false, true},
        {"public.camera-raw-image", true, false, true},
        {"com.adobe.raw-image", true, false, true},
        {"COM.Adobe.Raw-Image", true, false, true},
        {"com.canon.cr3-raw-image", true, false, true},
        {"com.sony.arw-raw-image", true, false, true},
        {"public.png", false, false, true},
        {"com.adobe.xmp", false, false, false},
        {"public.mpeg-4", false, false, false},
    };
    for (const Row& r : rows) {
        auto t = UTType::fromIdentifier(QString::fromLatin1(r.id));
        ASSERT_TRUE(t.has_value()) << r.id;
        EXPECT_EQ(t->conformsTo(UTType::rawImage()), r.raw) << r.id;
        EXPECT_EQ(t->conformsTo(UTType::jpeg()), r.jpeg) << r.id;
        EXPECT_EQ(t->conformsTo(UTType::image()), r.image) << r.id;
        EXPECT_EQ(uti::conformsToRaw(QString::fromLatin1(r.id)), r.raw) << r.id;
        EXPECT_EQ(uti::conformsToJpeg(QString::fromLatin1(r.id)), r.jpeg) << r.id;
    }
    // A parent never conforms to its child.
    EXPECT_FALSE(UTType::image().conformsTo(UTType::jpeg()));
    EXPECT_FALSE(UTType::rawImage().conformsTo(*UTType::fromIdentifier("com.adobe.raw-image")));
    EXPECT_EQ(UTType::fromIdentifier("Public.JPEG"), UTType::jpeg());
    EXPECT_FALSE(UTType::fromIdentifier("com.example.unknown").has_value());
    EXPECT_FALSE(UTType::fromIdentifier("").has_value());
    EXPECT_FALSE(uti::conformsToRaw("com.example.raw-image"));
    EXPECT_FALSE(uti::conformsToJpeg("dyn.ah62d4rv4ge80k2py"));
}

TEST(UTType, ExtensionsAreCaseInsensitiveWithPreferredExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"JPG", "public.jpeg"},
        {"Jpeg", "public.jpeg"},
        {"JPE", "public.jpeg"},
        {".jpg", "public.jpeg"},
        {"HEIC", "public.heic"},
        {"hif", "public.heif"},
        {"CR3", "com.canon.cr3-raw-image"},
        {"dng", "com.adobe.raw-image"},
        {"XMP", "com.adobe.xmp"},
        {"aae", "com.apple.photos.apple-adjustment-envelope"}};
    for (const auto& [ext, id] : cases)
        EXPECT_EQ(UTType::fromFilenameExtension(ext).value_or(UTType::image()).identifier(), id);
    EXPECT_FALSE(UTType::fromFilenameExtension("zzz"));
    EXPECT_FALSE(UTType::fromFilenameExtension(""));
    EXPECT_EQ(UTType::jpeg().preferredFilenameExtension(), "jpeg");
    EXPECT_EQ(UTType::heif().preferredFilenameExtension(), "heif");
    // Abstract types have no extension of their own.
    EXPECT_TRUE(UTType::image().preferredFilenameExtension().isEmpty());
    // Every camera's own extension is raw and its preferred one.
    for (const char* ext : {"cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "dng", "raf",
                            "orf", "rw2", "pef", "srw", "3fr", "iiq", "erf", "mrw", "x3f", "rwl"}) {
        auto t = UTType::fromFilenameExtension(QString::fromLatin1(ext));
        ASSERT_TRUE(t) << ext;
        EXPECT_TRUE(t->conformsTo(UTType::rawImage())) << ext;
        EXPECT_EQ(t->preferredFilenameExtension(), QString::fromLatin1(ext));
    }
}

// An identifier asked again answers as before; characters that changed since answer anew, even
// where they stay at the same place.
TEST(UTType, IdentifiersAskedAgainAnswerByWhatTheySayNow) {
    const QString cr2 = QString::fromLatin1("com.canon.cr2-raw-image");
    const QString jpeg = QString::fromLatin1("public.jpeg");
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(uti::conformsToRaw(cr2));
        EXPECT_FALSE(uti::conformsToJpeg(cr2));
        EXPECT_FALSE(uti::conformsToRaw(jpeg));
        EXPECT_TRUE(uti::conformsToJpeg(jpeg));
    }
    char16_t chars[] = u"public.jpeg";
    const QString seen = QString::fromRawData(reinterpret_cast<const QChar*>(chars), 11);
    EXPECT_TRUE(uti::conformsToJpeg(seen));
    std::copy_n(u"public.heic", 11, chars);
    EXPECT_FALSE(uti::conformsToJpeg(seen));
    EXPECT_EQ(UTType::fromIdentifier(seen), UTType::heic());
}
