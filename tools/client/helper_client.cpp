#include "client/helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <random>

extern char** environ;

namespace morvane::client {

namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset();
    fd = std::exchange(o.fd, -1);
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct Pipe {
  Fd read, write;
};

// Moves a pipe end above the standard descriptors. An end numbered 0 to 2 (this process was
// started with one of them closed) would be named twice in the spawn's file actions: adddup2 to
// its own number does not clear close-on-exec under POSIX_SPAWN_CLOEXEC_DEFAULT, so the child
// would lose it, and an end on 1 or 2 could be overwritten by an earlier dup2 before it is used.
bool raise_above_standard(Fd& end) {
  if (end.fd > 2) return true;
  const int raised = ::fcntl(end.fd, F_DUPFD_CLOEXEC, 3);
  if (raised < 0) return false;
  end = Fd(raised);
  return true;
}

std::expected<Pipe, std::string> make_pipe() {
  int fds[2];
#if defined(__APPLE__)
  // macOS has no pipe2: close-on-exec comes a moment after the pipe, so a launch from another
  // thread in between could inherit these ends. run_raw's spawn closes every descriptor it does
  // not name there (POSIX_SPAWN_CLOEXEC_DEFAULT); the flag here covers other ways of starting
  // a program.
  if (::pipe(fds) != 0) return std::unexpected(std::string("pipe: ") + strerror(errno));
  Pipe ends{Fd(fds[0]), Fd(fds[1])};
  if (::fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0) {
    return std::unexpected(std::string("pipe: ") + strerror(errno));
  }
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe: ") + strerror(errno));
  Pipe ends{Fd(fds[0]), Fd(fds[1])};
#endif
  if (!raise_above_standard(ends.read) || !raise_above_standard(ends.write)) {
    return std::unexpected(std::string("pipe: ") + strerror(errno));
  }
  return ends;
}

std::vector<std::string> child_environment(const Launch& launch, const std::string& token) {
  std::map<std::string, std::optional<std::string>> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  vars["MORVANE_MACOS_HELPER_MODE"] = "clipboard";
  vars["MORVANE_MACOS_HELPER_PROTOCOL"] = kProtocolVersion;
  vars["MORVANE_MACOS_HELPER_BUILD"] = kBuildIdentity;
  vars["MORVANE_MACOS_HELPER_OUTPUT_FD"] = "1";
  vars["MORVANE_MACOS_HELPER_TOKEN"] = token;
  vars["MORVANE_MACOS_HELPER_DEADLINE_MS"] = launch.deadline_ms;
  for (const auto& [name, value] : launch.environment) vars[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

using Clock = std::chrono::steady_clock;

// Milliseconds until `at`, rounded up, for poll's timeout; -1 for no limit.
int poll_timeout(std::optional<Clock::time_point> at) {
  if (!at) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

// Feeds the request and drains both outputs together, so neither side can block the other;
// the request and the response wait for their delays first.
void pump(pid_t child, Fd& in, const Launch& launch, Fd& out, Fd& err, RawResult& result) {
  const std::string* request = launch.request ? &*launch.request : nullptr;
  const Clock::time_point start = Clock::now();
  const Clock::time_point request_at = start + std::chrono::milliseconds(launch.request_delay_ms);
  const Clock::time_point response_at = start + std::chrono::milliseconds(launch.response_delay_ms);
  const Clock::time_point kill_at = start + std::chrono::milliseconds(launch.kill_after_ms);
  bool killed = false;
  std::size_t sent = 0;
  bool request_done = false;
  if (in.fd >= 0) set_nonblocking(in.fd);
  char buffer[65536];
  while (out.fd >= 0 || err.fd >= 0) {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> wake;
    auto due = [&](Clock::time_point at) {
      if (now >= at) return true;
      wake = wake ? std::min(*wake, at) : at;
      return false;
    };
    if (launch.kill_after_ms > 0 && !killed && due(kill_at)) {
      ::kill(child, SIGKILL);
      killed = true;
    }
    pollfd fds[3];
    int n = 0;
    int in_index = -1, out_index = -1, err_index = -1;
    if (in.fd >= 0 && !request_done && due(request_at)) { in_index = n; fds[n++] = {in.fd, POLLOUT, 0}; }
    if (out.fd >= 0 && due(response_at)) { out_index = n; fds[n++] = {out.fd, POLLIN, 0}; }
    if (err.fd >= 0) { err_index = n; fds[n++] = {err.fd, POLLIN, 0}; }
    const int ready = ::poll(fds, static_cast<nfds_t>(n), poll_timeout(wake));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto finish_request = [&] {
      if (launch.keep_request_open) request_done = true;
      else in.reset();
    };
    if (in_index >= 0 && fds[in_index].revents != 0) {
      if (request == nullptr || sent == request->size()) {
        finish_request();
      } else {
        ssize_t w = ::write(in.fd, request->data() + sent, request->size() - sent);
        if (w > 0) sent += static_cast<std::size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EINTR) in.reset();  // helper stopped reading
        if (in.fd >= 0 && sent == request->size()) finish_request();
      }
    }
    auto drain = [&](int index, Fd& fd, std::string& sink) {
      if (index < 0 || fds[index].revents == 0) return;
      ssize_t r = ::read(fd.fd, buffer, sizeof buffer);
      if (r > 0) sink.append(buffer, static_cast<std::size_t>(r));
      else if (r == 0 || (errno != EINTR && errno != EAGAIN)) fd.reset();
    };
    drain(out_index, out, result.output);
    drain(err_index, err, result.error_output);
  }
}

}  // namespace

std::string random_token() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string token(64, '0');
  for (char& c : token) c = kHex[device() % 16];
  return token;
}

std::expected<RawResult, std::string> run_raw(const Launch& launch) {
  RawResult result;
  result.token = launch.token.empty() ? random_token() : launch.token;
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  if (!in || !out || !err) return std::unexpected(std::string("cannot create pipes"));

  // Closed before the launch, not after: a helper that starts quickly could otherwise write its
  // whole response into the pipe before the reader goes.
  if (launch.close_response_early) out->read.reset();

  if (launch.nonblocking_pipes) {
    for (int fd : {in->read.fd, out->write.fd, err->write.fd}) {
      if (fd >= 0) set_nonblocking(fd);
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.request) {
    posix_spawn_file_actions_adddup2(&actions, in->read.fd, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out->write.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err->write.fd, 2);

  std::vector<std::string> argv_strings{launch.program};
  argv_strings.insert(argv_strings.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> env_strings = child_environment(launch, result.token);
  auto argv = c_strings(argv_strings);
  auto envp = c_strings(env_strings);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
#if defined(__APPLE__)
  // Apple's extension, as posix_spawnattr_setflags(3) describes it: the child gets only the
  // descriptors the file actions name (0, 1 and 2 here), whatever other threads have open
  // without close-on-exec at this moment. The pipe ends are never 0 to 2 themselves (see
  // raise_above_standard), so no adddup2 names a descriptor's own number.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
#endif
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, launch.program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return std::unexpected("cannot start " + launch.program + ": " + strerror(spawned));
  }
  in->read.reset();
  out->write.reset();
  err->write.reset();
  if (!launch.request) in->write.reset();

  // A helper that stops reading its request would raise SIGPIPE here; the client must survive.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  pump(pid, in->write, launch, out->read, err->read, result);
  ::sigaction(SIGPIPE, &previous, nullptr);

  int wstatus = 0;
  struct rusage usage {};
  while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
#if defined(__APPLE__)
  result.peak_rss_kib = usage.ru_maxrss / 1024;  // macOS counts it in bytes
#else
  result.peak_rss_kib = usage.ru_maxrss;  // Linux counts it in KiB
#endif
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  return result;
}

std::expected<Response, std::string> parse_response(const RawResult& raw, const Launch& launch) {
  Response response;
  response.status = raw.status;
  const auto newline = raw.output.find('\n');
  if (newline == std::string::npos) return std::unexpected(std::string("no header line"));
  response.header_text = raw.output.substr(0, newline);
  // The JSON library stops at a NUL as at the end of its input; the header line must be
  // JSON up to its line feed, so a NUL makes it no header at all.
  const bool has_nul = response.header_text.find('\0') != std::string::npos;
  if (!has_nul) response.header = nlohmann::json::parse(response.header_text, nullptr, false);
  if (has_nul || response.header.is_discarded() || !response.header.is_object()) {
    return std::unexpected("header is not a JSON object: " + response.header_text);
  }
  const auto& h = response.header;
  auto echoes = [&](const char* key, const std::string& expected) {
    return h.contains(key) && h[key].is_string() && h[key].get<std::string>() == expected;
  };
  if (!echoes("protocol", kProtocolVersion) || !echoes("build", kBuildIdentity) ||
      !echoes("token", raw.token) ||
      !echoes("operation", launch.arguments.empty() ? std::string() : launch.arguments[0])) {
    return std::unexpected("header does not echo the launch: " + response.header_text);
  }
  if (!h.contains("payload_len") || !h["payload_len"].is_number_unsigned()) {
    return std::unexpected(std::string("header has no payload_len"));
  }
  const auto payload_len = h["payload_len"].get<std::uint64_t>();
  if (raw.output.size() - newline - 1 != payload_len) {
    return std::unexpected("payload is " + std::to_string(raw.output.size() - newline - 1) +
                           " bytes, header says " + std::to_string(payload_len));
  }
  response.payload = raw.output.substr(newline + 1);
  return response;
}

std::expected<Response, std::string> call(const Launch& launch) {
  auto raw = run_raw(launch);
  if (!raw) return std::unexpected(raw.error());
  return parse_response(*raw, launch);
}

}  // namespace morvane::client
