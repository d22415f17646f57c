#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "common/Uri.h"

using ORVO::Common::Uri;

TEST(Uri, LowLatencyRendererUri) {
  Uri uri("orvo://low_latency_renderer");
  EXPECT_EQ(uri.scheme(), "orvo");
  EXPECT_EQ(uri.slashes(), "//");
  EXPECT_EQ(uri.host(), "low_latency_renderer");
  EXPECT_EQ(uri.port(), 0);
  EXPECT_TRUE(uri.path().empty());
  EXPECT_TRUE(uri.query().empty());
  EXPECT_EQ(uri.toString(), "orvo://low_latency_renderer");
}

TEST(Uri, SchemeAndHostAreLowerCasedPathAndQueryKeepCase) {
  Uri uri("HTTP://Example.COM/Some/Path.MP4?Key=Value&other=X");
  EXPECT_EQ(uri.scheme(), "http");
  EXPECT_EQ(uri.host(), "example.com");
  EXPECT_EQ(uri.port(), 80);
  EXPECT_EQ(uri.path(), "/Some/Path.MP4");
  EXPECT_EQ(uri.queryValue("Key"), "Value");
  EXPECT_EQ(uri.queryValue("other"), "X");
  EXPECT_EQ(uri.queryValue("key"), "");
}

TEST(Uri, UserInformation) {
  Uri both("rtsp://alice:s3cr:et@camera.local:8554/stream");
  EXPECT_EQ(both.user(), "alice");
  EXPECT_EQ(both.password(), "s3cr:et");
  EXPECT_EQ(both.host(), "camera.local");
  EXPECT_EQ(both.port(), 8554);
  EXPECT_EQ(both.path(), "/stream");
  EXPECT_EQ(both.toString(), "rtsp://camera.local:8554/stream");
  EXPECT_EQ(both.toString(true), "rtsp://alice:s3cr:et@camera.local:8554/stream");

  Uri userOnly("rtsp://bob@camera.local/stream");
  EXPECT_EQ(userOnly.user(), "bob");
  EXPECT_EQ(userOnly.password(), "");
  // Credentials are only written back when both parts exist.
  EXPECT_EQ(userOnly.toString(true), "rtsp://camera.local:554/stream");

  // An at sign after the authority belongs to the path.
  Uri late("http://host/path@thing");
  EXPECT_EQ(late.user(), "");
  EXPECT_EQ(late.host(), "host");
  EXPECT_EQ(late.path(), "/path@thing");
}

TEST(Uri, PortsAndSchemeDefaults) {
  EXPECT_EQ(Uri("http://h:8080/x").port(), 8080);
  EXPECT_EQ(Uri("http://h/x").port(), 80);
  EXPECT_EQ(Uri("https://h/x").port(), 443);
  EXPECT_EQ(Uri("rtsp://h/x").port(), 554);
  EXPECT_EQ(Uri("udp://h/x").port(), 0);
  EXPECT_EQ(Uri("http://h:abc/x").port(), 80);
  EXPECT_EQ(Uri("udp://h:abc/x").port(), 0);
  EXPECT_EQ(Uri("http://h: 81/x").port(), 81);
  EXPECT_EQ(Uri("http://h:82abc/x").port(), 82);
  EXPECT_EQ(Uri("http://h:/x").port(), 80);
  // A URI that ends at its port or host keeps what it has.
  EXPECT_EQ(Uri("http://h:9000").port(), 9000);
  EXPECT_EQ(Uri("http://h").port(), 0);
  // Absurd digits saturate instead of overflowing.
  EXPECT_GT(Uri("udp://h:99999999999999999999/x").port(), 0);
}

TEST(Uri, QueryPairs) {
  Uri uri("orvo://x/p?a=1&a=2&flag&=empty&b=x=y&");
  EXPECT_EQ(uri.queryValue("a"), "1");
  ASSERT_EQ(uri.query().count("flag"), 1u);
  EXPECT_EQ(uri.queryValue("flag"), "");
  ASSERT_EQ(uri.query().count(""), 1u);
  EXPECT_EQ(uri.query().at(""), "empty");
  EXPECT_EQ(uri.queryValue("b"), "x=y");
  // Keys come out in byte order.
  EXPECT_EQ(uri.toString(), "orvo://x/p?=empty&a=1&b=x=y&flag=");
}

TEST(Uri, QueryDirectlyAfterHost) {
  Uri uri("orvo://low_latency_renderer?renderingStrategy=smooth");
  EXPECT_EQ(uri.host(), "low_latency_renderer");
  EXPECT_EQ(uri.path(), "");
  EXPECT_EQ(uri.queryValue("renderingStrategy"), "smooth");
}

TEST(Uri, SlashRuns) {
  Uri three("file:///C:/media/clip.mp4");
  EXPECT_EQ(three.scheme(), "file");
  EXPECT_EQ(three.slashes(), "//");
  EXPECT_EQ(three.host(), "");
  EXPECT_EQ(three.path(), "/C:/media/clip.mp4");

  Uri none("mailto:someone@example.com");
  EXPECT_EQ(none.slashes(), "");
  EXPECT_EQ(none.user(), "someone");
  EXPECT_EQ(none.host(), "example.com");

  Uri onlySlashes("orvo://");
  EXPECT_EQ(onlySlashes.scheme(), "orvo");
  EXPECT_EQ(onlySlashes.slashes(), "");
  EXPECT_EQ(onlySlashes.host(), "");
}

TEST(Uri, TextWithoutColonLeavesEverythingEmpty) {
  Uri uri("just some words/with?query=1");
  EXPECT_EQ(uri.scheme(), "");
  EXPECT_EQ(uri.host(), "");
  EXPECT_EQ(uri.path(), "");
  EXPECT_TRUE(uri.query().empty());
  EXPECT_EQ(Uri("").scheme(), "");
}

TEST(Uri, ParseReplacesEverythingFromBefore) {
  Uri uri("http://user:pw@a.example:81/p?x=1");
  uri.parse("orvo://b");
  EXPECT_EQ(uri.scheme(), "orvo");
  EXPECT_EQ(uri.user(), "");
  EXPECT_EQ(uri.password(), "");
  EXPECT_EQ(uri.port(), 0);
  EXPECT_EQ(uri.path(), "");
  EXPECT_TRUE(uri.query().empty());
  uri.clear();
  EXPECT_EQ(uri.host(), "");
}

TEST(Uri, WideHostStringsConvertToUtf8) {
  EXPECT_EQ(Uri::ToUtf8(L"orvo://x?name=caf\u00e9"), "orvo://x?name=caf\xC3\xA9");
  EXPECT_EQ(Uri::ToUtf8(nullptr), "");
  EXPECT_EQ(Uri::ToUtf8(L""), "");
}

// Arbitrary bytes never crash the scanner, and what it finds always comes from the input.
TEST(Uri, RandomByteStringsAreHandled) {
  std::mt19937 random(20261208);
  const std::string alphabet = ":/?@&=#%aZ09 \t\x01\xff";
  for (int round = 0; round < 20000; ++round) {
    const size_t length = random() % 48;
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      text += (random() % 2) ? alphabet[random() % alphabet.size()] : static_cast<char>(random() % 256);
    }
    Uri uri(text);
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
      ASSERT_TRUE(uri.scheme().empty() && uri.host().empty() && uri.path().empty() && uri.query().empty()) << text;
      continue;
    }
    std::string expectedScheme = text.substr(0, colon);
    for (char& c : expectedScheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(uri.scheme(), expectedScheme);
    ASSERT_LE(uri.slashes().size(), 2u);
    ASSERT_LE(uri.host().size() + uri.path().size() + uri.user().size(), text.size());
    if (!uri.path().empty()) {
      ASSERT_NE(text.find(uri.path()), std::string::npos);
    }
    (void)uri.toString(true);
  }
}
