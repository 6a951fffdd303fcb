#pragma once

#include <QWidget>

namespace twinslim {

// "About Twinslim": name, version and build, what the program does and which libraries it
// uses; 460 × 260, not resizable. "Close", Escape and Ctrl+W close it; closing it discards it;
// there is at most one.
class AboutWindow : public QWidget {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget* parent = nullptr);
    ~AboutWindow() override;

    // Shows the one About window, creating it when there is none (centred on `over`'s window
    // when given), and brings it to the front.
    static AboutWindow* showShared(QWidget* over = nullptr);
    // The one that is open, or none.
    static AboutWindow* shared();

    // "Version X (B)", with the fallbacks "1.0" and "1" for missing values.
    static QString versionLine(const QString& shortVersion, const QString& buildNumber);
    // The line for this build.
    static QString versionLine();

    static const QString descriptionText;
    static const QString librariesText;
};

} // namespace twinslim
