#include "core/EventLoop.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/Spinner.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace twinslim;

TEST(QuickPreview, SpinnerUntilThePictureArrivesAtMost2400) {
    TestLibrary library;
    // Decoded at half size, 2400 × 1600: what fits 2400 × 2400 without the full 4800.
    const auto asset = library.addPhoto(fixtures::makeJpeg({4800, 3200}));
    QuickPreviewDialog preview(asset, QStringLiteral("IMG_0001.JPG"));
    QSignalSpy loaded(&preview, &QuickPreviewDialog::loadFinished);
    preview.open();
    auto* spinner = preview.findChild<Spinner*>();
    ASSERT_NE(spinner, nullptr);
    EXPECT_TRUE(spinner->isVisible() && spinner->isSpinning());
    EXPECT_TRUE(preview.image().isNull());

    ASSERT_TRUE(testloop::spinUntil([&] { return loaded.count() == 1; }, 60000));
    EXPECT_EQ(preview.image().size(), QSize(2400, 1600));
    EXPECT_FALSE(spinner->isVisible() || spinner->isSpinning());
}

// Nothing delivered: the spinner keeps turning until Done or Escape closes the sheet, and then
// stops.
TEST(QuickPreview, NothingDeliveredKeepsTheSpinnerUntilDoneOrEscape) {
    TestLibrary library;
    const auto asset = library.addPhoto(fixtures::makeJpeg({320, 240}));
    for (const bool byEscape : {true, false}) {
        SCOPED_TRACE(byEscape ? "Escape" : "Done");
        library.library().faults().answerNextImageRequestWithNothing = true;
        QuickPreviewDialog preview(asset, QStringLiteral("IMG_0001.JPG"));
        QSignalSpy loaded(&preview, &QuickPreviewDialog::loadFinished);
        QSignalSpy finished(&preview, &QDialog::finished);
        preview.open();
        ASSERT_TRUE(testloop::spinUntil([&] { return loaded.count() == 1; }));
        auto* spinner = preview.findChild<Spinner*>();
        EXPECT_TRUE(preview.image().isNull());
        const int step = spinner->step();
        EXPECT_TRUE(testloop::spinUntil([&] { return spinner->step() != step; }));

        if (byEscape) {
            preview.activateWindow();
            QTest::keyClick(&preview, Qt::Key_Escape);
        } else {
            auto* done = preview.findChild<QPushButton*>("previewDone");
            ASSERT_NE(done, nullptr);
            EXPECT_EQ(done->text(), "Done");
            QTest::mouseClick(done, Qt::LeftButton);
        }
        EXPECT_TRUE(testloop::spinUntil([&] { return !preview.isVisible(); }));
        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(preview.result(), QDialog::Accepted);
        EXPECT_FALSE(spinner->isSpinning());
    }
}

// A long file name stays on one line, cut in the middle; a wider sheet shows more of it.
TEST(QuickPreview, LongFileNameStaysOnOneLine) {
    TestLibrary library;
    const auto asset = library.addPhoto(fixtures::makeJpeg({64, 48}));
    const QString name = QString("A very long file name ").repeated(20) + "IMG_0001.JPG";
    QuickPreviewDialog preview(asset, name);
    preview.open();
    auto* label = preview.findChild<QLabel*>("previewFilename");
    ASSERT_NE(label, nullptr);
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    EXPECT_TRUE(label->text().contains(QChar(0x2026)) && label->text().endsWith("JPG"));
    EXPECT_EQ(label->toolTip(), name);
    const int shown = label->text().size();
    preview.resize(1400, 760);
    QCoreApplication::processEvents();
    EXPECT_GT(label->text().size(), shown);
}
