#include "x11_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

extern char** environ;

namespace morvane::streamer::testing {

namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  return {fds[0], fds[1]};
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool readable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  int ready = 0;
  while ((ready = poll(&entry, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return ready == 1;
}

// One line without its line feed; nullopt when the writer quit or the deadline passed first.
std::optional<std::string> read_line(int fd, Clock::time_point deadline) {
  std::string line;
  char c = 0;
  while (readable(fd, remaining_ms(deadline))) {
    if (::read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::nullopt;
}

std::vector<std::string> environment_with_display(const std::string& display) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "DISPLAY=", 8) != 0) env.emplace_back(*entry);
  }
  if (!display.empty()) env.push_back("DISPLAY=" + display);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

struct FileActions {
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  posix_spawn_file_actions_t actions;
};

std::optional<int> reap(pid_t pid, milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return -WTERMSIG(status);
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

}  // namespace

std::expected<ChildProcess, std::string> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                             const std::string& display,
                                                             const ChildSetup& setup) {
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  // Closed by a successful exec; otherwise it carries the exec's error number.
  Pipe exec_failure = make_pipe();
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int output = out.write;
  if (!setup.output_file.empty()) {
    const int keep_or_empty = setup.append_to_output_file ? O_APPEND : O_TRUNC;
    output = ::open(setup.output_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | keep_or_empty,
                    0600);
  }
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment_with_display(display);
  std::vector<char*> arg_pointers = pointers(args);
  std::vector<char*> env_pointers = pointers(env);

  std::string failure;
  pid_t pid = -1;
  if (input < 0 || output < 0 || out.read < 0 || err.read < 0 || exec_failure.read < 0) {
    failure = std::string("cannot prepare the child's descriptors: ") + std::strerror(errno);
  } else {
    pid = fork();
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec: the test process has threads.
      ::dup2(input, 0);
      ::dup2(output, 1);
      ::dup2(err.write, 2);
      for (int fd : setup.closed) ::close(fd);
      // A host starts its children with the stop signals' default actions, whatever this test
      // process was started with.
      struct sigaction default_action {};
      default_action.sa_handler = SIG_DFL;
      ::sigaction(SIGTERM, &default_action, nullptr);
      ::sigaction(SIGINT, &default_action, nullptr);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (setup.file_size_limit) {
        const rlimit limit{*setup.file_size_limit, *setup.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
      const int error = errno;
      (void)!::write(exec_failure.write, &error, sizeof error);
      _exit(127);
    }
    if (pid < 0) failure = std::string("cannot fork: ") + std::strerror(errno);
  }
  int input_fd = input;
  close_fd(input_fd);
  if (output != out.write) close_fd(output);
  close_fd(out.write);
  close_fd(err.write);
  close_fd(exec_failure.write);
  int exec_error = 0;
  if (pid > 0 && ::read(exec_failure.read, &exec_error, sizeof exec_error) == sizeof exec_error) {
    reap(pid, milliseconds(5000));
    failure = "cannot start " + args[0] + ": " + std::strerror(exec_error);
  }
  close_fd(exec_failure.read);
  if (!failure.empty()) {
    close_fd(out.read);
    close_fd(err.read);
    return std::unexpected(failure);
  }
  return ChildProcess(pid, out.read, err.read);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap(pid_, milliseconds(5000));
  }
  close_fd(out_);
  close_fd(err_);
}

bool ChildProcess::read_exact(std::uint8_t* out, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    if (!readable(out_, remaining_ms(deadline))) return false;
    const ssize_t got = ::read(out_, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

std::size_t ChildProcess::read_some(std::uint8_t* out, std::size_t size, milliseconds wait) {
  if (!readable(out_, static_cast<int>(wait.count()))) return 0;
  ssize_t got = -1;
  while ((got = ::read(out_, out, size)) < 0 && errno == EINTR) {
  }
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool ChildProcess::stdout_readable(milliseconds wait) {
  return readable(out_, static_cast<int>(wait.count()));
}

void ChildProcess::close_stdout() { close_fd(out_); }

std::optional<int> ChildProcess::wait_exit(milliseconds wait) {
  auto status = reap(pid_, wait);
  if (status) pid_ = -1;
  return status;
}

std::string ChildProcess::read_stderr() {
  std::string text;
  char buffer[4096];
  while (readable(err_, 0)) {
    const ssize_t got = ::read(err_, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::expected<VirtualScreen, std::string> VirtualScreen::start(int width, int height) {
  Pipe ready = make_pipe();
  // dup2 onto itself would keep close-on-exec, so the child's descriptor 3 must come from a
  // different number.
  const int above_three = fcntl(ready.write, F_DUPFD_CLOEXEC, 10);
  close_fd(ready.write);
  ready.write = above_three;
  FileActions files;
  posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files.actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files.actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&files.actions, ready.write, 3);
  // No display number: with -displayfd alone Xvfb takes the first free one itself, so
  // concurrent tests, other users' servers and sockets left by killed servers are no obstacle.
  std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp",
                                   "-screen", "0",
                                   std::to_string(width) + "x" + std::to_string(height) + "x24"};
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, "Xvfb", &files.actions, nullptr, pointers(args).data(),
                                  environ);
  close_fd(ready.write);
  if (failed != 0) {
    close_fd(ready.read);
    return std::unexpected(std::string("cannot start Xvfb (is the xvfb package installed?): ") +
                           std::strerror(failed));
  }
  // Xvfb writes its display number and a line feed once it accepts connections.
  const auto number = read_line(ready.read, Clock::now() + std::chrono::seconds(10));
  close_fd(ready.read);
  if (number && !number->empty() &&
      number->find_first_not_of("0123456789") == std::string::npos) {
    return VirtualScreen(pid, ":" + *number);
  }
  ::kill(pid, SIGKILL);
  reap(pid, milliseconds(5000));
  return std::unexpected(std::string("Xvfb did not start"));
}

VirtualScreen::VirtualScreen(VirtualScreen&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), display_(std::move(other.display_)) {}

VirtualScreen::~VirtualScreen() { kill(); }

void VirtualScreen::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  reap(pid_, milliseconds(5000));
  pid_ = -1;
}

std::expected<ScreenPainter, std::string> ScreenPainter::connect(const std::string& display) {
  auto connection = XConnection::open(display);
  if (!connection) return std::unexpected(connection.error());
  return ScreenPainter(std::move(*connection));
}

void ScreenPainter::fill(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  xcb_connection_t* c = connection_.get();
  const xcb_screen_t* screen = connection_.first_screen();
  const std::uint32_t pixel = (std::uint32_t{red} << 16) | (std::uint32_t{green} << 8) | blue;
  xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXEL, &pixel);
  xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
  // A round trip, so the server has drawn before this returns.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void ScreenPainter::show(const std::vector<std::uint8_t>& pixels, int first_row, int row_count) {
  xcb_connection_t* c = connection_.get();
  const xcb_screen_t* screen = connection_.first_screen();
  const int width = screen->width_in_pixels;
  const int height =
      row_count < 0 ? screen->height_in_pixels : std::min<int>(first_row + row_count, screen->height_in_pixels);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, screen->root, 0, nullptr);
  // Strips keep every request under the core protocol's length limit.
  const int rows = std::max(1, 200000 / width);
  for (int top = first_row; top < height; top += rows) {
    const int strip = std::min(rows, height - top);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, gc, static_cast<std::uint16_t>(width),
                  static_cast<std::uint16_t>(strip), 0, static_cast<std::int16_t>(top), 0,
                  screen->root_depth, static_cast<std::uint32_t>(width * strip * 4),
                  pixels.data() + static_cast<std::size_t>(top) * width * 4);
  }
  xcb_free_gc(c, gc);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

std::expected<void, std::string> ScreenPainter::resize(int width, int height) {
  xcb_connection_t* c = connection_.get();
  const xcb_window_t root = connection_.first_screen()->root;
  std::unique_ptr<xcb_randr_get_screen_resources_current_reply_t, decltype(&std::free)> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr),
      &std::free);
  if (!resources) return std::unexpected(std::string("no RandR screen resources"));
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
  for (int i = 0; i < resources->num_crtcs; ++i) {
    std::free(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, crtcs[i], XCB_CURRENT_TIME, resources->config_timestamp, 0,
                                  0, XCB_NONE, XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
        nullptr));
  }
  // Millimetres for 96 dots an inch.
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_randr_set_screen_size_checked(c, root, static_cast<std::uint16_t>(width),
                                           static_cast<std::uint16_t>(height),
                                           static_cast<std::uint32_t>(width * 254 / 960),
                                           static_cast<std::uint32_t>(height * 254 / 960)));
  if (error == nullptr) return {};
  const int code = error->error_code;
  std::free(error);
  return std::unexpected("RandR refused the size (error " + std::to_string(code) + ")");
}

Flicker::Flicker(const std::string& display)
    : thread_([this, display] {
        auto painter = ScreenPainter::connect(display);
        for (std::uint8_t shade = 0; painter && !stop_; shade += 7) {
          painter->fill(shade, 255 - shade, 128);
          std::this_thread::sleep_for(milliseconds(5));
        }
      }) {}

Flicker::~Flicker() {
  stop_ = true;
  thread_.join();
}

std::vector<std::uint8_t> desktop_picture(int width, int height, unsigned seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  unsigned state = seed * 2654435761u + 1;
  const auto next = [&state] { return state = state * 1664525u + 1013904223u; };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      const bool panel = x > width / 8 && x < width * 7 / 8 && y > height / 10 && y < height * 9 / 10;
      if (!panel) {  // wallpaper gradient
        p[0] = static_cast<std::uint8_t>(90 + 120 * y / height);
        p[1] = static_cast<std::uint8_t>(60 + 80 * x / width);
        p[2] = static_cast<std::uint8_t>(40 + 60 * (x + y) / (width + height));
        continue;
      }
      const bool text_row = (y / 14) % 2 == 0 && y % 14 > 2;
      const bool mark = text_row && (next() >> 24) < 90;
      const std::uint8_t shade = mark ? 30 : 245;
      p[0] = p[1] = p[2] = shade;
    }
  }
  return pixels;
}

std::optional<Record> read_record(ChildProcess& child, milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  std::uint8_t header[12];
  if (!child.read_exact(header, sizeof header, deadline)) return std::nullopt;
  const auto field = [&header](int offset) {
    return (std::uint32_t{header[offset]} << 24) | (std::uint32_t{header[offset + 1]} << 16) |
           (std::uint32_t{header[offset + 2]} << 8) | header[offset + 3];
  };
  Record record{field(4), field(8), std::vector<std::uint8_t>(field(0))};
  if (!child.read_exact(record.jpeg.data(), record.jpeg.size(), deadline)) return std::nullopt;
  return record;
}

std::expected<DecodedImage, std::string> decode_jpeg(const std::vector<std::uint8_t>& jpeg) {
  std::unique_ptr<void, decltype(&tjDestroy)> handle(tjInitDecompress(), &tjDestroy);
  DecodedImage image;
  int subsampling = 0;
  int colourspace = 0;
  if (tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &image.width, &image.height,
                          &subsampling, &colourspace) != 0) {
    return std::unexpected(std::string(tjGetErrorStr2(handle.get())));
  }
  image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  if (tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), image.rgb.data(), image.width, 0,
                    image.height, TJPF_RGB, 0) != 0) {
    return std::unexpected(std::string(tjGetErrorStr2(handle.get())));
  }
  return image;
}

}  // namespace morvane::streamer::testing
