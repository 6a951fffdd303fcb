// Opens the photo library at PATH as the programs do and lists its pictures: the work of a
// program's start on a library, for the folder library benchmark. Prints the item count.
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: open_library PATH\n");
        return 2;
    }
    try {
        const auto library = photos::PhotoLibrary::open(
            app.arguments()[1], {.createWhenMissing = false, .purgeExpiredTrash = false});
        std::printf("%zu items\n", library->fetchAssets(photos::MediaType::Image).size());
    } catch (const photos::PhotoLibraryError& e) {
        std::fprintf(stderr, "open_library: %s\n", e.what());
        return 1;
    }
    return 0;
}
