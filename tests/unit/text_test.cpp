#include "text.h"

#include <gtest/gtest.h>

#include <string>

using kvi::Text;

TEST(Text, AbsentEmptyAndGrowing) {
    Text t;
    EXPECT_FALSE(t.present());
    EXPECT_STREQ(t.c_str(), "");
    ASSERT_TRUE(t.make_empty());
    EXPECT_TRUE(t.present());
    EXPECT_TRUE(t.empty());
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(t.append_all("ab", std::string_view("c\0d", 3)));
        expected += std::string("abc\0d", 5);
    }
    EXPECT_EQ(std::string(t.view()), expected);
    EXPECT_EQ(t.c_str()[t.size()], '\0');
}

TEST(Text, FitToTerminatorAndZeroPadding) {
    Text t;
    ASSERT_TRUE(t.reserve(10));
    std::memcpy(t.data(), "abc\0xyz", 7);
    t.fit_to_terminator();
    EXPECT_EQ(std::string(t.view()), "abc");
    EXPECT_EQ(std::string(t.c_str(), 11), std::string("abc") + std::string(8, '\0'));
    // Grown again, the text stays and every byte behind it is zero, the new ones too.
    ASSERT_TRUE(t.reserve(100));
    EXPECT_EQ(std::string(t.c_str(), 101), std::string("abc") + std::string(98, '\0'));
}

TEST(TextHelpers, LowerOnlyAToZAndFindLast) {
    std::string s = "AZaz@[`{\xC4\xE4";
    kvi::lower_in_place(s.data(), s.size());
    EXPECT_EQ(s, "azaz@[`{\xC4\xE4");
    // UTF-8 names: no byte of a multi-byte letter lies in A-Z, so none is touched.
    std::string path = "C:\\\xD0\x9F\xD0\xA0 \xE5\xAE\x89\\SETUP.EXE";  // C:\ПР 安\SETUP.EXE
    kvi::lower_in_place(path.data(), path.size());
    EXPECT_EQ(path, "c:\\\xD0\x9F\xD0\xA0 \xE5\xAE\x89\\setup.exe");
    EXPECT_EQ(kvi::find_last_match("setupsetup x setup", "setup"), 13u);
    EXPECT_EQ(kvi::find_last_match("sss", "ss"), 0u) << "the search goes on behind the match";
    EXPECT_EQ(kvi::find_last_match("abc", "setup"), std::string_view::npos);
    EXPECT_EQ(kvi::slice("abc", 5), "");
    EXPECT_EQ(kvi::slice("abc", 1, 99), "bc");
}
