#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDialog>
#include <QString>

namespace twinslim {

// The large preview sheet of one asset: the file name and "Done" (also Escape) above the
// picture at up to 2400 × 2400, a spinner until it arrives. Opened with open(), never exec().
class QuickPreviewDialog : public QDialog {
    Q_OBJECT
public:
    QuickPreviewDialog(photos::AssetPtr asset, QString filename, QWidget* parent = nullptr);
    ~QuickPreviewDialog() override;

    // The picture once loaded; null while the spinner shows.
    QImage image() const;
};

} // namespace twinslim
