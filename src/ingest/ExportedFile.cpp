#include "ingest/ExportedFile.h"

#include "core/CallbackAwaitable.h"
#include "library/ReplacementError.h"
#include "platform/imaging/PictureCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <mutex>
#include <optional>
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

ReadResult safelyReadAndCheck(const QString& path) {
    try {
        return readAndCheck(path);
    } catch (const std::bad_alloc&) {
        return ReadResult{{}, Problem::tooLarge};
    } catch (...) {
        return ReadResult{{}, Problem::unreadable};
    }
}

} // namespace

struct StartedExportRead::Shared {
    std::mutex mutex;
    std::optional<ReadResult> result;
    std::optional<CallbackAwaitable<ReadResult>::Resolver> waiting;
};

StartedExportRead::StartedExportRead(QString path) : m_shared(std::make_shared<Shared>()) {
    QThreadPool::globalInstance()->start([shared = m_shared, path = std::move(path)] {
        ReadResult read = safelyReadAndCheck(path);
        std::unique_lock lock(shared->mutex);
        if (!shared->waiting) {
            shared->result = std::move(read);
            return;
        }
        const auto resolver = std::move(*shared->waiting);
        shared->waiting.reset();
        lock.unlock();
        resolver.resolve(std::move(read));
    });
}

QCoro::Task<QByteArray> readExportedFile(QString path) {
    StartedExportRead read(std::move(path));
    auto reading = read.result();
    co_return co_await reading;
}

QCoro::Task<QByteArray> StartedExportRead::result() {
    CallbackAwaitable<ReadResult> reading([shared = m_shared](auto resolver) {
        std::unique_lock lock(shared->mutex);
        if (!shared->result) {
            shared->waiting = resolver;
            return;
        }
        ReadResult read = std::move(*shared->result);
        shared->result.reset();
        lock.unlock();
        resolver.resolve(std::move(read));
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
