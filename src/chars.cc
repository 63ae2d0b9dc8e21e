// SPDX-License-Identifier: MIT
#include "chars.h"

namespace sentbreak {

int isspace(char c) {
  switch (c) {
    case '\0':
    case '\t':
    case '\n':
    case '\r':
    case ' ':
      return 1;
    default:
      return 0;
  }
}

int ispoint(char c) {
  switch (c) {
    case '.':
    case ';':
    case '!':
    case ':':
      return 1;
    default:
      return 0;
  }
}

}  // namespace sentbreak
