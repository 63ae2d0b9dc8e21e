// SPDX-License-Identifier: MIT
#include "chars.h"

#include <ctype.h>

#include <gtest/gtest.h>

namespace {

// The bytes where the classes are easiest to get wrong.
TEST(Chars, TrickyBytes) {
  struct Row {
    unsigned char byte;
    int space;
    int point;
  };
  const Row rows[] = {
      {0x00, 1, 0}, {'\t', 1, 0}, {'\n', 1, 0}, {'\r', 1, 0}, {' ', 1, 0},
      {0x0B, 0, 0}, {0x0C, 0, 0}, {0x85, 0, 0}, {0xA0, 0, 0}, {0xFF, 0, 0},
      {'.', 0, 1},  {';', 0, 1},  {'!', 0, 1},  {':', 0, 1},  {'?', 0, 0},
      {',', 0, 0},  {'a', 0, 0},  {0xAE, 0, 0}, {0xBA, 0, 0}, {0xA1, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.byte));
    const char c = static_cast<char>(r.byte);
    EXPECT_EQ(sentbreak::isspace(c), r.space);
    EXPECT_EQ(sentbreak::ispoint(c), r.point);
  }
}

// Against the C library in the "C" locale: the whitespace sets differ in NUL,
// vertical tab and form feed only, and the points are four of its punctuation.
TEST(Chars, AllBytesAgainstCLibrary) {
  int spaces = 0, points = 0;
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const char c = static_cast<char>(b);
    const bool odd = b == 0x00 || b == 0x0B || b == 0x0C;
    const bool lib = b < 0x80 && ::isspace(b);
    EXPECT_EQ(sentbreak::isspace(c), lib != odd ? 1 : 0);
    if (sentbreak::ispoint(c)) {
      EXPECT_TRUE(b < 0x80 && ::ispunct(b));
      EXPECT_EQ(sentbreak::isspace(c), 0);
    }
    spaces += sentbreak::isspace(c);
    points += sentbreak::ispoint(c);
  }
  EXPECT_EQ(spaces, 5);
  EXPECT_EQ(points, 4);
}

}  // namespace
