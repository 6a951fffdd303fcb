#include "core/EventLoop.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/Spinner.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace twinslim;

TEST(QuickPreview, SpinnerUntilThePictureArrivesAtMost2400) {
    TestLibrary library;
    // Decoded at half size, 2400 × 1600: what fits 2400 × 2400 without the full 4800.
    const auto asset = library.addPhoto(fixtures::makeJpeg({4800, 3200}));
    QuickPreviewDialog preview(asset, QStringLiteral("IMG_0001.JPG"));
    EXPECT_EQ(preview.minimumSize(), QSize(600, 450));
    EXPECT_EQ(preview.sizeHint(), QSize(1000, 760));
    QSignalSpy loaded(&preview, &QuickPreviewDialog::loadFinished);

    preview.open();
    auto* spinner = preview.findChild<Spinner*>();
    ASSERT_NE(spinner, nullptr);
    EXPECT_TRUE(spinner->isVisible());
    EXPECT_TRUE(spinner->isSpinning());
    EXPECT_TRUE(preview.image().isNull());
    // The ideal size where the screen allows it.
    const QSize screen = preview.screen()->availableGeometry().size();
    EXPECT_EQ(preview.size(), QSize(1000, 760).boundedTo(screen).expandedTo({600, 450}));

    ASSERT_TRUE(testloop::spinUntil([&] { return loaded.count() == 1; }, 60000));
    EXPECT_EQ(preview.image().size(), QSize(2400, 1600));
    EXPECT_FALSE(spinner->isVisible());
    EXPECT_FALSE(spinner->isSpinning());
}

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
        EXPECT_TRUE(spinner->isVisible());
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
        // Escape presses "Done" the way a click does, with the button's brief press shown first.
        EXPECT_TRUE(testloop::spinUntil([&] { return !preview.isVisible(); }));
        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(preview.result(), QDialog::Accepted);
        EXPECT_FALSE(spinner->isSpinning());
    }
}

TEST(QuickPreview, LongFileNameStaysOnOneLine) {
    TestLibrary library;
    const auto asset = library.addPhoto(fixtures::makeJpeg({64, 48}));
    const QString name = QString("A very long file name ").repeated(20) + "IMG_0001.JPG";
    QuickPreviewDialog preview(asset, name);
    preview.open();
    auto* label = preview.findChild<QLabel*>("previewFilename");
    ASSERT_NE(label, nullptr);
    EXPECT_FALSE(label->wordWrap());
    EXPECT_LT(label->sizeHint().height(), 2 * label->fontMetrics().lineSpacing());
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    EXPECT_TRUE(label->text().contains(QChar(0x2026)));
    EXPECT_TRUE(label->text().endsWith("JPG"));
    EXPECT_EQ(label->toolTip(), name);

    // Widening the sheet shows more of the name.
    const int shown = label->text().size();
    preview.resize(1400, 760);
    QCoreApplication::processEvents();
    EXPECT_GT(label->text().size(), shown);
}

TEST(Spinner, TurnsOnlyWhileShown) {
    Spinner spinner;
    EXPECT_EQ(spinner.sizeHint(), QSize(32, 32));
    spinner.setDiameter(20);
    EXPECT_EQ(spinner.sizeHint(), QSize(20, 20));
    EXPECT_FALSE(spinner.isSpinning());
    spinner.show();
    EXPECT_TRUE(spinner.isSpinning());
    const int step = spinner.step();
    EXPECT_TRUE(testloop::spinUntil([&] { return spinner.step() != step; }));
    // Something is drawn: the spokes in the text colour.
    const QImage drawn = spinner.grab().toImage();
    int inked = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            inked += drawn.pixelColor(x, y) != drawn.pixelColor(0, 0);
    EXPECT_GT(inked, 20);
    spinner.hide();
    EXPECT_FALSE(spinner.isSpinning());
}
