// SPDX-License-Identifier: MIT
// Runs the fuzz target once on each file named on the command line, without
// libFuzzer, so that every build, with any compiler, checks the seeds
// against the model. Each name is printed before its run, so that a failed
// check comes after the name of the input that made it.

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "fuzz_replay: no inputs given\n");
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    FILE* f = fopen(argv[i], "rb");
    std::string data;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
      data.append(buf, n);
    if (!f || ferror(f)) {
      fprintf(stderr, "fuzz_replay: %s: %s\n", argv[i], strerror(errno));
      return 1;
    }
    fclose(f);
    printf("%s\n", argv[i]);
    fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()),
                           data.size());
  }
  return 0;
}
