// Stand-in for a tool that starts a tree of processes.
//
//   proc_tree_stub SHAPE
//
// SHAPE describes one process and, in parentheses, its children:
// node = ('d' | 'i' | 'c') ['(' node {',' node} ')'], where the letter says
// what the process does on SIGTERM: d = dies, i = ignores it, c = catches it
// and exits 7. Every process writes "<path> <pid>\n" to standard output once
// its SIGTERM disposition is in place and its children are started, then
// closes standard output and waits for signals; it never reaps its children.
// Paths: the root is "0", its children "0.0", "0.1", and so on. Standard
// output therefore ends when the whole tree is ready.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void exitSeven(int) {
  _exit(7);
}

[[noreturn]] void usage() {
  std::fputs("usage: proc_tree_stub SHAPE\n", stderr);
  std::exit(2);
}

// Returns the position after the node that starts at `pos`.
std::size_t skipNode(const std::string& shape, std::size_t pos) {
  ++pos;
  if (pos < shape.size() && shape[pos] == '(') {
    int depth = 0;
    do {
      if (shape[pos] == '(') ++depth;
      if (shape[pos] == ')') --depth;
      ++pos;
    } while (pos < shape.size() && depth > 0);
  }
  return pos;
}

[[noreturn]] void runNode(const std::string& shape, std::size_t pos, const std::string& path) {
  switch (shape[pos]) {
    case 'd':
      signal(SIGTERM, SIG_DFL);
      break;
    case 'i':
      signal(SIGTERM, SIG_IGN);
      break;
    case 'c':
      signal(SIGTERM, exitSeven);
      break;
    default:
      usage();
  }
  std::size_t end = skipNode(shape, pos);
  if (pos + 1 < end) {
    std::size_t child = pos + 2;  // after the '('
    for (int index = 0; child < end - 1; ++index) {
      std::string childPath = path + "." + std::to_string(index);
      pid_t pid = fork();
      if (pid < 0) std::abort();
      if (pid == 0) runNode(shape, child, childPath);
      child = skipNode(shape, child) + 1;  // past the ',' or ')'
    }
  }
  std::string line = path + " " + std::to_string(getpid()) + "\n";
  if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::abort();
  }
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(null, STDOUT_FILENO);
  close(null);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') usage();
  runNode(argv[1], 0, "0");
}
