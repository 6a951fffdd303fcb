// Writes a tree of camera folders as photographers keep them (bench::writeCameraTree), as input
// for the folder library benchmark: PAIRS RAW+JPEG pairs with a quarter as many lone JPEGs and
// an XMP sidecar for every fourth pair, so 40,000 pairs make 100,000 files.
#include "support/BenchCameraTree.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int pairs = args.size() == 3 ? args[2].toInt() : 0;
    if (pairs < 1) {
        std::fprintf(stderr, "usage: make_camera_tree DIR PAIRS\n");
        return 2;
    }
    if (!bench::writeCameraTree(args[1], pairs)) {
        std::fprintf(stderr, "make_camera_tree: cannot write into %s\n", qPrintable(args[1]));
        return 1;
    }
    return 0;
}
