// SPDX-License-Identifier: MIT
#ifndef SENTBREAK_CHARS_H_
#define SENTBREAK_CHARS_H_

// The two byte classes the filter decides by. Each takes any byte and returns
// 1 if it is in the class, else 0. No locale is consulted.
namespace sentbreak {

// NUL, tab, line feed, carriage return and space.
int isspace(char c);

// '.', ';', '!' and ':'.
int ispoint(char c);

}  // namespace sentbreak

#endif  // SENTBREAK_CHARS_H_
