#include "LibraryFixture.h"

#include "fixtures/ImageFixtures.h"

#include <QBuffer>
#include <QImage>
#include <atomic>
#include <thread>
#include <unistd.h>

using namespace photos;

namespace {

QByteArray jpegOf(QColor colour) {
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

} // namespace

using LinkSwapTest = LibraryFixture;

// A stored file is checked and read as one open file: a folder swapped for a link to the outside
// between the library's check and its reads must not lead a reader out of the library.
TEST_F(LinkSwapTest, AFolderSwappedForALinkWhileReadingIsNeverFollowed) {
    NewAsset red;
    red.resources = {{ResourceType::Photo, "public.jpeg", jpegOf(Qt::red)}};
    const AssetPtr item = asset(add(red));
    const QString stored = item->resources[0]->storedPath;
    const QString folder = path + "/" + stored.section('/', 0, 1);
    const QString outside = tmp.path() + "/outside";
    testsupport::writeFile(outside + "/" + stored.section('/', 2), jpegOf(Qt::blue));

    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        const QByteArray real = QFile::encodeName(folder), aside = real + ".aside",
                         target = QFile::encodeName(outside);
        while (!stop) {
            ::rename(real.constData(), aside.constData());
            ::symlink(target.constData(), real.constData());
            ::unlink(real.constData());
            ::rename(aside.constData(), real.constData());
        }
    });
    ImageManager manager(lib);
    int read = 0;
    for (int i = 0; i < 5000; ++i) {
        const auto answers =
            request(manager, item, {32, 32}, ImageContentMode::AspectFit, highQuality());
        const QImage image = answers.back().image;
        if (image.isNull())
            continue; // caught while the folder was away: nothing is fine
        ++read;
        const QColor seen = image.pixelColor(16, 16);
        ASSERT_GT(seen.red(), 200) << "read a picture from outside the library";
        ASSERT_LT(seen.blue(), 60);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(read, 0);
}
