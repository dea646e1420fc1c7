#include "posix_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "one_answer.h"

namespace morvane::streamer {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct TempFile {
  TempFile() {
    char name[] = "/tmp/streamer_output_XXXXXX";
    fd = mkstemp(name);
    path = name;
  }
  ~TempFile() {
    ::close(fd);
    ::unlink(path.c_str());
  }
  std::string contents() const {
    std::string text(4096, '\0');
    const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
  }
  int fd = -1;
  std::string path;
};

TEST(DescriptorSink, RegularFileIsCutBackAndWrittenOnFromTheCut) {
  for (int flags : {O_WRONLY, O_WRONLY | O_APPEND}) {
    TempFile file;
    const int fd = ::open(file.path.c_str(), flags);
    ASSERT_GE(fd, 0);
    DescriptorSink sink(fd);
    ASSERT_TRUE(sink.write_all(bytes_of("whole,")).has_value());
    EXPECT_EQ(sink.file_position(), 6u);
    ASSERT_TRUE(sink.write_all(bytes_of("part")).has_value());
    ASSERT_TRUE(sink.truncate_to(6).has_value());
    EXPECT_EQ(file.contents(), "whole,");
    EXPECT_EQ(sink.file_position(), 6u);
    // Whoever writes next on this descriptor leaves no hole.
    ASSERT_TRUE(sink.write_all(bytes_of("next")).has_value());
    EXPECT_EQ(file.contents(), "whole,next") << "flags " << flags;
    ::close(fd);
  }
}

// What the file held before the sink first wrote, and what another writer appended, is never
// cut, whatever the descriptor's offset says.
TEST(DescriptorSink, CutNeverTakesOtherBytes) {
  struct Case {
    const char* name;
    int flags;
    std::uint64_t position;  // of the record, as the sink gives it
    const char* others;      // appended by another writer during the record
    const char* left;
  };
  const Case cases[] = {
      {"appending: the record starts at the end", O_WRONLY | O_APPEND, 8, "", "earlier,"},
      {"appending: another writer appended", O_WRONLY | O_APPEND, 8, "theirs",
       "earlier,parttheirs"},
      {"overwriting from the start", O_WRONLY, 0, "", "partier,"},
  };
  for (const auto& c : cases) {
    TempFile file;
    ASSERT_EQ(::pwrite(file.fd, "earlier,", 8, 0), 8);
    const int fd = ::open(file.path.c_str(), c.flags);
    ASSERT_GE(fd, 0);
    DescriptorSink sink(fd);
    const std::optional<std::uint64_t> position = sink.file_position();
    EXPECT_EQ(position, c.position) << c.name;
    ASSERT_TRUE(sink.write_all(bytes_of("part")).has_value());
    const int other = ::open(file.path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(::write(other, c.others, std::strlen(c.others)),
              static_cast<ssize_t>(std::strlen(c.others)));
    ::close(other);
    (void)sink.truncate_to(position.value_or(0));
    EXPECT_EQ(file.contents(), c.left) << c.name;
    ::close(fd);
  }
}

TEST(DescriptorSink, OnlyARegularFileHasAPosition) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int null_device = ::open("/dev/null", O_WRONLY);
  struct Case {
    const char* name;
    int fd;
  };
  for (const Case& c : {Case{"pipe", fds[1]}, Case{"/dev/null", null_device}}) {
    DescriptorSink sink(c.fd);
    ASSERT_TRUE(sink.write_all(bytes_of("abc")).has_value()) << c.name;
    EXPECT_EQ(sink.file_position(), std::nullopt) << c.name;
  }
  ::close(null_device);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(DescriptorSink, DepartedPipeReaderIsNoticedWithoutWriting) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  DescriptorSink sink(fds[1]);
  EXPECT_TRUE(sink.check_reader().has_value());
  ::close(fds[0]);
  EXPECT_EQ(sink.check_reader(), std::unexpected(std::string("Broken pipe")));
  ::close(fds[1]);
}

TEST(OneAnswer, FirstAnswerFromAnotherThreadWins) {
  OneAnswer<int> answer;
  std::thread handler([&answer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    answer.give(1);
    answer.give(2);
  });
  EXPECT_EQ(answer.wait(), 1);
  handler.join();
}

}  // namespace
}  // namespace morvane::streamer
