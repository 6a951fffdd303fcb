// How long the GUI thread is kept from its event loop while the scan window
// works: a 1 ms timer on the GUI thread notes every gap between its ticks, and
// the longest gap is the worst stall a user would feel. Measured over
//   - the scan window's scan of a 100,000-item catalogue (10 % RAW+JPEG pairs)
//   over "All",
//     from the press to the filled, sorted table;
//   - the scan window's ingest of PAIRS exported pictures (default 20 pairs of
//   a 25 MB RAW
//     and an 8 MB JPEG, half favourites), from the start to the report.
// Target: no stall of the window's own over one frame (16 ms; see below); the exit status is
// non-zero when one is longer (not in a smoke run, whose sanitizer build and tiny inputs say
// nothing about stalls: there it is non-zero only when the scan or the ingest did not finish
// their work).
//
// --gaps MS lists every gap longer than MS with its start and end on CLOCK_MONOTONIC, the
// clock `perf record -k CLOCK_MONOTONIC` stamps its samples with, so that `perf script --time`
// shows what the GUI thread did during a stall.
//
// On a virtual machine an idle CPU is sometimes woken tens of milliseconds after its timer was
// due, whatever sleeps on it. So each gap is split in two. One part is the time the event
// loop's poll slept past the timeout it asked for, less any wait for a CPU once woken: the
// system's lateness, measured by hooking glib's poll, which Qt's event dispatcher uses here.
// The rest is the window's own share: its work, its waiting for a CPU, anything it blocked on.
// The target and the exit status count the window's share. The whole gaps are printed too,
// beside those of a bare thread in the same process that does nothing but sleep 1 ms at a
// time: the peer that shows the machine's own lateness.
//
// The allocator is set up as twinslim's main() sets it (no glibc fast bins: merging them all
// at once after a scan of this size held the GUI thread for about 60 ms); --glibc-default
// measures with glibc's defaults instead.
//
// The GUI thread asks for a short time slice as twinslim's main() does; --default-slice
// measures with the kernel's default slice instead.
//
//   responsiveness_bench [--glibc-default] [--default-slice] [--gaps MS] [PAIRS [RAW_MB JPEG_MB]]
#include "support/BenchCatalogue.h"
#include "support/BenchSmoke.h"

#include "backup/BackupFolder.h"
#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/system/InteractiveThread.h"
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
#include <atomic>
#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
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

// How long the GUI thread's event loop has slept, in all, past the timeouts it asked for.
// glib's headers are no build dependency: its two functions are looked up in the process,
// where Qt's glib event dispatcher has loaded them. GPollFD is struct pollfd on Linux.
qint64 pollOversleptNs = 0;
bool pollHooked = false;

// The time the calling thread has spent runnable but waiting for a CPU (the kernel's
// schedstat run_delay), so that a late return from poll() can be told apart: woken late, or
// woken on time and kept from a CPU. Only the GUI thread calls it.
qint64 runQueueWaitNs() {
    static const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[96] = {};
    if (fd < 0 || ::pread(fd, text, sizeof text - 1, 0) <= 0)
        return 0;
    unsigned long long running = 0, waiting = 0;
    return std::sscanf(text, "%llu %llu", &running, &waiting) == 2 ? qint64(waiting) : 0;
}

int timedPoll(pollfd* fds, unsigned count, int timeoutMs) {
    const qint64 start = monotonicNs();
    const qint64 waitedBefore = runQueueWaitNs();
    const int result = ::poll(fds, count, timeoutMs);
    if (timeoutMs >= 0) {
        const qint64 late = monotonicNs() - start - qint64(timeoutMs) * 1000000;
        pollOversleptNs += std::max<qint64>(0, late - (runQueueWaitNs() - waitedBefore));
    }
    return result;
}

void hookEventLoopPoll() {
    using Context = void*;
    using PollFunc = int (*)(pollfd*, unsigned, int);
    auto defaultContext =
        reinterpret_cast<Context (*)()>(dlsym(RTLD_DEFAULT, "g_main_context_default"));
    auto setPollFunc = reinterpret_cast<void (*)(Context, PollFunc)>(
        dlsym(RTLD_DEFAULT, "g_main_context_set_poll_func"));
    if (!defaultContext || !setPollFunc || qEnvironmentVariableIsSet("QT_NO_GLIB"))
        return;
    setPollFunc(defaultContext(), &timedPoll);
    pollHooked = true;
}

// A bare thread beside the window that only sleeps 1 ms at a time: its longest gap is how late
// this machine wakes a sleeping thread with no work at all.
class BareSleeper {
public:
    void start() {
        m_worstNs = 0;
        m_over = 0;
        m_running = true;
        m_thread = std::thread([this] {
            qint64 last = monotonicNs();
            while (m_running.load(std::memory_order_relaxed)) {
                const timespec ms{0, 1000000};
                clock_nanosleep(CLOCK_MONOTONIC, 0, &ms, nullptr);
                const qint64 now = monotonicNs();
                m_worstNs = std::max(m_worstNs, now - last);
                if (now - last > qint64(frameMs * 1e6))
                    ++m_over;
                last = now;
            }
        });
    }
    void stop() {
        m_running = false;
        m_thread.join();
    }
    double worstMs() const { return double(m_worstNs) / 1e6; }
    int over() const { return m_over; }

private:
    std::atomic<bool> m_running{false};
    std::thread m_thread;
    qint64 m_worstNs = 0;
    int m_over = 0;
};

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
        m_own.clear();
        m_worstBusyNs = 0;
        m_lastOverslept = pollOversleptNs;
        m_sleeper.start();
        m_clock.start();
        m_last = 0;
        m_lastMonotonic = monotonicNs();
        m_lastUsage = ThreadUsage::now();
        m_timer.start();
    }
    void stop() {
        tick();
        m_timer.stop();
        m_sleeper.stop();
    }
    double worstMs() const { return worst(m_gaps); }
    int gapsOver(double ms) const { return over(m_gaps, ms); }
    // The same for the window's share of each gap: the gap less the event loop's oversleeping.
    double worstOwnMs() const { return worst(m_own); }
    int ownGapsOver(double ms) const { return over(m_own, ms); }
    const BareSleeper& sleeper() const { return m_sleeper; }
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
    static double worst(const std::vector<qint64>& gaps) {
        return gaps.empty() ? 0 : double(*std::max_element(gaps.begin(), gaps.end())) / 1e6;
    }
    static int over(const std::vector<qint64>& gaps, double ms) {
        return int(
            std::count_if(gaps.begin(), gaps.end(), [ms](qint64 g) { return g > ms * 1e6; }));
    }
    void tick() {
        const qint64 now = m_clock.nsecsElapsed();
        const qint64 monotonic = monotonicNs();
        const ThreadUsage usage = ThreadUsage::now();
        const qint64 gap = now - m_last;
        const qint64 overslept = pollOversleptNs - m_lastOverslept;
        m_gaps.push_back(gap);
        m_own.push_back(std::max<qint64>(0, gap - overslept));
        m_worstBusyNs = std::max(m_worstBusyNs, usage.cpuNs - m_lastUsage.cpuNs);
        if (gapLogMs > 0 && double(gap) > gapLogMs * 1e6)
            std::printf("         gap %.1f ms at %.3f ms: event loop slept %.1f ms past its "
                        "timeout; GUI thread on a CPU %.1f ms, %ld voluntary and %ld involuntary "
                        "switches; monotonic %.6f to %.6f s\n",
                        double(gap) / 1e6, double(m_last) / 1e6, double(overslept) / 1e6,
                        double(usage.cpuNs - m_lastUsage.cpuNs) / 1e6,
                        usage.voluntary - m_lastUsage.voluntary,
                        usage.involuntary - m_lastUsage.involuntary, double(m_lastMonotonic) / 1e9,
                        double(monotonic) / 1e9);
        m_last = now;
        m_lastMonotonic = monotonic;
        m_lastUsage = usage;
        m_lastOverslept = pollOversleptNs;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastMonotonic = 0;
    ThreadUsage m_lastUsage;
    qint64 m_worstBusyNs = 0;
    qint64 m_lastOverslept = 0;
    std::vector<qint64> m_gaps;
    std::vector<qint64> m_own; // each gap less what the event loop overslept in it
    BareSleeper m_sleeper;
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
    if (pollHooked)
        std::printf("         %.0f ms in all; longest GUI stall of the window's own %.1f ms "
                    "(target ≤ %.0f), %d over %.0f ms\n",
                    meter.elapsedMs(), meter.worstOwnMs(), frameMs, meter.ownGapsOver(frameMs),
                    frameMs);
    else
        std::printf("         %.0f ms in all; the event loop is not glib's: gaps are not split\n",
                    meter.elapsedMs());
    std::printf("         whole gaps: longest %.1f ms, %d over %.0f ms, 99th percentile %.1f ms; "
                "a bare thread sleeping 1 ms at a time beside it: longest %.1f ms, %d over "
                "%.0f ms\n",
                meter.worstMs(), meter.gapsOver(frameMs), frameMs, meter.percentileMs(0.99),
                meter.sleeper().worstMs(), meter.sleeper().over(), frameMs);
    std::printf("         most GUI-thread CPU time between two ticks %.1f ms\n",
                meter.worstBusyMs());
    std::fflush(stdout);
}

// Stalls the window is answerable for: its share of each gap where the event loop could be
// timed, else the whole gaps.
int stallsOverAFrame(const GapMeter& meter) {
    return pollHooked ? meter.ownGapsOver(frameMs) : meter.gapsOver(frameMs);
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
    const bool ok = (bench::smoke() || stallsOverAFrame(meter) == 0) && !model->pairs().empty();
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
    const bool ok = (bench::smoke() || stallsOverAFrame(meter) == 0) && result &&
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
    const bool defaultSlice = args.removeAll(QStringLiteral("--default-slice")) > 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir(QDir::tempPath() + "/responsiveness-XXXXXX");
    // Preferences and access grants of this run stay in the temporary folder.
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/config").toUtf8());
    QApplication app(argc, argv);
    hookEventLoopPoll();
    if (!defaultSlice)
        sys::markAsInteractiveThread(); // as twinslim's main() does
    QStringList shape = bench::sized(QStringList{"20", "25", "8"}, QStringList{"2", "1", "1"});
    for (int i = 0; i < args.size() && i < 3; ++i)
        shape[i] = args[i];

    int failures = measureScan(dir.path());
    failures += measureIngest(dir.path(), shape);
    return failures == 0 ? 0 : 1;
}
