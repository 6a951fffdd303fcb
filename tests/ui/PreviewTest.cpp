#include "core/EventLoop.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/Spinner.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace twinslim;

// The spinner turns until the picture arrives, decoded no larger than 2400 × 2400; when nothing
// is delivered it keeps turning until Done or Escape closes the sheet, and then stops.
TEST(QuickPreview, SpinnerUntilThePictureArrivesOrTheSheetCloses) {
    TestLibrary library;
    // Decoded at half size, 2400 × 1600: what fits 2400 × 2400 without the full 4800.
    const auto asset = library.addPhoto(fixtures::makeJpeg({4800, 3200}));
    for (const bool delivered : {true, false}) {
        SCOPED_TRACE(delivered ? "delivered, Done" : "nothing, Escape");
        library.library().faults().answerNextImageRequestWithNothing = !delivered;
        QuickPreviewDialog preview(asset, QStringLiteral("IMG_0001.JPG"));
        QSignalSpy loaded(&preview, &QuickPreviewDialog::loadFinished);
        QSignalSpy finished(&preview, &QDialog::finished);
        preview.open();
        auto* spinner = preview.findChild<Spinner*>();
        ASSERT_NE(spinner, nullptr);
        EXPECT_TRUE(spinner->isVisible() && spinner->isSpinning());
        EXPECT_TRUE(preview.image().isNull());
        ASSERT_TRUE(testloop::spinUntil([&] { return loaded.count() == 1; }, 60000));

        if (delivered) {
            EXPECT_EQ(preview.image().size(), QSize(2400, 1600));
            EXPECT_FALSE(spinner->isVisible() || spinner->isSpinning());
            auto* done = preview.findChild<QPushButton*>("previewDone");
            ASSERT_NE(done, nullptr);
            EXPECT_EQ(done->text(), "Done");
            QTest::mouseClick(done, Qt::LeftButton);
        } else {
            EXPECT_TRUE(preview.image().isNull());
            const int step = spinner->step();
            EXPECT_TRUE(testloop::spinUntil([&] { return spinner->step() != step; }));
            preview.activateWindow();
            QTest::keyClick(&preview, Qt::Key_Escape);
        }
        EXPECT_TRUE(testloop::spinUntil([&] { return !preview.isVisible(); }));
        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(preview.result(), QDialog::Accepted);
        EXPECT_FALSE(spinner->isSpinning());
    }
}
