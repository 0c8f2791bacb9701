#include "platform/text.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

// Every composer must refuse, not cut, and leave the buffer as it was.
TEST(Text, CopyAndAppendAtTheLimit) {
  char buf[8];
  EXPECT_EQ(1, text_copy(buf, sizeof buf, "1234567"));  // 7 + terminator: fits
  EXPECT_STREQ("1234567", buf);
  EXPECT_EQ(0, text_copy(buf, sizeof buf, "12345678"));  // one past
  EXPECT_STREQ("1234567", buf);

  EXPECT_EQ(1, text_copy(buf, sizeof buf, "123"));
  EXPECT_EQ(1, text_append(buf, sizeof buf, "4567"));
  EXPECT_STREQ("1234567", buf);
  EXPECT_EQ(0, text_append(buf, sizeof buf, "8"));
  EXPECT_STREQ("1234567", buf);

  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(0, text_append(unterminated, sizeof unterminated, ""));
  EXPECT_EQ(0, memcmp(unterminated, "abcd", 4));
}

TEST(Text, FormatReplacesEachFieldAndRefusesOverflow) {
  char buf[260];
  EXPECT_EQ(1, text_format(buf, sizeof buf, "%s\\bkremove.bat %s", "C:\\Windows", "My_Book"));
  EXPECT_STREQ("C:\\Windows\\bkremove.bat My_Book", buf);
  EXPECT_EQ(1, text_format(buf, sizeof buf, "100%% %s", "x"));
  EXPECT_STREQ("100% x", buf);

  std::string long_name(254, 'a');  // "eBook " + 253 = 259: fits; 254 doesn't
  EXPECT_EQ(1, text_format(buf, sizeof buf, "eBook %s", long_name.c_str() + 1));
  EXPECT_EQ(259u, strlen(buf));
  strcpy(buf, "unchanged");
  EXPECT_EQ(0, text_format(buf, sizeof buf, "eBook %s", long_name.c_str()));
  EXPECT_STREQ("unchanged", buf);
}

TEST(Text, FormatMayReadItsOwnOutput) {
  char buf[16] = "abc";
  EXPECT_EQ(1, text_format(buf, sizeof buf, "%s\\%s", buf, "d"));
  EXPECT_STREQ("abc\\d", buf);
}

// Letters A to Z only: the characters either side of both ranges stay.
TEST(Text, FoldLowersAToZAlone) {
  const char from[] = "@AZ[`az{";
  const char to[] = "@az[`az{";
  for (int i = 0; from[i] != '\0'; ++i) EXPECT_EQ(to[i], text_fold(from[i])) << from[i];
}
