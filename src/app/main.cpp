// twinslim: finds RAW+JPEG pairs in the system photo library and replaces them
// with space-saving renditions. Everything after access is granted happens in
// the main window.
#include "BuildInfo.h"
#include "backup/FolderChooser.h"
#include "platform/system/InteractiveThread.h"
#include "ui/ConsentDialog.h"
#include "ui/MainWindow.h"
#include "ui/QtFolderChooser.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QFileDialog> // QtFolderChooser.h hands out a QPointer to one
#include <QIcon>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>

namespace {

const char* usageText = R"(usage: twinslim [--help | --version] [Qt options such as -platform NAME]

Opens the Twinslim window on the system photo library: find the RAW+JPEG pairs, choose the
backup folder, fill the export albums, ingest the exported files, restore originals.
The library is the one PHOTOLIB_LIBRARY names, else the one "photolib use" chose.

  -h, --help            show this help and exit
  --version             show the version and exit
)";

// Answered before any window or display is needed, so that both work on a bare terminal.
bool answeredOnTerminal(int argc, char** argv, int* status) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usageText, stdout);
            *status = 0;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("twinslim %s\n", buildinfo::shortVersion);
            *status = 0;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (int status = 0; answeredOnTerminal(argc, argv, &status))
        return status;
    // glibc keeps small freed blocks in fast bins and merges them all at once before a later
    // large allocation; after a scan replaced ten thousand pair records that merge held the
    // GUI thread for about 60 ms (bench/responsiveness_bench). Without fast bins a freed
    // block is merged at once, and the window never stalls on it.
    mallopt(M_MXFAST, 0);
    // A file-size limit (RLIMIT_FSIZE) must fail the backup write that meets it, reported for
    // that item, rather than end the program in the middle of a run.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    // Scans and ingests keep every core busy; woken by an event, the window's thread takes a
    // core at once instead of waiting for a worker's time slice to end.
    sys::markAsInteractiveThread();
    // The preferences (the backup folder) live under this organisation and name.
    QApplication::setOrganizationName(QStringLiteral("Twinslim"));
    QApplication::setApplicationName(QStringLiteral("Twinslim"));
    QApplication::setApplicationVersion(QString::fromLatin1(buildinfo::shortVersion));
    // Ties the windows to the installed .desktop file (taskbar icon and name).
    QApplication::setDesktopFileName(QString::fromLatin1(buildinfo::bundleIdentifier));
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(buildinfo::bundleIdentifier),
                                                 twinslim::symbol(QStringLiteral("photo.stack"))));

    // The system library is opened only once access is granted, by the window's
    // gate.
    twinslim::MainWindow window;
    twinslim::FolderChooser::setShared(std::make_shared<twinslim::QtFolderChooser>(&window));
    twinslim::ConsentDialog::install(&window);
    window.show();
    const int status = app.exec();
    twinslim::ConsentDialog::uninstall();
    twinslim::FolderChooser::setShared(nullptr);
    return status;
}
