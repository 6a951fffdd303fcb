#include "ui/QuickPreviewDialog.h"

#include "platform/photos/ImageManager.h"
#include "ui/Spinner.h"

#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <atomic>
#include <memory>

namespace twinslim {

// The picture scaled to fit, whole and centred, on a faint dark background.
class PreviewPictureArea : public QWidget {
public:
    explicit PreviewPictureArea(QWidget* parent) : QWidget(parent) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    void setImage(const QImage& image) {
        m_image = image;
        update();
    }
    const QImage& image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0, 0, 0, 13)); // black at 5 %
        if (m_image.isNull())
            return;
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QSizeF fitted = QSizeF(m_image.size()).scaled(size(), Qt::KeepAspectRatio);
        const QRectF target(
            QPointF((width() - fitted.width()) / 2.0, (height() - fitted.height()) / 2.0), fitted);
        painter.drawImage(target, m_image);
    }

private:
    QImage m_image;
};

namespace {

// A label that keeps to one line however long its text, cutting the middle with "…".
class ElidedLabel : public QLabel {
public:
    ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent), m_full(text) {
        setToolTip(text);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setTextFormat(Qt::PlainText);
        setText(text);
    }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        const QString elided = fontMetrics().elidedText(m_full, Qt::ElideMiddle, width());
        if (elided != text())
            setText(elided);
    }

private:
    QString m_full;
};

} // namespace

QuickPreviewDialog::QuickPreviewDialog(photos::AssetPtr asset, QString filename, QWidget* parent)
    : QDialog(parent), m_asset(std::move(asset)), m_filename(std::move(filename)) {
    setWindowTitle(m_filename);
    setMinimumSize(600, 450);
    setSizeGripEnabled(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* titleBar = new QHBoxLayout;
    titleBar->setContentsMargins(10, 10, 10, 10);
    auto* name = new ElidedLabel(m_filename, this);
    name->setObjectName(QStringLiteral("previewFilename"));
    QFont headline = name->font();
    headline.setBold(true);
    name->setFont(headline);
    titleBar->addWidget(name, 1);
    auto* done = new QPushButton(tr("Done"), this);
    done->setObjectName(QStringLiteral("previewDone"));
    // Escape presses "Done", so both close the sheet the same way.
    done->setShortcut(QKeySequence(Qt::Key_Escape));
    done->setAutoDefault(false);
    done->setToolTip(tr("Closes the preview (Escape)"));
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    titleBar->addWidget(done);
    layout->addLayout(titleBar);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);

    m_picture = new PreviewPictureArea(this);
    auto* centre = new QGridLayout(m_picture);
    m_spinner = new Spinner(m_picture);
    centre->addWidget(m_spinner, 0, 0, Qt::AlignCenter);
    layout->addWidget(m_picture, 1);

    // The ideal size, unless the screen is smaller (Qt's own first size would be at most two
    // thirds of the screen).
    QSize ideal = sizeHint();
    if (const QScreen* screen = this->screen())
        ideal = ideal.boundedTo(screen->availableGeometry().size());
    resize(ideal.expandedTo(minimumSize()));
}

QuickPreviewDialog::~QuickPreviewDialog() = default;

QImage QuickPreviewDialog::image() const {
    return m_picture->image();
}

QSize QuickPreviewDialog::sizeHint() const {
    return {1000, 760};
}

void QuickPreviewDialog::keyPressEvent(QKeyEvent* event) {
    // Space closes the preview it opened from the table; a held Space does nothing more.
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        if (!event->isAutoRepeat())
            accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void QuickPreviewDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_loadStarted) {
        m_loadStarted = true;
        load();
    }
}

void QuickPreviewDialog::load() {
    photos::ImageRequestOptions options;
    options.deliveryMode = photos::ImageDeliveryMode::HighQualityFormat;
    options.resizeMode = photos::ImageResizeMode::Fast;
    options.networkAccessAllowed = true;
    // The handler runs on the image manager's thread; only the first final answer counts,
    // and it reaches the sheet on the GUI thread if the sheet still exists.
    QPointer<QuickPreviewDialog> self(this);
    auto answered = std::make_shared<std::atomic<bool>>(false);
    photos::ImageManager::defaultManager()->requestImage(
        m_asset, QSize(requestSide, requestSide), photos::ImageContentMode::AspectFit, options,
        [self, answered](QImage image, photos::ImageResultInfo info) {
            if (info.isDegraded || answered->exchange(true))
                return;
            QCoreApplication* app = QCoreApplication::instance();
            if (!app)
                return;
            QMetaObject::invokeMethod(
                app,
                [self, image = std::move(image)] {
                    if (self)
                        self->setImage(image);
                },
                Qt::QueuedConnection);
        });
}

void QuickPreviewDialog::setImage(const QImage& image) {
    m_picture->setImage(image);
    m_spinner->setVisible(image.isNull());
    emit loadFinished();
}

} // namespace twinslim
