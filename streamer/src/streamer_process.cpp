#include "streamer_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace morvane::streamer {

namespace {

bool is_closed(int fd) {
  return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// open() takes the lowest free number, so the descriptors are filled in order.
void hold_with_dev_null(int fd) {
  const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (opened >= 0 && opened != fd) ::close(opened);
}

}  // namespace

std::optional<std::string> prepare_process() {
  const bool output_closed = is_closed(STDOUT_FILENO);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (is_closed(fd)) hold_with_dev_null(fd);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  if (output_closed) return "frame output failed: " + std::string(std::strerror(EBADF));
  return std::nullopt;
}

void run_capture_set_up(CapturePlatform& platform, const StreamerOptions& options,
                        std::optional<RunningCapture>& running) {
  auto capture = set_up_capture(platform, options);
  if (!capture) {
    platform.process_end().fail(capture.error());
    return;
  }
  running = std::move(*capture);
}

}  // namespace morvane::streamer
