// The client's reading of a response: the header is the whole line up to the line feed, so a
// NUL inside it (where the JSON library would stop) makes it no header.
#include <gtest/gtest.h>

#include <string>

#include "client/helper_client.h"

namespace morvane::blackbox {
namespace {

using namespace std::string_literals;

TEST(ClientResponseTest, HeaderLineIsJsonUpToItsLineFeed) {
  client::Launch launch;
  launch.arguments = {"clear"};
  client::RawResult raw;
  raw.status = 0;
  raw.token = std::string(64, 'a');
  const std::string header = R"({"build":"1.2.0:aarch64-apple-darwin:10.15","metadata":{"delivery":"committed_verified","kind":"none"},"ok":true,"operation":"clear","payload_len":0,"protocol":"1","token":")" +
                             raw.token + R"("})";
  raw.output = header + "\n";
  EXPECT_TRUE(client::parse_response(raw, launch));
  for (const std::string& tail : {"\0"s, "\0garbage{{{"s, " \0 "s}) {
    raw.output = header + tail + "\n";
    EXPECT_FALSE(client::parse_response(raw, launch)) << tail.size();
  }
}

}  // namespace
}  // namespace morvane::blackbox
