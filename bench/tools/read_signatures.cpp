// Prints the signature of each file given, one tab-separated line per file: name, base, EXIF
// original date (ISO 8601 with the local offset, "-" when absent), width, height. The
// counterpart of `exiftool -fast2 -DateTimeOriginal -ImageWidth -ImageHeight FILE…` in the
// signature benchmark.
#include "ingest/FileSignature.h"

#include <QDateTime>
#include <QFile>
#include <cstdio>

namespace {

QByteArray isoWithOffset(const QDateTime& local) {
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate).toUtf8();
}

} // namespace

int main(int argc, char** argv) {
    // No QCoreApplication: reading signatures needs no event loop, and the benchmark times the
    // whole process.
    QByteArray out;
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        const twinslim::FileSignature s = twinslim::readSignature(path);
        out += path.sliced(path.lastIndexOf(u'/') + 1).toUtf8() + '\t' + s.base.toUtf8() + '\t' +
               (s.date ? isoWithOffset(*s.date) : QByteArray("-")) + '\t' +
               QByteArray::number(s.width) + '\t' + QByteArray::number(s.height) + '\n';
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
