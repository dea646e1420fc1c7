#pragma once

// Black-box support: a private Xvfb, the streamer as a child process, drawing on the screen,
// and reading and decoding frame records.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "x11_connection_x11.h"

namespace morvane::streamer::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How a child starts, beyond its arguments and DISPLAY.
struct ChildSetup {
  // Standard descriptors (0 to 2) that the child starts without.
  std::vector<int> closed;
  // A file for standard output, created or emptied, instead of the pipe read_exact reads.
  std::string output_file;
  // The largest file the child may write (RLIMIT_FSIZE), in bytes.
  std::optional<std::uint64_t> file_size_limit;
  // The output file is opened for appending and keeps what it holds, as a shell's >> does.
  bool append_to_output_file = false;
};

// A child process with its standard input on /dev/null and its standard output and error on
// pipes; killed and reaped when the owner goes.
class ChildProcess {
 public:
  // `display` empty means no DISPLAY in the child's environment.
  static std::expected<ChildProcess, std::string> spawn(const std::vector<std::string>& argv,
                                                        const std::string& display,
                                                        const ChildSetup& setup = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();

  // Reads exactly `size` bytes of standard output, unless it ends or time runs out first.
  bool read_exact(std::uint8_t* out, std::size_t size, Clock::time_point deadline);
  // Up to `size` bytes of standard output as they come; 0 at its end or when nothing came
  // within `wait`.
  std::size_t read_some(std::uint8_t* out, std::size_t size, milliseconds wait);
  // Whether standard output has anything (or its end) to read within `wait`.
  bool stdout_readable(milliseconds wait);
  void close_stdout();
  pid_t pid() const { return pid_; }
  // The exit status, or nothing if the child is still running at the deadline (or died by a
  // signal, which counts as -signal).
  std::optional<int> wait_exit(milliseconds wait);
  std::string read_stderr();

 private:
  ChildProcess(pid_t pid, int out, int err) : pid_(pid), out_(out), err_(err) {}
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

// Xvfb on a free display number, started with -noreset so drawings survive client exits.
class VirtualScreen {
 public:
  static std::expected<VirtualScreen, std::string> start(int width, int height);
  VirtualScreen(VirtualScreen&& other) noexcept;
  VirtualScreen& operator=(VirtualScreen&&) = delete;
  ~VirtualScreen();

  const std::string& display() const { return display_; }
  void kill();

 private:
  VirtualScreen(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}
  pid_t pid_ = -1;
  std::string display_;
};

// Fills the root window with solid colours.
class ScreenPainter {
 public:
  static std::expected<ScreenPainter, std::string> connect(const std::string& display);
  void fill(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  // Draws a screen-sized picture of 32-bit pixels (blue, green, red, unused) on the root.
  // Only rows `first_row` to `first_row + row_count` are sent when a range is given.
  void show(const std::vector<std::uint8_t>& pixels, int first_row = 0, int row_count = -1);
  // Gives the screen a new size through RandR, its outputs switched off as a smaller size
  // needs; the error says what the server refused.
  std::expected<void, std::string> resize(int width, int height);

 private:
  explicit ScreenPainter(XConnection connection) : connection_(std::move(connection)) {}
  XConnection connection_;
};

// Keeps changing the whole screen's colour until destroyed.
class Flicker {
 public:
  explicit Flicker(const std::string& display);
  Flicker(const Flicker&) = delete;
  Flicker& operator=(const Flicker&) = delete;
  ~Flicker();

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A deterministic desktop-like picture: gradients, flat panels and rows of text-like marks,
// so that JPEG encoding costs what it would on a real screen. `seed` varies the marks.
std::vector<std::uint8_t> desktop_picture(int width, int height, unsigned seed);

struct Record {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> jpeg;
};

std::optional<Record> read_record(ChildProcess& child, milliseconds wait);

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
};

std::expected<DecodedImage, std::string> decode_jpeg(const std::vector<std::uint8_t>& jpeg);

}  // namespace morvane::streamer::testing
