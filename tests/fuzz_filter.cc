// SPDX-License-Identifier: MIT
// A fuzz target, for libFuzzer or for fuzz_replay.cc, that runs sentbreak's
// own entry point in this process, with standard input and output on streams
// whose every read and write it answers, and checks each run against a model
// of the filter.
//
// The first bytes of an input choose the faults, and the rest is the text:
//   0-3  the sizes of the reads, in turn, 1 to 24 bytes each
//   4    which read fails, 1 to 31 (0: none), with EIO if the high bit is
//        set, else with EINTR
//   5    which write fails with ENOSPC, 1 to 31 (0: none), after writing half
//        its bytes if the high bit is set
//   6    if odd, closing standard output fails with EIO

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

// The filter's entry point, compiled under this name for the fuzz target.
int sentbreak_main();

namespace {

struct Run {
  std::string in;  // the text
  unsigned char sizes[4];
  int readfault, writefault;  // which call fails, counted from 1; 0: none
  bool eio, half, closefault;
  bool inmain = false;  // faults are made while the filter runs, not after
  size_t given = 0;     // bytes of the text read so far
  int reads = 0, writes = 0;
  bool ended = false;      // a read has met the end or failed
  bool readerror = false;  // a read has failed with EIO
  bool failed = false;     // a write has failed
  bool closed = false;     // standard output has been closed
  std::string out;         // what reached the output
};

// Standard error is the filter's while it runs, so this writes to the
// descriptor itself.
void check(bool ok, const char* what) {
  if (!ok) {
    dprintf(2, "fuzz_filter: %s\n", what);
    abort();
  }
}

// The classes, as the manual page lists them; the literal's own terminating
// NUL is the fifth whitespace byte.
bool space(char c) {
  return memchr(" \t\n\r", c, 5) != nullptr;
}
bool point(char c) {
  return c != '\0' && strchr(".;!:", c) != nullptr;
}

// What the filter has decided once it has read the first n bytes of in: each
// byte but the last, which waits for the byte after it, unless a break has
// taken it. With end, the input ends there, and the rest is written too.
std::string model(const std::string& in, size_t n, bool end) {
  std::string out;
  size_t i = 0;
  while (i + 1 < n) {
    if (point(in[i]) && space(in[i + 1])) {
      out += in[i];
      out += '\n';
      i += 2;
    } else {
      out += space(in[i]) ? ' ' : in[i];
      i += 1;
    }
  }
  if (!end)
    return out;
  if (i < n)
    out += space(in[i]) ? ' ' : in[i];  // the end is not whitespace
  else if (n > 0)
    out += in[n - 1];  // a break at the end gives back its whitespace byte
  return out + '\n';
}

ssize_t readin(void* cookie, char* buf, size_t size) {
  Run& r = *static_cast<Run*>(cookie);
  check(!r.failed, "a read after a failed write");
  check(!r.ended, "a read after the input ended");
  check(r.out == model(r.in, r.given, false),
        "a read before what was decided was written");
  if (++r.reads == r.readfault) {
    r.ended = r.readerror = r.eio;
    errno = r.eio ? EIO : EINTR;
    return -1;
  }
  const size_t chunk = 1 + r.sizes[r.reads % 4] % 24;
  const size_t n = std::min({size, chunk, r.in.size() - r.given});
  memcpy(buf, r.in.data() + r.given, n);
  r.given += n;
  r.ended = n == 0;
  return static_cast<ssize_t>(n);
}

ssize_t writeout(void* cookie, const char* buf, size_t size) {
  Run& r = *static_cast<Run*>(cookie);
  check(!r.failed, "a write after a failed write");
  check(!r.closed, "a write after the close");
  if (++r.writes != r.writefault) {
    r.out.append(buf, size);
    return static_cast<ssize_t>(size);
  }
  const size_t n = r.half ? size / 2 : 0;
  r.out.append(buf, n);
  r.failed = true;
  errno = ENOSPC;
  return n > 0 ? static_cast<ssize_t>(n) : -1;
}

int closeout(void* cookie) {
  Run& r = *static_cast<Run*>(cookie);
  r.closed = true;
  if (r.inmain && r.closefault) {
    errno = EIO;
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7)
    return 0;
  Run r;
  memcpy(r.sizes, data, 4);
  r.readfault = data[4] % 32;
  r.eio = data[4] & 0x80;
  r.writefault = data[5] % 32;
  r.half = data[5] & 0x80;
  r.closefault = data[6] & 1;
  r.in.assign(reinterpret_cast<const char*>(data) + 7, size - 7);

  FILE* const saved[] = {stdin, stdout, stderr};
  char* said = nullptr;
  size_t saidlen = 0;
  stdin = fopencookie(&r, "r", {readin, nullptr, nullptr, nullptr});
  stdout = fopencookie(&r, "w", {nullptr, writeout, nullptr, closeout});
  stderr = open_memstream(&said, &saidlen);
  check(stdin && stdout && stderr, "cannot open the streams");
  r.inmain = true;
  const int status = sentbreak_main();
  r.inmain = false;
  // What the process's exit would write of standard output, had it been left
  // open; a failed write must have left nothing to write.
  if (!r.closed)
    fclose(stdout);
  fclose(stdin);
  fclose(stderr);
  stdin = saved[0];
  stdout = saved[1];
  stderr = saved[2];
  const std::string err(said, saidlen);
  free(said);

  const std::string read = "sentbreak: read error: Input/output error\n";
  const std::string full =
      model(r.in, r.readerror ? r.given : r.in.size(), true);
  if (r.failed) {
    const std::string nospace =
        "sentbreak: write error: No space left on device\n";
    check(full.compare(0, r.out.size(), r.out) == 0,
          "the output is not a prefix of the whole");
    // A read error is lost when the write that follows it fails before the
    // final write, since its errno is gone by then.
    check(err == nospace || (r.readerror && err == read + nospace),
          "not the message of the failed write");
    check(status == 1, "a failed write does not fail the run");
    return 0;
  }
  check(r.readerror || r.given == r.in.size(), "the input was not all read");
  check(r.out == full, "not the output of the model");
  const std::string want =
      (r.readerror ? read : "") + (r.closefault ? "sentbreak: write error: "
                                                  "Input/output error\n"
                                                : "");
  check(err == want, "not the messages of the failures");
  check(status == (want.empty() ? 0 : 1), "not the exit status");
  return 0;
}
