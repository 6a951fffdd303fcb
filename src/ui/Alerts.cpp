#include "ui/Alerts.h"

#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <algorithm>

namespace twinslim {

namespace {

// The width the widest path or command of the text needs on one line: a path is taken to run
// from a word starting with "/" or "~/" to the end of its line, since paths may hold spaces; a
// command is a line indented by two spaces.
int widestPath(const QString& text, const QFontMetrics& metrics) {
    static const QRegularExpression path(
        QStringLiteral("(?:^|\\s)((?:~/|/)[^\\n]*)|^  (\\S[^\\n]*)"),
        QRegularExpression::MultilineOption);
    int widest = 0;
    for (auto match = path.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch next = match.next();
        const QString line = next.captured(1).isEmpty() ? next.captured(2) : next.captured(1);
        widest = std::max(widest, metrics.horizontalAdvance(line.trimmed()));
    }
    return widest;
}

} // namespace

void fitAlert(QMessageBox* box) {
    if (auto* title = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
    }
    auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    if (!text)
        return;
    text->setTextInteractionFlags(text->textInteractionFlags() | Qt::TextSelectableByMouse);
    int limit = maximumAlertTextWidth;
    if (const QScreen* screen = box->screen())
        limit = std::min(limit, screen->availableGeometry().width() - 120);
    limit = std::max(limit, minimumAlertTextWidth);
    // A few pixels for the label's own margins and rounding of the text layout.
    const int wanted = widestPath(text->text(), text->fontMetrics()) + 8;
    text->setMinimumWidth(std::clamp(wanted, minimumAlertTextWidth, limit));
}

QMessageBox* alert(QWidget* parent, const QString& objectName, const QString& title,
                   const QString& message) {
    auto* box = new QMessageBox(parent);
    box->setObjectName(objectName);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::NoIcon);
    box->setWindowTitle(title);
    box->setText(title);
    box->setInformativeText(message);
    fitAlert(box);
    return box;
}

} // namespace twinslim
