// A minimal socket peer for the code-identity tests: connects to the Unix
// socket named by argv[1]; with "exit" as argv[2] it leaves at once,
// otherwise it stays until the other side closes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 3;
  if (argc > 2 && std::strcmp(argv[2], "exit") == 0) return 0;
  char byte;
  while (::read(fd, &byte, 1) > 0) {
  }
  return 0;
}
