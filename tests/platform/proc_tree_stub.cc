// Stand-in for a tool that starts a tree of processes.
//
//   proc_tree_stub NODE...
//
// Each NODE is a path and a letter. The root's path is "0", the children of
// "P" are "P.0", "P.1", ... and are started in the order given. The letter
// says what the process does on SIGTERM: d = dies, i = ignores it, c = catches
// it and exits 7. Every process writes "<path> <pid>\n" to standard output
// once it is set up and its children are started, then closes standard output
// and waits for signals, never reaping its children. Standard output
// therefore ends when the whole tree is ready.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void exitSeven(int) {
  _exit(7);
}

[[noreturn]] void run(const std::vector<std::string>& nodes, const std::string& self) {
  for (const std::string& node : nodes) {
    const std::string path = node.substr(0, node.size() - 1);
    if (path == self) {
      signal(SIGTERM, node.back() == 'i' ? SIG_IGN : node.back() == 'c' ? exitSeven : SIG_DFL);
    } else if (path.rfind(self + ".", 0) == 0 && path.find('.', self.size() + 1) == path.npos) {
      pid_t pid = fork();
      if (pid < 0) std::abort();
      if (pid == 0) run(nodes, path);
    }
  }
  const std::string line = self + " " + std::to_string(getpid()) + "\n";
  if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::abort();
  }
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(null, STDOUT_FILENO);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  run(std::vector<std::string>(argv + 1, argv + argc), "0");
}
