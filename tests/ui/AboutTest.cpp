#include "core/EventLoop.h"
#include "ui/AboutWindow.h"
#include "ui/Symbols.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <gtest/gtest.h>
#include <memory>

using namespace twinslim;

namespace {

int openAboutWindows() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        count += qobject_cast<AboutWindow*>(widget) && widget->isVisible();
    return count;
}

QString labelText(QWidget* window, const char* name) {
    auto* label = window->findChild<QLabel*>(name);
    return label ? label->text() : QStringLiteral("<no label %1>").arg(name);
}

} // namespace

TEST(AboutWindow, OneWindowAfterTwoRequestsFixedAt460By260) {
    auto about = std::unique_ptr<QAction>(makeAboutAction(nullptr));
    EXPECT_EQ(about->text(), "About Twinslim");
    about->trigger();
    AboutWindow* first = AboutWindow::shared();
    ASSERT_NE(first, nullptr);
    about->trigger();
    EXPECT_EQ(AboutWindow::showShared(), first);
    EXPECT_EQ(openAboutWindows(), 1);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->windowTitle(), "About Twinslim");
    EXPECT_EQ(first->size(), QSize(460, 260));
    EXPECT_EQ(first->minimumSize(), QSize(460, 260));
    EXPECT_EQ(first->maximumSize(), QSize(460, 260));

    // Closing discards it; the next request builds a new one.
    first->close();
    testloop::drain();
    EXPECT_EQ(AboutWindow::shared(), nullptr);
    EXPECT_EQ(openAboutWindows(), 0);
    AboutWindow* second = AboutWindow::showShared();
    EXPECT_EQ(openAboutWindows(), 1);
    second->close();
    testloop::drain();
}

TEST(AboutWindow, TextsAndTheirFit) {
    AboutWindow window;
    window.show();
    EXPECT_EQ(labelText(&window, "aboutName"), "Twinslim");
    EXPECT_TRUE(window.findChild<QLabel*>("aboutName")->font().bold());
    EXPECT_EQ(labelText(&window, "aboutVersion"), AboutWindow::versionLine());
    EXPECT_EQ(labelText(&window, "aboutDescription"),
              "Replace RAW+JPEG pairs with a space-saving HEIC (or JPEG). Full-quality edited "
              "copies come from Photos\u2019 own export; Twinslim backs up the originals and "
              "performs the switch.");
    const QString libraries = labelText(&window, "aboutLibraries");
    for (const char* library : {"Qt", "QCoro", "SQLite", "libjpeg-turbo", "libheif", "x265",
                                "libde265", "LibRaw", "Exiv2", "systemd"})
        EXPECT_TRUE(libraries.contains(QLatin1String(library))) << library;
    EXPECT_FALSE(libraries.contains("Apple"));
    // Everything is inside the window, the libraries line last.
    for (QLabel* label : window.findChildren<QLabel*>()) {
        SCOPED_TRACE(label->objectName().toStdString());
        EXPECT_TRUE(window.rect().contains(label->geometry()));
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
    }
    EXPECT_LE(window.findChild<QLabel*>("aboutLibraries")->geometry().bottom(), 260 - 24);
    // The glyph is drawn in the accent colour.
    const QImage glyph = window.findChild<QLabel*>("aboutSymbol")
                             ->pixmap()
                             .toImage()
                             .convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(glyph.isNull());
    const QColor accent = window.palette().color(QPalette::Highlight);
    int accentPixels = 0;
    for (int y = 0; y < glyph.height(); ++y)
        for (int x = 0; x < glyph.width(); ++x)
            accentPixels += glyph.pixelColor(x, y).alpha() == 255 &&
                            glyph.pixelColor(x, y).rgb() == accent.rgb();
    EXPECT_GT(accentPixels, 50);
}

TEST(AboutWindow, VersionLineFallsBackForMissingValues) {
    struct Case {
        QString shortVersion, build, line;
    };
    const Case cases[] = {
        {"0.1.0", "7", "Version 0.1.0 (7)"},
        {"", "", "Version 1.0 (1)"},
        {"2.3", "", "Version 2.3 (1)"},
        {" ", "42", "Version 1.0 (42)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AboutWindow::versionLine(c.shortVersion, c.build), c.line);
}

TEST(Symbols, EveryNameHasAnIconAndASingleColourGlyph) {
    const QStringList names = {"photo.stack",
                               "magnifyingglass",
                               "folder",
                               "rectangle.stack.badge.plus",
                               "square.and.arrow.down",
                               "checkmark.circle",
                               "checkmark.circle.fill",
                               "circle",
                               "xmark.circle.fill",
                               "exclamationmark.triangle.fill",
                               "pencil"};
    const QColor orange(255, 149, 0);
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(symbol(name).isNull());
        EXPECT_FALSE(symbol(name).pixmap(24, 24).isNull());
        const QImage glyph = symbolPixmap(name, 40, orange, 2.0).toImage();
        ASSERT_EQ(glyph.size(), QSize(80, 80));
        int opaque = 0, other = 0;
        for (int y = 0; y < glyph.height(); ++y)
            for (int x = 0; x < glyph.width(); ++x) {
                const QColor c = glyph.pixelColor(x, y);
                if (c.alpha() == 255)
                    other += c.rgb() != orange.rgb(), ++opaque;
            }
        EXPECT_GT(opaque, 200);
        EXPECT_EQ(other, 0);
        EXPECT_EQ(glyph.pixelColor(0, 0).alpha(), 0); // the drawing leaves its corners clear
    }
    EXPECT_TRUE(symbol("no.such.symbol").isNull());
    EXPECT_TRUE(symbolPixmap("no.such.symbol", 40, orange).isNull());
    EXPECT_EQ(symbolThemeName("folder"), "folder");
    EXPECT_TRUE(symbolThemeName("circle").isEmpty());
}
