// A minimal socket peer for the code-identity tests: connects to the Unix
// socket named by argv[1]; with "stay" as argv[2] it stays until the other
// side closes (reading as the prelude's reader does). The other modes open
// the connection (the helper's nonce sent back), ping once and exit 0 when
// answered, 1 when the connection closed instead:
//   ping                 just that
//   exec PROG            ping, then exec PROG with the connection kept
//   exec-now PROG        exec at once after connecting
//   pass PROG            ping, then hand the connection on to a child that
//                        execs PROG with it
//   dlopen LIB           load LIB first
//   prelude PROG         write a ping before the connection is opened, fork
//                        a reader that reports whether a reply comes (it
//                        answers the nonce and pings too), then exec PROG
// As PROG: fd N / more N ping on descriptor N, opening it first / already
// open; reap exits with the status of a child.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// [0, 1, "pingWithReply:"] in a frame.
const std::string kPing("\0\0\0\x12\x93\x00\x01\xaepingWithReply:", 22);

bool sendBytes(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// One whole frame, header included; empty when the connection ended.
std::string readFrame(int fd) {
  unsigned char length[4];
  if (::recv(fd, length, 4, MSG_WAITALL) != 4) return "";
  std::string frame(reinterpret_cast<char*>(length), 4);
  frame.resize(4 + ((length[0] << 24) | (length[1] << 16) | (length[2] << 8) | length[3]));
  const ssize_t body = static_cast<ssize_t>(frame.size() - 4);
  return ::recv(fd, frame.data() + 4, frame.size() - 4, MSG_WAITALL) == body ? frame : "";
}

// The kind of a frame: 0 call, 1 reply, 2 nonce.
int kindOf(const std::string& frame) {
  return frame.size() > 5 ? static_cast<unsigned char>(frame[5]) : -1;
}

bool ping(int fd, bool open) {
  std::string opening;
  if (open && (kindOf(opening = readFrame(fd)) != 2 || !sendBytes(fd, opening))) return false;
  return sendBytes(fd, kPing) && kindOf(readFrame(fd)) == 1;
}

int handOver(const char* program, const char* mode, int fd) {
  std::string number = std::to_string(fd);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>("-"), const_cast<char*>(mode),
                  number.data(), nullptr};
  ::execv(program, argv);
  return 4;
}

// The exit status of the one child, or `otherwise`.
int reaped(int otherwise) {
  int status = 0;
  return ::waitpid(-1, &status, 0) > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : otherwise;
}

// Answers the nonce and pings as well, as a reader that shares the
// connection would; 0 once a reply arrives.
int readReplies(int fd) {
  for (std::string frame; !(frame = readFrame(fd)).empty();) {
    if (kindOf(frame) == 1) return 0;
    if (kindOf(frame) == 2) (void)(sendBytes(fd, frame) && sendBytes(fd, kPing));
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[2];
  if (mode == "fd" || mode == "more") return ping(std::atoi(argv[3]), mode == "fd") ? 0 : 1;
  if (mode == "reap") return reaped(8);
  if (mode == "dlopen" && (argc < 4 || !::dlopen(argv[3], RTLD_NOW))) return 6;
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 3;
  if (mode == "stay") return readReplies(fd);
  if (mode == "exec-now") return handOver(argv[3], "fd", fd);
  if (mode == "prelude") {
    if (!sendBytes(fd, kPing)) return 5;
    if (::fork() == 0) return readReplies(fd);
    return handOver(argv[3], "reap", fd);
  }
  if (!ping(fd, true)) return 1;
  if (mode == "exec") return handOver(argv[3], "more", fd);
  if (mode == "pass") return ::fork() == 0 ? handOver(argv[3], "more", fd) : reaped(7);
  return 0;
}
