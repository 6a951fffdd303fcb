#pragma once

#include <QWidget>

namespace twinslim {

class LibraryModel;

// The working window's content: filters, pair table, backup folder and the two workflow
// steps. Owns the one LibraryModel. When first shown it counts the originals waiting for
// clean-up, then scans the last 30 days.
class ScanView : public QWidget {
    Q_OBJECT
public:
    explicit ScanView(QWidget* parent = nullptr);
    ~ScanView() override;

    LibraryModel* model() const;
};

} // namespace twinslim
