#pragma once

class QMessageBox;
class QString;
class QWidget;

namespace twinslim {

// Lays out a message box for reading: the toolkit sizes one to its title, about 240 px, so a
// paragraph runs long and a path breaks at every "/". The text gets at least
// minimumAlertTextWidth, more (up to maximumAlertTextWidth and the screen) for a path to stay
// on one line; the title is bold and the text selectable, so a path can be copied. Call it again
// after the informative text changes.
void fitAlert(QMessageBox* box);

// A laid-out alert titled `title` with `message` below, deleted when closed; not yet shown.
QMessageBox* alert(QWidget* parent, const QString& objectName, const QString& title,
                   const QString& message);

constexpr int minimumAlertTextWidth = 460;
constexpr int maximumAlertTextWidth = 720;

} // namespace twinslim
