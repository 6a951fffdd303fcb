#pragma once

#include <QString>
#include <QStringList>

namespace twinslim {

class MainWindow;

// Puts a running window into one of the states that scripts/screenshots
// renders, driven by TWINSLIM_SCREENSHOT=STATE. Once the state is on screen it
// prints one line, "screenshot-ready X Y WIDTH HEIGHT" (the screen rectangle
// worth capturing), to standard output and leaves the window as it is until the
// process is ended.
//
//   window          the window as it starts (the gate, or the scan window after
//   its first scan) scan            the scan window over the whole library,
//   some rows selected ingest-running  the same with an ingest's progress in
//   the bottom bar ingest-report   the same with the "Ingest complete" report
//   preview         the quick preview of the newest pair
//   about           the About window
//
// Staging writes only the window's own state (the model's fields, the table's
// selection); it changes nothing in the photo library.
class ScreenshotStage {
public:
    static QStringList states();
    // False, after saying why on standard error, for a state it does not know.
    static bool start(MainWindow& window, const QString& state);
};

} // namespace twinslim
