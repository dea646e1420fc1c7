#include "streamer_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

namespace morvane::streamer {

namespace {

constexpr int stop_signal_numbers[] = {SIGTERM, SIGINT};

// The pipe's writing end; set before any handler is installed, then only read.
int stop_pipe_write = -1;

// Async-signal-safe: one write, errno kept for the interrupted code.
void note_stop_signal(int signal) {
  const int saved = errno;
  const auto number = static_cast<unsigned char>(signal);
  (void)!::write(stop_pipe_write, &number, 1);
  errno = saved;
}

bool ignored_at_launch(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void set_disposition(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Restarted, so that the capture's threads never see a stop signal as a failed call.
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

[[noreturn]] void end_by_signal(int signal) {
  set_disposition(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  // Reached only if something else took the signal's default action away.
  _exit(128 + signal);
}

// Close-on-exec both ends; the writing end never blocks a handler.
bool make_stop_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  return true;
}

int read_stop_signal(int fd) {
  unsigned char number = 0;
  for (;;) {
    const ssize_t got = ::read(fd, &number, 1);
    if (got == 1) return number;
    if (got < 0 && errno == EINTR) continue;
    return 0;
  }
}

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

StopSignals& StopSignals::install() {
  static StopSignals& stops = *new StopSignals();  // never destroyed: its thread outlives main
  int fds[2] = {-1, -1};
  // Without the pipe the signals keep their default action: a cut record, as before.
  if (!make_stop_pipe(fds)) return stops;
  stop_pipe_write = fds[1];
  std::vector<int> handled;
  for (int number : stop_signal_numbers) {
    if (ignored_at_launch(number)) continue;
    set_disposition(number, note_stop_signal);
    handled.push_back(number);
  }
  // A signal that comes before the thread runs waits in the pipe.
  std::thread([read_end = fds[0], handled] {
    const int signal = read_stop_signal(read_end);
    if (signal != 0) stops.stop_on_signal(signal);
    // The pipe failed, which it cannot: let later signals act as if never handled.
    for (int number : handled) set_disposition(number, SIG_DFL);
  }).detach();
  return stops;
}

void StopSignals::stop_on_signal(int signal) {
  if (FrameOutput* output = output_.load()) output->close_for_stop_signal(record_finish_bound);
  end_by_signal(signal);
}

void run_capture_set_up(CapturePlatform& platform, const StreamerOptions& options,
                        std::optional<RunningCapture>& running, StopSignals* stops) {
  auto capture = set_up_capture(platform, options, [stops](FrameOutput& output) {
    if (stops != nullptr) stops->guard(output);
  });
  if (!capture) {
    platform.process_end().fail(capture.error());
    return;
  }
  running = std::move(*capture);
}

}  // namespace morvane::streamer
