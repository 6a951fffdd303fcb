// How long the GUI thread is kept from its event loop while the scan window
// works: a 1 ms timer on the GUI thread notes every gap between its ticks, and
// the longest gap is the worst stall a user would feel. Measured over
//   - the scan window's scan of a 100,000-item catalogue (10 % RAW+JPEG pairs)
//   over "All",
//     from the press to the filled, sorted table;
//   - the scan window's ingest of PAIRS exported pictures (default 20 pairs of
//   a 25 MB RAW
//     and an 8 MB JPEG, half favourites), from the start to the report.
// Target: no gap over one frame (16 ms); the exit status is non-zero when one is longer (not in
// a smoke run, whose sanitizer build and tiny inputs say nothing about stalls: there it is
// non-zero only when the scan or the ingest did not finish their work).
//
// --gaps MS lists every gap longer than MS with its start and end on CLOCK_MONOTONIC, the
// clock `perf record -k CLOCK_MONOTONIC` stamps its samples with, so that `perf script --time`
// shows what the GUI thread did during a stall.
//
// The allocator is set up as twinslim's main() sets it (no glibc fast bins: merging them all
// at once after a scan of this size held the GUI thread for about 60 ms); --glibc-default
// measures with glibc's defaults instead.
//
//   responsiveness_bench [--glibc-default] [--gaps MS] [PAIRS [RAW_MB JPEG_MB]]
#include "support/BenchCatalogue.h"
#include "support/BenchSmoke.h"

#include "backup/BackupFolder.h"
#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"
#include "ui/ScanView.h"

#include <QApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <malloc.h>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr double frameMs = 16;
double gapLogMs = 0; // --gaps: 0 lists none

qint64 nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 monotonicNs() {
    return nanoseconds(CLOCK_MONOTONIC);
}

// The GUI thread's own CPU time and context switches: a stall during which it ran little was
// spent waiting, for a CPU (involuntary switches: other programs had the cores) or on
// something it blocked on (voluntary ones beyond the event loop's own sleep).
struct ThreadUsage {
    qint64 cpuNs = 0;
    long voluntary = 0;
    long involuntary = 0;
    static ThreadUsage now() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return {nanoseconds(CLOCK_THREAD_CPUTIME_ID), usage.ru_nvcsw, usage.ru_nivcsw};
    }
};

// Ticks every millisecond on the GUI thread and keeps the gaps between ticks.
class GapMeter {
public:
    GapMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        m_gaps.clear();
        m_worstBusyNs = 0;
        m_clock.start();
        m_last = 0;
        m_lastMonotonic = monotonicNs();
        m_lastUsage = ThreadUsage::now();
        m_timer.start();
    }
    void stop() {
        tick();
        m_timer.stop();
    }
    double worstMs() const {
        return m_gaps.empty() ? 0 : *std::max_element(m_gaps.begin(), m_gaps.end()) / 1e6;
    }
    int gapsOver(double ms) const {
        return int(
            std::count_if(m_gaps.begin(), m_gaps.end(), [ms](qint64 g) { return g > ms * 1e6; }));
    }
    double percentileMs(double p) const {
        if (m_gaps.empty())
            return 0;
        std::vector<qint64> sorted = m_gaps;
        std::sort(sorted.begin(), sorted.end());
        return sorted[size_t(p * double(sorted.size() - 1))] / 1e6;
    }
    double elapsedMs() const { return m_clock.nsecsElapsed() / 1e6; }
    // The most CPU time the GUI thread spent between two ticks: the part of a stall that is
    // its own work, whatever the other programs on the machine take.
    double worstBusyMs() const { return double(m_worstBusyNs) / 1e6; }

private:
    void tick() {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 monotonic = monotonicNs();
        const ThreadUsage usage = ThreadUsage::now();
        m_gaps.push_back(now - m_last);
        m_worstBusyNs = std::max(m_worstBusyNs, usage.cpuNs - m_lastUsage.cpuNs);
        if (gapLogMs > 0 && double(now - m_last) > gapLogMs * 1e6)
            std::printf("         gap %.1f ms at %.3f ms: GUI thread on a CPU %.1f ms, %ld "
                        "voluntary and %ld involuntary switches; monotonic %.6f to %.6f s\n",
                        double(now - m_last) / 1e6, double(m_last) / 1e6,
                        double(usage.cpuNs - m_lastUsage.cpuNs) / 1e6,
                        usage.voluntary - m_lastUsage.voluntary,
                        usage.involuntary - m_lastUsage.involuntary, double(m_lastMonotonic) / 1e9,
                        double(monotonic) / 1e9);
        m_last = now;
        m_lastMonotonic = monotonic;
        m_lastUsage = usage;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastMonotonic = 0;
    ThreadUsage m_lastUsage;
    qint64 m_worstBusyNs = 0;
    std::vector<qint64> m_gaps;
};

// Runs the GUI thread's event loop until `done` answers true.
void spinUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    if (!done())
        loop.exec();
}

// Lets the window finish what it queued (table updates, repaints) inside the
// measurement.
void settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() >= ms; });
}

void report(const char* what, const GapMeter& meter, const QString& detail) {
    std::printf("%-8s %s\n", what, qPrintable(detail));
    std::printf(
        "         %.0f ms in all; longest GUI stall %.1f ms (target ≤ %.0f), %d stalls over "
        "%.0f ms, 99th percentile gap %.1f ms\n",
        meter.elapsedMs(), meter.worstMs(), frameMs, meter.gapsOver(frameMs), frameMs,
        meter.percentileMs(0.99));
    std::printf("         most GUI-thread CPU time between two ticks %.1f ms\n",
                meter.worstBusyMs());
    std::fflush(stdout);
}

bool scanned(const twinslim::LibraryModel* model) {
    return model->hasScanned() && !model->isScanning();
}

// Shows a scan window on the shared library and lets its first scan (last 30
// days) end.
std::unique_ptr<twinslim::ScanView> openScanView() {
    auto view = std::make_unique<twinslim::ScanView>();
    view->resize(1060, 680);
    view->show();
    spinUntil([&] { return scanned(view->model()); });
    settle(200);
    return view;
}

int measureScan(const QString& dir) {
    const QString path = dir + "/Scan.photolibrary";
    const bench::CatalogueShape shape;
    std::printf("building a %d-item catalogue…\n", shape.assets);
    std::fflush(stdout);
    const int pairs = bench::buildCatalogue(path, shape);
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(path));
    auto view = openScanView();
    twinslim::LibraryModel* model = view->model();

    GapMeter meter;
    meter.start();
    model->setDateRange(twinslim::DateRange::all); // the window scans again, as on a pick
    spinUntil([&] { return model->isScanning() || scanned(model); });
    spinUntil([&] { return scanned(model); });
    settle(300);
    meter.stop();
    report("scan", meter,
           QStringLiteral("%1 pairs of %2 items in the table (%3 visible pairs in the catalogue)")
               .arg(model->pairs().size())
               .arg(shape.assets)
               .arg(pairs));
    const bool ok = (bench::smoke() || meter.gapsOver(frameMs) == 0) && !model->pairs().empty();
    view.reset();
    photos::PhotoLibrary::setShared(nullptr);
    return ok ? 0 : 1;
}

int measureIngest(const QString& dir, const QStringList& shape) {
    const QString work = dir + "/ingest";
    QProcess make;
    make.setProcessChannelMode(QProcess::ForwardedChannels);
    std::printf("building the ingest input (%s pairs, %s MB RAW, %s MB JPEG)…\n",
                qPrintable(shape[0]), qPrintable(shape[1]), qPrintable(shape[2]));
    std::fflush(stdout);
    make.start(QCoreApplication::applicationDirPath() + "/make_ingest_bench",
               QStringList{work} + shape);
    if (!make.waitForFinished(-1) || make.exitCode() != 0) {
        std::fprintf(stderr, "make_ingest_bench failed\n");
        return 1;
    }
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(work + "/Bench.photolibrary"));
    auto view = openScanView();
    twinslim::LibraryModel* model = view->model();
    model->setDateRange(twinslim::DateRange::all);
    spinUntil([&] { return scanned(model) && !model->pairs().empty(); });
    settle(200);
    QDir().mkpath(work + "/backup");
    model->backup()->setUrl(work + "/backup");

    GapMeter meter;
    meter.start();
    auto run = model->ingest(work + "/export");
    spinUntil([&] { return run.isReady(); });
    settle(300);
    meter.stop();
    const std::optional<twinslim::IngestReport> result = model->ingestReport();
    report("ingest", meter,
           result ? QStringLiteral("%1 of %2 matched files replaced")
                        .arg(result->replaced)
                        .arg(result->matched)
                  : QStringLiteral("no report"));
    view.reset();
    photos::PhotoLibrary::setShared(nullptr);
    const bool ok = (bench::smoke() || meter.gapsOver(frameMs) == 0) && result &&
                    result->replaced == result->matched && result->matched > 0;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (const qsizetype at = args.indexOf(QStringLiteral("--gaps"));
        at >= 0 && at + 1 < args.size()) {
        gapLogMs = args[at + 1].toDouble();
        args.remove(at, 2);
    }
    if (!args.removeAll(QStringLiteral("--glibc-default")))
        mallopt(M_MXFAST, 0); // as twinslim's main() does
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir(QDir::tempPath() + "/responsiveness-XXXXXX");
    // Preferences and access grants of this run stay in the temporary folder.
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
    QApplication app(argc, argv);
    QStringList shape = bench::sized(QStringList{"20", "25", "8"}, QStringList{"2", "1", "1"});
    for (int i = 0; i < args.size() && i < 3; ++i)
        shape[i] = args[i];

    int failures = measureScan(dir.path());
    failures += measureIngest(dir.path(), shape);
    return failures == 0 ? 0 : 1;
}
