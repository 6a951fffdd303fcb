#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDialog>
#include <QImage>
#include <QString>

class QLabel;
class QPushButton;

namespace twinslim {

class PreviewPictureArea;
class Spinner;

// The large preview sheet of one asset: the file name and "Done" (also Escape and Space) above the
// picture at up to 2400 × 2400, a spinner until it arrives. Opened with open(), never exec().
// It asks for the picture once, when first shown; a request that brings nothing leaves the
// spinner turning until the sheet is closed. The opener owns it (it is not deleted on close).
class QuickPreviewDialog : public QDialog {
    Q_OBJECT
public:
    QuickPreviewDialog(photos::AssetPtr asset, QString filename, QWidget* parent = nullptr);
    ~QuickPreviewDialog() override;

    // The picture once loaded; null while the spinner shows.
    QImage image() const;
    QString filename() const { return m_filename; }

    QSize sizeHint() const override;

    static constexpr int requestSide = 2400;

signals:
    // The one answer has arrived (also when it brought no picture).
    void loadFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void load();
    void setImage(const QImage& image);

    photos::AssetPtr m_asset;
    QString m_filename;
    bool m_loadStarted = false;
    PreviewPictureArea* m_picture = nullptr;
    Spinner* m_spinner = nullptr;
};

} // namespace twinslim
