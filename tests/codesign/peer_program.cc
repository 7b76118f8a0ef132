// A minimal socket peer for the code-identity tests: connects to the Unix
// socket named by argv[1]; with "exit" as argv[2] it leaves at once, with
// "stay" it stays until the other side closes. The other modes ping once and
// exit 0 when answered, 1 when the connection closed instead:
//   ping                 just that
//   exec PROG            ping, then exec PROG with the connection kept
//   exec-now PROG        exec at once after connecting
//   pass PROG            ping, then hand the connection to PROG (SCM_RIGHTS)
//   dlopen LIB           load LIB first
//   fd N / recv N        (as PROG) ping on descriptor N / on the one received on N
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool ping(int fd) {
  // [0, 1, "pingWithReply:"] in a frame.
  static const char call[] = "\0\0\0\x12\x93\x00\x01\xaepingWithReply:";
  if (::send(fd, call, sizeof call - 1, MSG_NOSIGNAL) != sizeof call - 1) return false;
  unsigned char length[4];
  if (::recv(fd, length, 4, MSG_WAITALL) != 4) return false;
  std::string body((length[2] << 8) | length[3], '\0');
  return ::recv(fd, body.data(), body.size(), MSG_WAITALL) == static_cast<ssize_t>(body.size());
}

int handOver(const char* program, const char* mode, int fd) {
  std::string number = std::to_string(fd);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("-"), const_cast<char*>(mode),
                  number.data(), nullptr};
  ::execv(program, argv);
  return 4;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[2];
  if (mode == "fd") return ping(std::atoi(argv[3])) ? 0 : 1;
  if (mode == "recv") {
    char byte;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    iovec iov{&byte, 1};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(std::atoi(argv[3]), &message, 0) != 1 || !CMSG_FIRSTHDR(&message)) return 5;
    int fd;
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
    return ping(fd) ? 0 : 1;
  }
  if (mode == "dlopen" && (argc < 4 || !::dlopen(argv[3], RTLD_NOW))) return 6;
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 3;
  if (mode == "exit") return 0;
  if (mode == "stay") {
    char byte;
    while (::read(fd, &byte, 1) > 0) {
    }
    return 0;
  }
  if (mode == "exec-now") return handOver(argv[3], "fd", fd);
  if (!ping(fd)) return 1;
  if (mode == "exec") return handOver(argv[3], "fd", fd);
  if (mode == "pass") {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 5;
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(fd);
      return handOver(argv[3], "recv", pair[1]);
    }
    char byte = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{&byte, 1};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (::sendmsg(pair[0], &message, 0) != 1) return 5;
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 7;
  }
  return 0;
}
