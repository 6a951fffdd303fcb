#include "DemoCommand.h"

#include "DemoLibrary.h"
#include "TerminalProgress.h"
#include "UsageError.h"

#include <QDateTime>
#include <QDir>

namespace photolib {

int demoCommand(const QString& pairs, const QStringList& paths, QTextStream& out,
                QTextStream& err) {
    if (paths.size() != 1)
        throw UsageError{QStringLiteral("demo takes one path")};
    int count = defaultDemoPairs;
    if (!pairs.isEmpty()) {
        bool ok = false;
        count = pairs.toInt(&ok);
        if (!ok || count < 0 || count > 9000)
            throw UsageError{QStringLiteral("--pairs must be a number from 0 to 9000")};
    }
    const auto items = planDemo(count, QDateTime::currentDateTimeUtc());
    createDemoLibrary(paths.front(), items, terminalProgress(err, QStringLiteral("Creating item")));
    const DemoSummary s = summarize(items);
    auto counted = [](int n, const char* one, const char* many) {
        return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    out << "Created the demonstration library " << QDir(paths.front()).absolutePath() << ": "
        << counted(s.pairs, "RAW+JPEG pair", "RAW+JPEG pairs") << " ("
        << counted(s.favorites, "favourite", "favourites") << ", " << s.edited << " edited, "
        << s.hidden << " hidden, " << s.undated << " without a capture date), " << s.rawOnly
        << " RAW-only, " << s.jpegOnly << " JPEG-only, " << s.rawWithHeic << " RAW+HEIC, "
        << s.rawRendered
        << " edited RAW with a JPEG rendering; albums: " << s.albums.join(QStringLiteral(", "))
        << ".\n";
    return 0;
}

} // namespace photolib
