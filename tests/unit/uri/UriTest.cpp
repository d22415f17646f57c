#include <gtest/gtest.h>

#include "api/Uri.h"

using ORVO::Common::Uri;

TEST(Uri, LowLatencyRendererUri) {
  Uri uri("orvo://low_latency_renderer");
  EXPECT_EQ(uri.scheme(), "orvo");
  EXPECT_EQ(uri.slashes(), "//");
  EXPECT_EQ(uri.host(), "low_latency_renderer");
  EXPECT_EQ(uri.port(), 0);
  EXPECT_TRUE(uri.path().empty());
  EXPECT_TRUE(uri.query().empty());
}
