// SPDX-License-Identifier: MIT
// The bench's copying program: it copies standard input to standard output
// and adds the final newline, as sentbreak would on input without a sentence
// end, so that a run of the recipe costs the recipe alone. The recipe's
// check of its program it hands to sentbreak, named at compile time as
// SENTBREAK; it sees the check from where standard input stands, without
// reading it.
#include <cstring>

#include <unistd.h>

namespace {

bool writeall(const char* p, ssize_t n) {
  while (n > 0) {
    ssize_t w = write(1, p, n);
    if (w < 0) return false;
    p += w;
    n -= w;
  }
  return true;
}

}  // namespace

int main() {
  static const char probe[] = "sentbreak-dask probe.";
  static char buf[1 << 16];
  const ssize_t want = sizeof probe - 1;
  off_t at = lseek(0, 0, SEEK_CUR);
  if (at >= 0 && pread(0, buf, want, at) == want &&
      std::memcmp(buf, probe, want) == 0) {
    execl(SENTBREAK, SENTBREAK, static_cast<char*>(nullptr));
    return 127;
  }
  ssize_t n;
  while ((n = read(0, buf, sizeof buf)) > 0)
    if (!writeall(buf, n)) return 1;
  return n < 0 || !writeall("\n", 1) ? 1 : 0;
}
