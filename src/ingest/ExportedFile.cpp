#include "ingest/ExportedFile.h"

#include "core/CallbackAwaitable.h"
#include "library/ReplacementError.h"
#include "platform/imaging/PictureCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <variant>

namespace twinslim {

namespace {

enum class Problem { none, unreadable, tooLarge, notAPicture };

struct ReadResult {
    QByteArray data;
    Problem problem = Problem::none;
};

ReadResult readAndCheck(const QString& path) {
    // A pipe or device under a picture's name would block the run or never end.
    const QFileInfo info(path);
    if (!info.isFile())
        return {{}, Problem::unreadable};
    if (info.size() > maxExportedFileBytes)
        return {{}, Problem::tooLarge};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, Problem::unreadable};
    // Never more than the size checked above, even when the file grows meanwhile.
    QByteArray data = file.read(info.size());
    if (file.error() != QFileDevice::NoError || data.isEmpty())
        return {{}, Problem::unreadable};
    if (!imaging::decodesAsPicture(data))
        return {{}, Problem::notAPicture};
    return {std::move(data), Problem::none};
}

} // namespace

QCoro::Task<QByteArray> readExportedFile(QString path) {
    CallbackAwaitable<ReadResult> reading([path](auto resolver) {
        QThreadPool::globalInstance()->start([path, resolver]() mutable {
            try {
                resolver.resolve(readAndCheck(path));
            } catch (const std::bad_alloc&) {
                resolver.resolve(ReadResult{{}, Problem::tooLarge});
            } catch (...) {
                resolver.resolve(ReadResult{{}, Problem::unreadable});
            }
        });
    });
    ReadResult result = co_await reading;
    switch (result.problem) {
    case Problem::none:
        break;
    case Problem::unreadable:
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    case Problem::tooLarge:
        throw FileSystemError(QStringLiteral("The file is larger than 2 GB, too large for an "
                                             "exported picture."));
    case Problem::notAPicture:
        throw FileSystemError(QStringLiteral("The file is not a JPEG or HEIC picture that can "
                                             "be decoded (cut off or damaged?)."));
    }
    co_return std::move(result.data);
}

} // namespace twinslim
