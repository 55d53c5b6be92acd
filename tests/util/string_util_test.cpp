#include "StringUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string applied(void (*op)(char*), std::string text) {
    op(text.data());
    return text.c_str();
}

TEST(StringUtil, StripTrailingWhiteSpace) {
    EXPECT_EQ(applied(strip_tblanks, ""), "");
    EXPECT_EQ(applied(strip_tblanks, " \t \t"), "");
    EXPECT_EQ(applied(strip_tblanks, "  WFO x"), "  WFO x");
    EXPECT_EQ(applied(strip_tblanks, "OAX \t\n\v\f\r "), "OAX");
    EXPECT_EQ(applied(strip_tblanks, "a b  "), "a b");
}

TEST(StringUtil, StripLeadingWhiteSpace) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(applied(strip_lblanks, "abc "), "abc ");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(applied(strip_lblanks, " \t\n x y "), "x y ");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (const char* blank : {"", " \t "}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(applied(strip_lblanks, blank), blank);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error in strip_lblanks: no non-blank chars found.\n");
    }
}

TEST(StringUtil, CompressBlanksKeepsFirstCharacterOfEachRun) {
    EXPECT_EQ(applied(compress_blanks, "a  \tb"), "a b");
    EXPECT_EQ(applied(compress_blanks, "\t x"), "\tx");
    EXPECT_EQ(applied(compress_blanks, "x \n\n"), "x ");
    EXPECT_EQ(applied(compress_blanks, "a b c"), "a b c");
    EXPECT_EQ(applied(compress_blanks, ""), "");
}

TEST(StringUtil, CaseMappingAndBlankTest) {
    EXPECT_EQ(applied(chgupper, "oax-1 z\xe9"), "OAX-1 Z\xe9");
    EXPECT_EQ(applied(chglower, "OAX-1 Z"), "oax-1 z");
    chgupper(nullptr);
    chglower(nullptr);
    EXPECT_EQ(IsBlankStr(nullptr), 1);
    EXPECT_EQ(IsBlankStr(""), 1);
    EXPECT_EQ(IsBlankStr(" \t\r\n"), 1);
    EXPECT_EQ(IsBlankStr("  .  "), 0);
}

TEST(StringUtil, FieldLengths) {
    EXPECT_EQ(Fstrlen("abc       ", 10), 3);
    const char letterZeroBlanks[6] = {'a', '\0', ' ', ' ', ' ', ' '};
    EXPECT_EQ(Fstrlen(letterZeroBlanks, 6), 1);
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(Fstrlen(unterminated, 4), 4);
    EXPECT_EQ(Fstrlen("  \t\x01", 4), 0);
    EXPECT_EQ(Fstrlen("abc", 0), 0);
    EXPECT_EQ(Fstrlen("abc", -5), -5);
    EXPECT_EQ(cstrlen("hydro"), 5);
    EXPECT_EQ(cstrlen(""), 0);
}

TEST(StringUtil, HeapStringAppendAndReplace) {
    char* s = nullptr;
    Text_AddString(&s, "abc", 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "abc");
    const char* before = s;
    Text_AddString(&s, "", 0);
    EXPECT_EQ(s, before);
    Text_AddString(&s, nullptr, 0);
    EXPECT_EQ(s, before);
    Text_AddString(&s, "defg", 2);
    EXPECT_STREQ(s, "abcdefg");
    Text_AddString(&s, "xy", TEXT_REPLACE);
    EXPECT_STREQ(s, "xy");
    Text_AddString(&s, "", TEXT_REPLACE);
    EXPECT_EQ(s, nullptr);
    Text_AddString(&s, "q", TEXT_REPLACE);
    EXPECT_STREQ(s, "q");
    Text_FreeString(&s);
    EXPECT_EQ(s, nullptr);
    Text_FreeString(&s);
    EXPECT_EQ(s, nullptr);
}

}  // namespace
