// Icons come from the theme when there is one and from the model's own
// resource otherwise; the test machine has no theme, so every lookup must
// still give a picture of the asked size.
#include <gtest/gtest.h>

#include "model/qt/FileIcons.h"

TEST(FileIcons, EveryExtensionGetsAnIconOfTheAskedSize) {
    for (const char* ext : {"png", "JPG", "docx", "", "no-such-extension"}) {
        SCOPED_TRACE(ext);
        EXPECT_FALSE(FileIconForExtension(QString::fromUtf8(ext)).isNull());
        const QImage small = FileIconImage(QString::fromUtf8(ext), 16);
        ASSERT_FALSE(small.isNull());
        EXPECT_LE(small.width(), 16);
        EXPECT_LE(small.height(), 16);
        EXPECT_GE(std::max(small.width(), small.height()), 8);
    }
}
