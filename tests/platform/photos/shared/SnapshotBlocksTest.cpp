#include "platform/photos/shared/SnapshotBlocks.h"

#include <gtest/gtest.h>

using namespace photos::blocks;

// Strings sharing one block read as strings of their own, each ended by a NUL, and changing one
// leaves the others as they were, whether it is shared at the time or the last one left.
TEST(StringBlock, PartsReadAndChangeAsStringsOfTheirOwn) {
    QString id, path, name, odd;
    {
        StringBlock block(96);
        id = block.add({u"AB-", u"00000000002A", u"/L0/001"});
        path = block.addUtf8("/photos/b \xc3\xa9t\xc3\xa9/IMG_1.JPG");
        odd = block.addUtf8("x\xff/y");
        name = tailOf(path, 14);
        // Parts made after others share the block are written where those read them.
        EXPECT_EQ(block.add({u"/L0/", u"040"}), u"/L0/040");
        EXPECT_EQ(block.addUtf8("/z"), u"/z");
        EXPECT_EQ(block.addUtf8(u"/f/", "a\xc3\xa9", u".xmp"),
                  QString::fromUtf8("/f/a\xc3\xa9.xmp"));
        EXPECT_EQ(block.addUtf8(u"/f/", "b", u""), u"/f/b");
    }
    EXPECT_EQ(id, u"AB-00000000002A/L0/001");
    EXPECT_EQ(path, QString::fromUtf8("/photos/b été/IMG_1.JPG"));
    EXPECT_EQ(name, u"IMG_1.JPG");
    EXPECT_EQ(odd, QString::fromUtf8("x\xff/y"));
    for (const QString* s : {&id, &path, &name, &odd})
        EXPECT_EQ(s->utf16()[s->size()], u'\0');
    EXPECT_EQ(tailOf(QStringLiteral("/a/b.jpg"), 3), u"b.jpg"); // static data: copied

    QString changed = name;
    changed += u".bak";
    id.append(u'!');
    name.prepend(u'_');
    EXPECT_EQ(changed, u"IMG_1.JPG.bak");
    EXPECT_EQ(name, u"_IMG_1.JPG");
    EXPECT_EQ(id, u"AB-00000000002A/L0/001!");
    EXPECT_EQ(path, QString::fromUtf8("/photos/b été/IMG_1.JPG"));
    EXPECT_EQ(odd, QString::fromUtf8("x\xff/y"));
    path.clear();
    name.clear();
    odd.append(u"zzzzzzzzzzzzzzzzzzzz"); // the last one holding the block
    EXPECT_EQ(odd, QString::fromUtf8("x\xff/yzzzzzzzzzzzzzzzzzzzz"));
    EXPECT_EQ(id, u"AB-00000000002A/L0/001!");

    char16_t digits[16];
    EXPECT_EQ(QStringView(digits, hexDigitsOf(0x2A, digits)), u"00000000002A");
    EXPECT_EQ(QStringView(digits, hexDigitsOf(0x123456789ABCDEFLL, digits)), u"123456789ABCDEF");
}
