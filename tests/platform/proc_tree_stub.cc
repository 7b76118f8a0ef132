// Stand-in for a tool that starts the tree R(A(C), B(D)), children in that
// order. On SIGTERM, R and C ignore it, A exits 7, B and D die of it. Each
// process writes "<name> <pid>\n" to standard output once it is set up and
// its children are started, then closes standard output and waits for
// signals, never reaping its children; so standard output ends when the
// whole tree is ready.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void exitSeven(int) {
  _exit(7);
}

[[noreturn]] void settle(const std::string& name) {
  const std::string line = name + " " + std::to_string(getpid()) + "\n";
  if (write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::abort();
  }
  dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
  for (;;) pause();
}

// Runs `body` in a new child whose SIGTERM disposition is `onTerm`.
template <class Body>
void fork(sighandler_t onTerm, Body body) {
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    signal(SIGTERM, onTerm);
    body();
  }
}

}  // namespace

int main() {
  signal(SIGTERM, SIG_IGN);
  fork(exitSeven, [] {
    fork(SIG_IGN, [] { settle("C"); });
    settle("A");
  });
  fork(SIG_DFL, [] {
    fork(SIG_DFL, [] { settle("D"); });
    settle("B");
  });
  settle("R");
}
