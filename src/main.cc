#include <errno.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>

#include "chars.h"

namespace {

void report(const char* what, int err) {
  fprintf(stderr, "sentbreak: %s error: %s\n", what, strerror(err));
}

}  // namespace

/*
 * sentbreak: copy standard input to standard output, one sentence per line.
 *
 * A point ('.', ';', '!' or ':') directly followed by a whitespace byte (NUL,
 * tab, line feed, carriage return or space) ends a sentence: the point is
 * written, then a newline in place of that whitespace byte. Every other
 * whitespace byte is written as a space, and every other byte as it is. Both
 * streams are line-buffered, so a finished line, and what is already decided
 * after it, reaches the reader before the filter waits for more input. At the
 * end of the input a newline is written, preceded by the whitespace byte of a
 * break if the input ended with one. Arguments are ignored.
 *
 * The exit status is 0 on success. A failed read ends the input as its end
 * would; a failed write ends the run at once. Either is reported as one line
 * on standard error, with exit status 1.
 */
int main() {
  setvbuf(stdin, nullptr, _IOLBF, 1024);
  setvbuf(stdout, nullptr, _IOLBF, 1024);
  // One thread uses these streams, so stdio need not lock them on every call.
  __fsetlocking(stdin, FSETLOCKING_BYCALLER);
  __fsetlocking(stdout, FSETLOCKING_BYCALLER);

  int c = getc(stdin);
  int next = EOF;
  while (!feof(stdin) && !ferror(stdin) && !ferror(stdout)) {
    next = getc(stdin);
    if (sentbreak::ispoint(c) && next != EOF && sentbreak::isspace(next)) {
      printf("%c\n", c);
      if (ferror(stdout))
        break;
      c = getc(stdin);
      continue;
    }
    if (sentbreak::isspace(c))
      printf(" ");
    else
      printf("%c", c);
    c = next;
  }
  if (ferror(stdout)) {
    report("write", errno);
    return 1;
  }

  int rerr = ferror(stdin) ? errno : 0;  // before the writes below reuse errno
  // A break that ended the input gives back the whitespace byte it consumed.
  if (next != EOF)
    printf("%c\n", next);
  else
    printf("\n");
  int werr = ferror(stdout) || fclose(stdout) != 0 ? errno : 0;
  if (rerr != 0)
    report("read", rerr);
  if (werr != 0)
    report("write", werr);
  return rerr != 0 || werr != 0;
}
