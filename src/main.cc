// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(SENTBREAK_HAVE_FSETLOCKING) || defined(SENTBREAK_HAVE_FREADAHEAD)
#include <stdio_ext.h>
#endif

#include "chars.h"

#ifndef SENTBREAK_HAVE_FERROR_UNLOCKED
#define ferror_unlocked ferror
#define clearerr_unlocked clearerr
#endif

namespace {

void report(const char* what, int err) {
  fprintf(stderr, "sentbreak: %s error: %s\n", what, strerror(err));
}

// Whether f's buffer still holds input, so that getc needs no read. Where the
// C library gives no way to tell, the answer is yes.
int buffered(FILE* f) {
#if defined(SENTBREAK_HAVE_IO_READ_PTR)
  return f->_IO_read_ptr < f->_IO_read_end;
#elif defined(SENTBREAK_HAVE_FREADAHEAD)
  return __freadahead(f) > 0;
#elif defined(SENTBREAK_HAVE_FILE_R)
  return f->_r > 0;
#else
  (void)f;
  return 1;
#endif
}

// Whether all the output decided so far has been written. A line end that
// failed to be written has left nothing for the flush to fail on, so the
// error flag counts too. Out of line, it leaves get() small enough to be
// inlined into the loop.
[[gnu::noinline]] int flushed() {
  return fflush(stdout) == 0 && !ferror_unlocked(stdout);
}

// Returns the next input byte, or EOF. Before the input buffer is refilled,
// the output decided so far is flushed: the reader has it before the filter
// waits, and a failed write is caught before the read, which is then not made.
// An interrupted read is made again.
int get() {
  if (!buffered(stdin) && !flushed())
    return EOF;
  int c;
  while ((c = getc(stdin)) == EOF && ferror_unlocked(stdin) && errno == EINTR)
    clearerr_unlocked(stdin);
  return c;
}

// Whether standard output is the regular file that standard input reads and
// input remains, with the output appended to it or ahead of the reading, so
// that what is written would be read back without end, or with both ends
// moving one shared offset, so that each write skips input not yet read.
int readsback() {
  struct stat in, out;
  if (fstat(0, &in) != 0 || fstat(1, &out) != 0 || !S_ISREG(in.st_mode) ||
      in.st_dev != out.st_dev || in.st_ino != out.st_ino)
    return 0;
  const off_t from = lseek(0, 0, SEEK_CUR);
  if (from < 0 || from >= in.st_size)
    return 0;
  if (fcntl(1, F_GETFL) & O_APPEND)
    return 1;
  const off_t to = lseek(1, 0, SEEK_CUR);
  if (to != from)
    return to > from;
  // Two offsets that stand together, or one: moving one tells which.
  lseek(0, from + 1, SEEK_SET);
  const int shared = lseek(1, 0, SEEK_CUR) == from + 1;
  lseek(0, from, SEEK_SET);
  return shared;
}

}  // namespace

/*
 * sentbreak: copy standard input to standard output, one sentence per line.
 *
 * A point ('.', ';', '!' or ':') directly followed by a whitespace byte (NUL,
 * tab, line feed, carriage return or space) ends a sentence: the point is
 * written, then a newline in place of that whitespace byte. Every other
 * whitespace byte is written as a space, and every other byte as it is. Each
 * finished line is written at once, and what is already decided after it
 * before the filter waits for more input. At the end of the input a newline is
 * written, preceded by the whitespace byte of a break if the input ended with
 * one. Arguments are ignored.
 *
 * The exit status is 0 on success. A failed read ends the input as its end
 * would; an interrupted one is made again. A failed write ends the run at
 * once, and nothing is written after it, so the output is always a prefix of
 * the whole. Either is reported as one line on standard error, with exit
 * status 1. Writing to the file that is the input is refused where it would
 * read back its own output or skip input not yet read.
 */
int main() {
  setvbuf(stdin, nullptr, _IOLBF, 1024);
  setvbuf(stdout, nullptr, _IOLBF, 1024);
#ifdef SENTBREAK_HAVE_FSETLOCKING
  // One thread uses these streams, so stdio need not lock them on every call.
  __fsetlocking(stdin, FSETLOCKING_BYCALLER);
  __fsetlocking(stdout, FSETLOCKING_BYCALLER);
#endif
  if (readsback()) {
    fputs("sentbreak: input file is output file\n", stderr);
    return 1;
  }

  int c = get();
  int next = EOF;
  while (!feof(stdin) && !ferror_unlocked(stdin) && !ferror_unlocked(stdout)) {
    next = get();
    if (next == EOF && ferror_unlocked(stdout))
      break;  // the flush before the read failed: write nothing more
    if (sentbreak::ispoint(c) && next != EOF && sentbreak::isspace(next)) {
      printf("%c\n", c);
      c = get();
      continue;
    }
    if (sentbreak::isspace(c))
      printf(" ");
    else
      printf("%c", c);
    c = next;
  }
  if (ferror_unlocked(stdout)) {
    report("write", errno);
    return 1;
  }

  // Taken before the writes below can change errno.
  int rerr = ferror_unlocked(stdin) ? errno : 0;
  // A break that ended the input gives back the whitespace byte it consumed.
  if (next != EOF)
    printf("%c\n", next);
  else
    printf("\n");
  int werr = ferror_unlocked(stdout) || fclose(stdout) != 0 ? errno : 0;
  if (rerr != 0)
    report("read", rerr);
  if (werr != 0)
    report("write", werr);
  return rerr != 0 || werr != 0;
}
