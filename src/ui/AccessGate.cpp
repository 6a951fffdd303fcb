#include "ui/AccessGate.h"

#include "core/AccessGateText.h"
#include "core/CallbackAwaitable.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "ui/DeletionPrompt.h"
#include "ui/Prominent.h"
#include "ui/ScanView.h"
#include "ui/Symbols.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtDebug>

namespace twinslim {

using photos::AccessLevel;
using photos::AuthorizationStatus;
using photos::PhotoLibraryAccess;

namespace {

const QColor deniedRed(0xD7, 0x2C, 0x22);
const QColor limitedOrange(0xE0, 0x82, 0x00);

QColor secondaryColor(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.62f);
    return color;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel* centredLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

} // namespace

AccessGate::AccessGate(QWidget* parent)
    : AccessGate(PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, accessClientName(),
                                                         photos::systemLibraryPath()),
                 parent) {}

AccessGate::AccessGate(AuthorizationStatus status, QWidget* parent)
    : QWidget(parent), m_status(status), m_libraryPath(photos::systemLibraryPath()) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (m_status == AuthorizationStatus::Authorized)
        showScanView();
    else
        showGate();
}

AccessGate::~AccessGate() = default;

QString AccessGate::tagline() {
    return QStringLiteral("Find RAW+JPEG pairs and replace them with a space-saving HEIC (or "
                          "JPEG) to reclaim disk space.");
}

void AccessGate::setStatus(AuthorizationStatus status) {
    if (status == m_status) {
        // Asked and not answered: the button may be pressed again.
        if (m_grantButton)
            m_grantButton->setEnabled(true);
        return;
    }
    m_status = status;
    emit statusChanged(status);
    if (status == AuthorizationStatus::Authorized)
        showScanView();
    else
        showGate();
}

void AccessGate::showGate() {
    delete m_gatePage;
    m_grantButton = nullptr;
    m_statusTitle = nullptr;
    m_statusCaption = nullptr;

    m_gatePage = new QWidget(this);
    m_gatePage->setObjectName(QStringLiteral("accessGate"));
    auto* column = new QVBoxLayout(m_gatePage);
    column->setContentsMargins(40, 40, 40, 40);
    column->setSpacing(24);

    const qreal dpr = devicePixelRatioF();
    auto* appSymbol = new QLabel;
    appSymbol->setObjectName(QStringLiteral("gateSymbol"));
    appSymbol->setPixmap(
        symbolPixmap(QStringLiteral("photo.stack"), 52, palette().color(QPalette::Highlight), dpr));
    column->addWidget(appSymbol, 0, Qt::AlignHCenter);

    auto* titleBlock = new QVBoxLayout;
    titleBlock->setSpacing(6);
    auto* title = centredLabel(QStringLiteral("Twinslim"));
    title->setObjectName(QStringLiteral("gateTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2.4);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* tag = centredLabel(tagline());
    tag->setObjectName(QStringLiteral("gateTagline"));
    setTextColor(tag, secondaryColor(palette()));
    titleBlock->addWidget(title);
    titleBlock->addWidget(tag);
    column->addLayout(titleBlock);

    if (m_status == AuthorizationStatus::NotDetermined) {
        m_grantButton = new QPushButton(QStringLiteral("Grant Photos Access"));
        m_grantButton->setObjectName(QStringLiteral("grantButton"));
        m_grantButton->setDefault(true);
        m_grantButton->setToolTip(QStringLiteral(
            "Asks the photo library for full access, which Twinslim needs to find and replace "
            "pairs"));
        QFont buttonFont = m_grantButton->font();
        buttonFont.setPointSizeF(buttonFont.pointSizeF() * 1.2);
        m_grantButton->setFont(buttonFont);
        m_grantButton->setMinimumHeight(40);
        makeProminent(m_grantButton, QStringLiteral("6px 26px"), 7);
        connect(m_grantButton, &QPushButton::clicked, this, [this] {
            m_grantButton->setEnabled(false);
            requestAccess();
        });
        column->addWidget(m_grantButton, 0, Qt::AlignHCenter);
    } else {
        // Restricted or denied by the library's folder: no grant would help, so say why.
        LibraryFolderProblem problem = LibraryFolderProblem::none;
        if (m_status == AuthorizationStatus::Restricted ||
            m_status == AuthorizationStatus::Denied) {
            const std::optional<AuthorizationStatus> folder =
                PhotoLibraryAccess::folderStatus(m_libraryPath);
            if (folder == AuthorizationStatus::Restricted)
                problem = LibraryFolderProblem::readOnlyMedium;
            else if (folder == AuthorizationStatus::Denied)
                problem = LibraryFolderProblem::noWritePermission;
        }
        const std::optional<AccessGateText> text =
            accessGateText(m_status, problem, QDir::toNativeSeparators(m_libraryPath));
        const bool known = m_status == AuthorizationStatus::Restricted ||
                           m_status == AuthorizationStatus::Denied ||
                           m_status == AuthorizationStatus::Limited;
        m_statusTitle = new QLabel(text ? text->title : QString());
        m_statusTitle->setObjectName(QStringLiteral("statusTitle"));
        if (known) {
            const bool limited = m_status == AuthorizationStatus::Limited;
            const QColor color = limited ? limitedOrange : deniedRed;
            auto* block = new QVBoxLayout;
            block->setSpacing(8);
            auto* row = new QHBoxLayout;
            row->setSpacing(6);
            auto* mark = new QLabel;
            mark->setObjectName(QStringLiteral("statusSymbol"));
            mark->setPixmap(symbolPixmap(limited ? QStringLiteral("exclamationmark.triangle.fill")
                                                 : QStringLiteral("xmark.circle.fill"),
                                         m_statusTitle->fontMetrics().height(), color, dpr));
            setTextColor(m_statusTitle, color);
            row->addStretch(1);
            row->addWidget(mark);
            row->addWidget(m_statusTitle);
            row->addStretch(1);
            block->addLayout(row);
            m_statusCaption = centredLabel(text ? text->caption : QString());
            m_statusCaption->setObjectName(QStringLiteral("statusCaption"));
            m_statusCaption->setTextInteractionFlags(Qt::TextSelectableByMouse);
            QFont captionFont = m_statusCaption->font();
            captionFont.setPointSizeF(captionFont.pointSizeF() * 0.88);
            m_statusCaption->setFont(captionFont);
            setTextColor(m_statusCaption, secondaryColor(palette()));
            block->addWidget(m_statusCaption);
            column->addLayout(block);
        } else {
            setTextColor(m_statusTitle, secondaryColor(palette()));
            column->addWidget(m_statusTitle, 0, Qt::AlignHCenter);
        }
    }
    column->addStretch(1);
    layout()->addWidget(m_gatePage);
}

void AccessGate::showScanView() {
    // The library is opened only now that access is granted; from here on every
    // deletion it makes asks the user first.
    DeletionPrompt::installForShared(window());
    try {
        DeletionPrompt::install(*photos::PhotoLibrary::shared(), window());
    } catch (const std::exception& error) {
        // Said in the window (it would otherwise show an empty library), and here for logs.
        m_libraryProblem = QString::fromUtf8(error.what());
        qWarning("twinslim: the photo library cannot be opened: %s", error.what());
    }
    delete m_gatePage;
    m_gatePage = nullptr;
    m_grantButton = nullptr;
    m_statusTitle = nullptr;
    m_statusCaption = nullptr;
    m_scanView = new ScanView(this);
    layout()->addWidget(m_scanView);
    emit scanViewShown(m_scanView);
    if (!m_libraryProblem.isEmpty())
        emit libraryUnavailable(m_libraryProblem);
}

QCoro::Task<> AccessGate::requestAccess() {
    QPointer<AccessGate> self(this);
    const QString libraryPath = m_libraryPath;
    using Awaitable = CallbackAwaitable<AuthorizationStatus>;
    Awaitable answer([libraryPath](Awaitable::Resolver resolver) {
        PhotoLibraryAccess::requestAuthorization(
            AccessLevel::ReadWrite,
            [resolver](AuthorizationStatus status) { resolver.resolve(status); },
            accessClientName(), libraryPath);
    });
    AuthorizationStatus status = AuthorizationStatus::NotDetermined;
    try {
        status = co_await answer;
    } catch (const std::exception&) {
        // No answer came: leave the gate as it was.
    }
    if (!self)
        co_return;
    self->setStatus(status);
}

} // namespace twinslim
