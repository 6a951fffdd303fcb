#include "ui/Alerts.h"

#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <algorithm>

namespace twinslim {

namespace {

// The width the widest match of `pattern` (its first captured group) needs on one line.
int widest(const QString& text, const QRegularExpression& pattern, const QFontMetrics& metrics) {
    int widest = 0;
    for (auto match = pattern.globalMatch(text); match.hasNext();)
        widest = std::max(widest, metrics.horizontalAdvance(match.next().captured(1).trimmed()));
    return widest;
}

// A path is taken to run from a word starting with "/" or "~/" to the end of its line, since
// paths may hold spaces.
int widestPath(const QString& text, const QFontMetrics& metrics) {
    static const QRegularExpression path(QStringLiteral("(?:^|\\s)((?:~/|/)[^\\n]*)"));
    return widest(text, path, metrics);
}

// A command to be copied is a line indented by two spaces or more.
int widestCommand(const QString& text, const QFontMetrics& metrics) {
    static const QRegularExpression command(QStringLiteral("^ {2,}(\\S[^\\n]*)"),
                                            QRegularExpression::MultilineOption);
    return widest(text, command, metrics);
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
    const QFontMetrics metrics = text->fontMetrics();
    const int wanted =
        std::max(widestPath(text->text(), metrics), widestCommand(text->text(), metrics)) + 8;
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
