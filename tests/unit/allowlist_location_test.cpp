#include <gtest/gtest.h>

#include "allowlist/allowlist_location.h"
#include "support/error_message.h"

// The folder of the allowlist is the standard parent path: runs of separators
// count as one and the root keeps its separator.
TEST(AllowlistFolder, FollowsTheParentPathRule) {
    EXPECT_EQ(AllowlistFolder(u"C:\\Users\\a\\\\//x.allow"), u"C:\\Users\\a");
    EXPECT_EQ(AllowlistFolder(u"C:/dir/x.allow"), u"C:/dir");
    EXPECT_EQ(AllowlistFolder(u"C:\\x.allow"), u"C:\\");
    EXPECT_EQ(AllowlistFolder(u"\\\\server\\share\\x.allow"), u"\\\\server\\share\\");
    EXPECT_EQ(AllowlistFolder(u"x.allow"), u"");
    EXPECT_EQ(AllowlistFolder(u"d\\x.allow"), u"d");
}

TEST(DefaultAllowlistPath, JoinsQuorlSshAndTheFileName) {
    EXPECT_EQ(DefaultAllowlistPathUnder(WideString(u"C:\\Users\\J\u00F6rg\\AppData\\Local")),
              u"C:\\Users\\J\u00F6rg\\AppData\\Local\\QuorlSSH\\http-pipe.allow");
    EXPECT_EQ(MessageOf([] { DefaultAllowlistPathUnder(std::nullopt); }), "Could not locate local application data.");
}
