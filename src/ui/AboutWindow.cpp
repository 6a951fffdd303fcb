#include "ui/AboutWindow.h"

#include "BuildInfo.h"
#include "ui/Symbols.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace twinslim {

namespace {

QPointer<AboutWindow> sharedWindow;

// Text colours a step and two steps quieter than the window's text.
void setTextAlpha(QLabel* label, float alpha) {
    QPalette palette = label->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QColor colour = palette.color(group, QPalette::WindowText);
        colour.setAlphaF(alpha);
        palette.setColor(group, QPalette::WindowText, colour);
    }
    label->setPalette(palette);
}
constexpr float secondaryAlpha = 0.62f;
constexpr float tertiaryAlpha = 0.42f;

QFont scaledFont(const QFont& base, qreal factor, bool bold = false) {
    QFont font = base;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    font.setBold(bold);
    return font;
}

QLabel* wrappingLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

const QString AboutWindow::descriptionText = QStringLiteral(
    "Replace RAW+JPEG pairs with a space-saving HEIC (or JPEG). Full-quality edited copies come "
    "from Photos’ own export; Twinslim backs up the originals and performs the switch.");

const QString AboutWindow::librariesText = QStringLiteral(
    "Uses the open-source libraries Qt, QCoro, SQLite, libjpeg-turbo, libheif (with x265 and "
    "libde265), LibRaw, Exiv2 and systemd’s journal, as installed on this system.");

AboutWindow::AboutWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(tr("About Twinslim"));
    setFixedSize(460, 260);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);

    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    auto* glyph = new QLabel(this);
    glyph->setObjectName(QStringLiteral("aboutSymbol"));
    glyph->setPixmap(symbolPixmap(QStringLiteral("photo.stack"), 44,
                                  palette().color(QPalette::Highlight), devicePixelRatioF()));
    glyph->setFixedSize(44, 44);
    header->addWidget(glyph, 0, Qt::AlignVCenter);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* name = new QLabel(QStringLiteral("Twinslim"), this);
    name->setObjectName(QStringLiteral("aboutName"));
    name->setFont(scaledFont(font(), 1.6, true));
    titles->addWidget(name);
    auto* version = new QLabel(versionLine(), this);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setFont(scaledFont(font(), 0.92));
    setTextAlpha(version, secondaryAlpha);
    titles->addWidget(version);
    header->addLayout(titles);
    header->addStretch(1);
    layout->addLayout(header);

    auto* description = wrappingLabel(descriptionText, this);
    description->setObjectName(QStringLiteral("aboutDescription"));
    setTextAlpha(description, secondaryAlpha);
    layout->addWidget(description);

    auto* libraries = wrappingLabel(librariesText, this);
    libraries->setObjectName(QStringLiteral("aboutLibraries"));
    libraries->setFont(scaledFont(font(), 0.92));
    setTextAlpha(libraries, tertiaryAlpha);
    layout->addWidget(libraries);

    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("aboutClose"));
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    // Closed like a dialog: Escape, and the desktop's Close Window keys (Ctrl+W).
    QList<QKeySequence> closeKeys = QKeySequence::keyBindings(QKeySequence::Close);
    for (const QKeySequence& key :
         {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        if (!closeKeys.contains(key))
            closeKeys.append(key);
    for (const QKeySequence& key : closeKeys)
        connect(new QShortcut(key, this), &QShortcut::activated, this, &QWidget::close);
}

AboutWindow::~AboutWindow() = default;

AboutWindow* AboutWindow::showShared(QWidget* over) {
    if (!sharedWindow) {
        sharedWindow = new AboutWindow;
        sharedWindow->setAttribute(Qt::WA_DeleteOnClose);
        // Where the eye is: over the middle of the window it was asked from.
        // Its frame is not known before it is shown: the contents are placed.
        if (over) {
            QRect area(QPoint(), sharedWindow->size());
            area.moveCenter(over->window()->geometry().center());
            sharedWindow->setGeometry(area);
        }
    }
    sharedWindow->show();
    sharedWindow->raise();
    sharedWindow->activateWindow();
    return sharedWindow;
}

AboutWindow* AboutWindow::shared() {
    return sharedWindow;
}

QString AboutWindow::versionLine(const QString& shortVersion, const QString& buildNumber) {
    const QString version = shortVersion.trimmed().isEmpty() ? QStringLiteral("1.0") : shortVersion;
    const QString build = buildNumber.trimmed().isEmpty() ? QStringLiteral("1") : buildNumber;
    return QStringLiteral("Version %1 (%2)").arg(version, build);
}

QString AboutWindow::versionLine() {
    return versionLine(QString::fromUtf8(buildinfo::shortVersion),
                       QString::fromUtf8(buildinfo::buildNumber));
}

} // namespace twinslim
