// SPDX-License-Identifier: MIT
// End-to-end runs of the built sentbreak binary, or of the one SENTBREAK_BIN
// names in the environment.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// How the child's standard streams are set up. A null path leaves a pipe to
// the test; an empty one leaves the stream closed.
struct Streams {
  const char* in = nullptr;
  const char* out = nullptr;
  bool broken = false;  // standard output is a pipe whose reader has gone
  bool nopipe = false;  // SIGPIPE ignored
  int mode = O_WRONLY;  // how out is opened
  bool socket = false;  // standard input is a socket with a receive timeout
  int infd = -1, outfd = -1;  // descriptors of the test's own to give instead
  // System calls on the two pipes made to fail, as strace's inject= sets.
  std::vector<std::string> faults = {};
};

struct Child {
  pid_t pid;
  int in, out, err;  // the test's ends of the pipes, or -1
};

struct Result {
  std::string out, err;
  int status;  // exit status, or 128 + signal
};

// The bound on any one wait for the filter, generous for a loaded machine or
// an emulated one; a run that goes right does not wait for it.
const long long kWait = 30000;

long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

Child spawn(const Streams& s) {
  signal(SIGPIPE, SIG_IGN);  // for the test, which may outlive its reader
  int in[2], out[2], err[2];
  const timeval wait{60, 0};
  if ((s.socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in)
                : pipe2(in, O_CLOEXEC)) != 0 ||
      pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      (s.socket &&
       setsockopt(in[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0))
    abort();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  if (s.in && !*s.in)
    posix_spawn_file_actions_addclose(&fa, 0);
  else if (s.in)
    posix_spawn_file_actions_addopen(&fa, 0, s.in, O_RDONLY, 0);
  if (s.out && !*s.out)
    posix_spawn_file_actions_addclose(&fa, 1);
  else if (s.out)
    posix_spawn_file_actions_addopen(&fa, 1, s.out, s.mode, 0);
  if (s.infd >= 0)
    posix_spawn_file_actions_adddup2(&fa, s.infd, 0);
  if (s.outfd >= 0)
    posix_spawn_file_actions_adddup2(&fa, s.outfd, 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (!s.nopipe) {
    sigset_t def;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  }
  const char* bin = getenv("SENTBREAK_BIN");
  std::vector<std::string> args;
  if (!s.faults.empty()) {
    // Only calls on the two pipes count, not those of a dynamic loader.
    // LeakSanitizer, in a sanitized build, cannot run under ptrace.
    args = {"strace", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0"};
    for (int fd : {in[0], out[1]}) {
      struct stat st;
      fstat(fd, &st);
      args.insert(args.end(),
                  {"-P", "pipe:[" + std::to_string(st.st_ino) + "]"});
    }
    for (const std::string& f : s.faults)
      args.insert(args.end(), {"-e", "inject=" + f});
  }
  args.insert(args.end(), {bin && *bin ? bin : SENTBREAK_BIN, "--ignored"});
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ) != 0)
    abort();
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Child c{pid, in[1], out[0], err[0]};
  if (s.in || s.infd >= 0) {
    close(c.in);
    c.in = -1;
  }
  if (s.out || s.outfd >= 0 || s.broken) {
    close(c.out);
    c.out = -1;
  }
  return c;
}

// Appends what arrives on fd to got until it holds want bytes, the stream
// ends, or ms milliseconds pass. Returns false at the end of the stream.
bool fill(int fd, std::string& got, size_t want, long long ms) {
  const long long end = now_ms() + ms;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    const long long left = end - now_ms();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
      return true;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
      return false;
    got.append(buf, n);
  }
  return true;
}

// Closes the child's input, collects its output and waits for it, killing it
// after ms milliseconds.
Result finish(Child& c, long long ms = kWait) {
  Result r{};
  if (c.in >= 0)
    close(c.in);
  const long long end = now_ms() + ms;
  bool out = c.out >= 0, err = true;
  while ((out || err) && now_ms() < end) {
    if (out)
      out = fill(c.out, r.out, SIZE_MAX, 10);
    if (err)
      err = fill(c.err, r.err, SIZE_MAX, 10);
  }
  int st = 0;
  while (waitpid(c.pid, &st, WNOHANG) == 0) {
    if (now_ms() >= end) {
      ADD_FAILURE() << "sentbreak still running after " << ms << " ms";
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &st, 0);
      break;
    }
    usleep(1000);
  }
  if (c.out >= 0)
    close(c.out);
  close(c.err);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

// Writes all of s to fd. Returns false if the reader has gone.
bool send(int fd, const std::string& s) {
  for (size_t done = 0; done < s.size();) {
    const ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0)
      return false;
    done += n;
  }
  return true;
}

// Inputs here are small enough to sit in the pipe before anything is read.
Result run(const std::string& in, bool bytewise = false, Streams s = {}) {
  Child c = spawn(s);
  if (c.in >= 0) {
    if (bytewise) {
      for (char b : in)
        EXPECT_TRUE(send(c.in, std::string(1, b)));
    } else {
      EXPECT_TRUE(send(c.in, in));
    }
  }
  return finish(c);
}

std::string operator""_b(const char* s, size_t n) {
  return std::string(s, n);
}

struct Case {
  std::string in, out;
};

const Case kCases[] = {
    {""_b, "\n"_b},
    {"a"_b, "a\n"_b},
    {"a\n"_b, "a \n"_b},
    {"a."_b, "a.\n"_b},
    {"a.\n"_b, "a.\n\n\n"_b},
    {"a.\n\n"_b, "a.\n \n"_b},
    {". "_b, ".\n \n"_b},
    {"One.  Two"_b, "One.\n Two\n"_b},
    {"line one\nline two"_b, "line one line two\n"_b},
    {"a\r\nb"_b, "a  b\n"_b},
    {"Note: see"_b, "Note:\nsee\n"_b},
    {"x;y 3.14"_b, "x;y 3.14\n"_b},
    {"Wait... what"_b, "Wait...\nwhat\n"_b},
    {"Really?! Yes"_b, "Really?!\nYes\n"_b},
    {"Why? Because, no"_b, "Why? Because, no\n"_b},
    {"a.\0b"_b, "a.\nb\n"_b},
    {"a.\0"_b, "a.\n\0\n"_b},
    {"\0"_b, " \n"_b},
    {"a.\vb.\fc"_b, "a.\vb.\fc\n"_b},
    {"Hi.\tYo.\r\n"_b, "Hi.\nYo.\n \n"_b},
    {"a.\t"_b, "a.\n\t\n"_b},
    {"a. . b"_b, "a.\n.\nb\n"_b},
    {"caf\xC3\xA9. Ok\xFF\xA0!"_b, "caf\xC3\xA9.\nOk\xFF\xA0!\n"_b},
};

TEST(Filter, Cases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    for (bool bytewise : {false, true}) {
      Result r = run(c.in, bytewise);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.status, 0);
    }
  }
}

// A finished line and the bytes decided after it reach the reader while the
// input is still open. On a socket with a receive timeout, a stop and continue
// interrupts the read that waits for the rest.
TEST(Filter, DeliversBeforeInputEnds) {
  for (bool socket : {false, true}) {
    SCOPED_TRACE(socket ? "socket" : "pipe");
    Streams s;
    s.socket = socket;
    Child c = spawn(s);
    const std::string want = "It rained.\nW";
    std::string got;
    EXPECT_TRUE(send(c.in, "It rained. We"));
    fill(c.out, got, want.size(), kWait);
    EXPECT_EQ(got, want);
    if (socket) {
      usleep(100000);
      int st;
      kill(c.pid, SIGSTOP);
      waitpid(c.pid, &st, WUNTRACED);
      kill(c.pid, SIGCONT);
    }
    const std::string more = "It rained.\nWe stayed in.\n";
    EXPECT_TRUE(send(c.in, "\nstayed in.\n"));
    fill(c.out, got, more.size(), kWait);
    EXPECT_EQ(got, more);
    Result r = finish(c);
    EXPECT_EQ(got + r.out, more + "\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

// A run whose writes fail: the message names the write's own error, and what
// reached the output is out, a prefix of the whole.
struct WriteCase {
  const char* name;
  Streams streams;
  std::string err;  // the error's words; where C libraries differ, each, by |
  std::string in = "Hi. Yo", later = "";  // later is written after a pause
  std::string out = "";
  bool idle = false;  // the input stays open: the filter must end by itself
};

// An idle row's input is held open, so a filter that waits for it does not end
// and is killed when finish gives up on it.
void expectfails(const WriteCase& w) {
  SCOPED_TRACE(w.name);
  Child c = spawn(w.streams);
  const int hold = w.idle ? fcntl(c.in, F_DUPFD_CLOEXEC, 0) : -1;
  if (c.in >= 0)
    send(c.in, w.in);
  if (!w.later.empty()) {
    usleep(300000);
    send(c.in, w.later);  // the filter may well have gone
  }
  Result r = finish(c);
  if (hold >= 0)
    close(hold);
  EXPECT_EQ(r.out, w.out);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("sentbreak: write error: (" + w.err + ")\n")))
      << r.err;
  EXPECT_EQ(r.status, 1);
}

TEST(Filter, WriteErrors) {
  const std::string nospace = "No space left on device";
  const WriteCase rows[] = {
      {"full device", {nullptr, "/dev/full"}, nospace},
      {"closed output", {nullptr, ""}, "Bad file descriptor"},
      {"broken pipe", {nullptr, nullptr, true, true}, "Broken pipe"},
      // No line ends in the output, and the input never ends.
      {"endless input", {"/dev/zero", "/dev/full"}, nospace},
      {"idle input", {nullptr, "/dev/full"}, nospace, "Hi, yo", "", "", true},
      {"idle line end", {nullptr, "/dev/full"}, nospace, "Hi. ", "", "", true},
      {"only the final write", {"/dev/null", "/dev/full"}, nospace},
  };
  for (const WriteCase& row : rows)
    expectfails(row);
}

// Faults made by strace on the calls that write standard output or read
// standard input (write and read in glibc, writev and readv in musl).
TEST(Filter, WriteFaults) {
  if (system("strace -o /dev/null true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "strace is missing or cannot trace here";
  const auto faults = [](std::vector<std::string> f) {
    Streams s;
    s.faults = std::move(f);
    return s;
  };
  const std::string nospace = "No space left on device";
  const std::string full = "write,writev:error=ENOSPC:when=";
  const WriteCase rows[] = {
      {"flush before a read", faults({full + "2"}), nospace, "Aaaa bbbb. Cccc",
       " dddd. Eeee.\n", "Aaaa bbbb.\n"},
      {"flush and the read after it",
       faults({full + "1", "read,readv:error=EIO:when=2"}), nospace, "abc",
       "def"},
      {"line end", faults({full + "2"}), nospace, "Aaaa. Bbbb. Cccc", "",
       "Aaaa.\n"},
      {"line end, and the read after it",
       faults({full + "1", "read,readv:error=EIO:when=2"}), nospace, "Hi. "},
      {"close", faults({"close:error=EIO:when=1"}),
       "Input/output error|I/O error", "Hi. Yo", "", "Hi.\nYo\n"},
  };
  for (const WriteCase& row : rows)
    expectfails(row);
}

// With SIGPIPE at its default a reader that goes away ends the filter quietly.
TEST(Filter, BrokenPipeSignal) {
  Streams s;
  s.broken = true;
  Result r = run("Hi. Yo", false, s);
  EXPECT_EQ(r.status, 128 + SIGPIPE);
  EXPECT_EQ(r.err, "");
}

// A failed read ends the input: the final newline is written, then the error.
TEST(Filter, ReadErrors) {
  struct Row {
    Streams streams;
    std::string out, err;
  };
  const Row rows[] = {
      {{"/"}, "\n", "read error: Is a directory\n"},
      {{""}, "\n", "read error: Bad file descriptor\n"},
      {{"", ""},
       "",
       "read error: Bad file descriptor\n"
       "sentbreak: write error: Bad file descriptor\n"},
      {{"/", "/dev/full"},
       "",
       "read error: Is a directory\n"
       "sentbreak: write error: No space left on device\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    Result r = run("", false, row.streams);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "sentbreak: " + row.err);
    EXPECT_EQ(r.status, 1);
  }
}

// The rules written another way: a point with the whitespace byte after it, or
// a lone whitespace byte, matched left to right.
std::string reference(const std::string& in) {
  static const std::regex re("[.;!:][\\x00\\t\\n\\r ]|[\\x00\\t\\n\\r ]");
  std::string out;
  size_t done = 0;
  bool endbreak = false;
  for (std::sregex_iterator m(in.begin(), in.end(), re), e; m != e; ++m) {
    out.append(in, done, m->position() - done);
    endbreak = m->length() == 2;
    out += endbreak ? std::string{in[m->position()], '\n'} : " ";
    done = m->position() + m->length();
    endbreak = endbreak && done == in.size();
  }
  out.append(in, done);
  if (endbreak)
    out += in.back();
  return out + '\n';
}

TEST(Filter, RandomAgainstReference) {
  const std::string alphabet =
      ".;!:?,\0\t\n\r \v\f\xA0\xFF"
      "a"_b;
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<size_t> len(0, 16),
      pick(0, alphabet.size() - 1);
  for (int i = 0; i < 2000; ++i) {
    std::string in(len(rng), ' ');
    for (char& b : in)
      b = alphabet[pick(rng)];
    Result r = run(in);
    ASSERT_EQ(r.out, reference(in)) << testing::PrintToString(in);
    ASSERT_EQ(r.status, 0);
  }
}

// A new file holding text.
std::string tempfile(const std::string& text) {
  char path[] = "/tmp/sentbreak-test-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(send(fd, text));
  close(fd);
  return path;
}

// Output that would read back the input file without end, or that shares its
// offset and would skip input not yet read, is refused; rewriting the file in
// place through an offset of its own is safe, since the output never
// overtakes the input.
TEST(Filter, SameFile) {
  std::string text;
  for (int i = 0; i < 4000; ++i)
    text += "It rained. We\nstayed in.\n";
  const std::string refused = "sentbreak: input file is output file\n";
  struct Row {
    const char* name;
    int in, out;     // how each end opens the file; out -1: dup of the input
    bool other;      // the output is another file, on the same file system
    off_t from, to;  // where each end starts; -1: at the end of the file
    std::string file, err;  // the output file afterwards, and the message
  };
  const int append = O_WRONLY | O_APPEND;
  const off_t header = 11;  // "It rained. " of the first line
  const std::string behind = reference(text.substr(header));
  const Row rows[] = {
      {"append", O_RDONLY, append, false, 0, 0, text, refused},
      {"append to another file", O_RDONLY, append, true, 0, 0, reference(text),
       ""},
      {"append after the input's end", O_RDONLY, append, false, -1, 0,
       text + "\n", ""},
      {"in place", O_RDONLY, O_RDWR, false, 0, 0, reference(text), ""},
      {"in place, both read-write", O_RDWR, O_RDWR, false, 0, 0,
       reference(text), ""},
      {"one shared descriptor", O_RDWR, -1, false, 0, 0, text, refused},
      {"output ahead of the reading", O_RDONLY, O_WRONLY, false, 0, header,
       text, refused},
      {"output behind the reading", O_RDONLY, O_WRONLY, false, header, 0,
       behind + text.substr(behind.size()), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = tempfile(text);
    const std::string out = row.other ? tempfile("") : path;
    Streams s;
    s.infd = open(path.c_str(), row.in | O_CLOEXEC);
    lseek(s.infd, row.from < 0 ? 0 : row.from,
          row.from < 0 ? SEEK_END : SEEK_SET);
    s.outfd = row.out < 0 ? s.infd : open(out.c_str(), row.out | O_CLOEXEC);
    if (row.out >= 0)
      lseek(s.outfd, row.to, SEEK_SET);
    Result r = run("", false, s);
    close(s.infd);
    if (s.outfd != s.infd)
      close(s.outfd);
    std::string file;
    const int back = open(out.c_str(), O_RDONLY);
    fill(back, file, SIZE_MAX, kWait);
    close(back);
    unlink(path.c_str());
    unlink(out.c_str());
    EXPECT_EQ(file, row.file);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
  }
}

}  // namespace
