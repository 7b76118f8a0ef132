#include "platform/process/capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/eintr.h"
#include "platform/dispatch/wakeup.h"
#include "platform/files/pipe_io.h"

namespace zefra::platform {

namespace {

constexpr std::size_t kProbeSize = 64 * 1024;
// Pipes start at the kernel's default; one whose output turns out large is
// widened so that a big transfer takes fewer wake-ups. Only then, because the
// system bounds the pipe memory of each user.
constexpr std::size_t kWidePipeAfter = 1 << 20;
constexpr int kWidePipeSize = 1 << 20;

// Anonymous pages grown with mremap: nothing is zero-filled or copied by us,
// only pages that received bytes become resident, and all of it returns to the
// system at once when released, rather than staying with the allocator.
class MappedStorage {
 public:
  MappedStorage() = default;
  MappedStorage(const MappedStorage&) = delete;
  MappedStorage& operator=(const MappedStorage&) = delete;
  ~MappedStorage() {
    if (base_) ::munmap(base_, capacity_);
  }

  char* data() const { return static_cast<char*>(base_); }
  std::size_t size() const { return size_; }
  std::size_t spare() const { return capacity_ - size_; }
  char* end() const { return data() + size_; }
  void grew(std::size_t count) { size_ += count; }

  bool reserve(std::size_t atLeast) {
    if (atLeast <= capacity_) return true;
    std::size_t wanted = pageRounded(std::max({atLeast, capacity_ * 2, kProbeSize}));
    void* grown =
        base_ ? ::mremap(base_, capacity_, wanted, MREMAP_MAYMOVE)
              : ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) return false;
    base_ = grown;
    capacity_ = wanted;
    return true;
  }

  // Gives back the address space past the last page in use.
  void fit() {
    if (!base_) return;
    std::size_t used = pageRounded(size_);
    if (used == 0) {
      ::munmap(base_, capacity_);
      base_ = nullptr;
      capacity_ = 0;
    } else if (used < capacity_ && ::munmap(data() + used, capacity_ - used) == 0) {
      capacity_ = used;
    }
  }

 private:
  static std::size_t pageRounded(std::size_t size) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
  }

  void* base_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// A chunk handed to a sink is read straight into storage of its own; it is
// never larger than this, nor than what the pipe holds.
constexpr std::size_t kMaxChunk = 1 << 20;

struct Stream {
  UniqueFd fd;
  int number = kStandardOutputStream;
  std::optional<std::size_t> limit;
  const OutputSink* sink = nullptr;
  std::shared_ptr<MappedStorage> storage = std::make_shared<MappedStorage>();
  bool failed = false;
  bool widened = false;
  bool dropping = false;
  bool truncated = false;
  std::size_t taken = 0;  // kept or delivered
  std::size_t seen = 0;   // read, dropped bytes included

  void drop() {
    dropping = true;
    storage = std::make_shared<MappedStorage>();
  }

  std::size_t allowance() const { return limit ? *limit - taken : SIZE_MAX; }

  Bytes bytes() {
    if (failed || storage->size() == 0) return {};
    storage->fit();
    const char* data = storage->data();
    const std::size_t size = storage->size();
    return Bytes(std::move(storage), data, size);
  }

  // One read. When the storage is full, the read goes to a small buffer
  // first, so that end of file never costs a growth.
  void readOnce() {
    ssize_t count;
    const std::size_t allowed = allowance();
    if (dropping || allowed == 0) {
      char scratch[kProbeSize];
      count = ::read(fd.get(), scratch, sizeof scratch);
      truncated = truncated || (count > 0 && !dropping);
    } else if (sink) {
      count = readChunk(allowed);
    } else if (storage->spare() > 0) {
      count = ::read(fd.get(), storage->end(), std::min(storage->spare(), allowed));
      if (count > 0) storage->grew(static_cast<std::size_t>(count));
    } else {
      char probe[kProbeSize];
      count = ::read(fd.get(), probe, std::min(sizeof probe, allowed));
      if (count > 0) {
        if (!storage->reserve(storage->size() + static_cast<std::size_t>(count))) {
          return fail();
        }
        std::memcpy(storage->end(), probe, static_cast<std::size_t>(count));
        storage->grew(static_cast<std::size_t>(count));
      }
    }
    if (count == 0) return fd.reset();
    if (count < 0) {
      if (errno != EINTR && errno != EAGAIN) fail();
      return;
    }
    seen += static_cast<std::size_t>(count);
    if (!dropping && allowed > 0) taken += static_cast<std::size_t>(count);
    if (!widened && seen >= kWidePipeAfter) {
      widened = true;
      (void)::fcntl(fd.get(), F_SETPIPE_SZ, kWidePipeSize);  // best effort
    }
  }

  void fail() {
    failed = true;
    fd.reset();
  }

  // Reads what the pipe holds, up to `allowed`, into storage of the chunk's
  // own size, and hands it to the sink.
  ssize_t readChunk(std::size_t allowed) {
    int available = 0;
    if (::ioctl(fd.get(), FIONREAD, &available) != 0 || available <= 0) {
      // End of file, most likely; anything that came meanwhile is copied.
      char probe[4096];
      const ssize_t count = ::read(fd.get(), probe, std::min(sizeof probe, allowed));
      if (count > 0) sink->deliver(number, Bytes::copy({probe, static_cast<std::size_t>(count)}));
      return count;
    }
    const std::size_t size = std::min({static_cast<std::size_t>(available), kMaxChunk, allowed});
    std::shared_ptr<char[]> chunk = std::make_unique_for_overwrite<char[]>(size);
    const ssize_t count = ::read(fd.get(), chunk.get(), size);
    if (count > 0) {
      sink->deliver(number, Bytes(chunk, chunk.get(), static_cast<std::size_t>(count)));
    }
    return count;
  }
};

Status setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return errnoError("Could not prepare a pipe", errno);
  }
  return Ok{};
}

}  // namespace

Result<Captured> captureProcess(const CaptureOptions& options) {
  auto outPipe = makePipe();
  if (!outPipe) return outPipe.error();
  Result<Pipe> errPipe = Pipe{};
  if (options.captureStandardError) errPipe = makePipe();
  if (!errPipe) return errPipe.error();
  Result<Pipe> inPipe = Pipe{};
  if (options.inputFromPipe) inPipe = makePipe();
  if (!inPipe) return inPipe.error();
  for (int fd : {outPipe->readEnd.get(), errPipe->readEnd.get(), inPipe->writeEnd.get()}) {
    if (fd < 0) continue;
    if (auto status = setNonBlocking(fd); !status) return status.error();
  }

  SpawnOptions spawn = options.spawn;
  spawn.standardOutput = Stdio::fromFd(outPipe->writeEnd.get());
  spawn.standardError =
      options.captureStandardError ? Stdio::fromFd(errPipe->writeEnd.get()) : Stdio::nullDevice();
  spawn.standardInput =
      options.inputFromPipe ? Stdio::fromFd(inPipe->readEnd.get()) : Stdio::nullDevice();
  auto launched = spawnProcess(spawn);
  // The child holds its own copies now; ours would keep end of file from ever
  // coming.
  outPipe->writeEnd.reset();
  errPipe->writeEnd.reset();
  inPipe->readEnd.reset();
  if (!launched) return launched.error();

  Captured captured;
  captured.process = std::make_shared<ChildProcess>(std::move(launched.value()));
  Stream out{std::move(outPipe->readEnd), kStandardOutputStream, options.outputLimit, options.sink};
  Stream err{std::move(errPipe->readEnd), kStandardErrorStream, options.outputLimit, options.sink};
  auto finish = [&] {
    captured.standardOutput = out.bytes();
    captured.standardError = err.bytes();
    captured.standardOutputTruncated = out.truncated;
    captured.standardErrorTruncated = err.truncated;
  };
  UniqueFd in = std::move(inPipe->writeEnd);
  std::string_view input = options.input;
  if (options.launched && !options.launched(captured.process)) input = {};
  if (input.empty()) in.reset();

  const int pidfd = captured.process->handle().pidfd();
  bool exited = false;
  bool dropping = false;
  base::Deadline deadline = options.deadline;
  // The child is being ended: `deadline` is now the outputs' grace.
  bool inGrace = false;
  const bool sinkMayCongest = options.sink && options.sink->congested;
  auto wake = sinkMayCongest ? std::make_shared<Wakeup>() : nullptr;
  while (out.fd || err.fd || !exited) {
    if (!dropping && options.dropOutput && options.dropOutput->raised()) {
      dropping = true;
      out.drop();
      err.drop();
    }
    if (!inGrace && options.ended && options.ended->raised()) {
      inGrace = true;
      deadline = base::Deadline::after(options.outputGraceAfterEnd);
    }
    // Input nobody reads cannot hold up the end of the run.
    if (in && !out.fd && !err.fd && exited) in.reset();
    // Cleared before the look, so a drain right after it still wakes us.
    bool congested = false;
    if (sinkMayCongest && !dropping && (out.fd || err.fd)) {
      wake->clear();
      congested = options.sink->congested(wake);
    }
    pollfd entries[7];
    nfds_t count = 0;
    auto watch = [&](int fd, short events) {
      if (fd >= 0) entries[count++] = pollfd{fd, events, 0};
    };
    watch(congested ? -1 : out.fd.get(), POLLIN);
    watch(congested ? -1 : err.fd.get(), POLLIN);
    watch(in.get(), POLLOUT);
    watch(exited ? -1 : pidfd, POLLIN);
    // Only wake the loop: the flag and the sink are looked at its top.
    watch(dropping || !options.dropOutput ? -1 : options.dropOutput->pollFd(), POLLIN);
    watch(congested ? wake->pollFd() : -1, POLLIN);
    watch(inGrace || !options.ended ? -1 : options.ended->pollFd(), POLLIN);
    const int ready =
        base::retryOnEintr([&] { return ::poll(entries, count, deadline.pollTimeout()); });
    if (ready < 0) return errnoError("Could not wait for the launched process", errno);
    // Looked at whatever poll found: a child that writes without pause keeps
    // it from ever timing out.
    if (deadline.passed()) {
      if (inGrace) {
        // Whoever still holds the outputs is not waited for.
        captured.outputsCutShort = out.fd || err.fd;
        out.fd.reset();
        err.fd.reset();
        break;
      }
      if (!options.atDeadline) {
        finish();
        return captured;
      }
      inGrace = true;
      deadline = options.atDeadline();
      continue;
    }
    for (nfds_t i = 0; i < count; ++i) {
      const pollfd& entry = entries[i];
      if (entry.revents == 0) continue;
      if (entry.fd == out.fd.get()) {
        out.readOnce();
      } else if (entry.fd == err.fd.get()) {
        err.readOnce();
      } else if (entry.fd == in.get()) {
        if (!(entry.revents & POLLOUT)) {
          in.reset();  // the tool's end is closed
          continue;
        }
        ssize_t written = ::write(in.get(), input.data(), input.size());
        if (written > 0) {
          input.remove_prefix(static_cast<std::size_t>(written));
          if (input.empty()) in.reset();
        } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
          in.reset();  // best effort: the tool stopped reading
        }
      } else if (entry.fd == pidfd) {
        exited = true;
        // Reaped at once, status kept: an exited child of ours that nobody
        // reaps holds back the orphan reaper, for every run, as long as a
        // background process holds the outputs. Not a group's leader, whose
        // pid is its group's number only until it is reaped.
        if (!options.spawn.newProcessGroup) (void)captured.process->waitForTermination();
      }
    }
  }
  in.reset();
  const ChildProcess::Termination termination = captured.process->waitForTermination();
  captured.status = termination.status;
  captured.bySignal = termination.bySignal;
  finish();
  return captured;
}

}  // namespace zefra::platform
