#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowlatency/EndpointChoice.h"

using ORVO::Media::EndpointChoice;

TEST(EndpointChoice, TheDefaultStandsInForAChosenEndpointOncePerLossAndTheChosenOneIsRetriedEverySecond) {
  EndpointChoice none(L"");
  EXPECT_EQ(none.candidates(), std::vector<std::wstring>{std::wstring()});
  EXPECT_FALSE(none.opened(0, 0)) << "the default is no fallback without a choice";
  EXPECT_FALSE(none.retryDue(60000));

  const uint64_t retry = EndpointChoice::kRetryMs;
  EndpointChoice chosen(L"{0.0.0.00000000}.{b}");
  EXPECT_EQ(chosen.candidates(), (std::vector<std::wstring>{L"{0.0.0.00000000}.{b}", std::wstring()}));
  EXPECT_FALSE(chosen.opened(0, 100));
  EXPECT_FALSE(chosen.retryDue(100 + 5 * retry)) << "nothing to retry while the chosen endpoint plays";

  EXPECT_TRUE(chosen.opened(1, 1000)) << "the default takes over: the host is told";
  EXPECT_TRUE(chosen.standingIn());
  EXPECT_FALSE(chosen.opened(1, 1200)) << "the default reopened after a loss of its own is the same fallback";
  EXPECT_FALSE(chosen.retryDue(1000 + retry - 1));
  EXPECT_TRUE(chosen.retryDue(1000 + retry));
  EXPECT_FALSE(chosen.retryDue(1000 + retry + 1)) << "one try per interval";
  EXPECT_TRUE(chosen.retryDue(1000 + 2 * retry + 300));

  EXPECT_FALSE(chosen.opened(0, 4000)) << "back on the chosen endpoint";
  EXPECT_FALSE(chosen.standingIn());
  EXPECT_FALSE(chosen.retryDue(4000 + 5 * retry));
  EXPECT_TRUE(chosen.opened(1, 20000)) << "lost again: a second fallback, told again";
  EXPECT_FALSE(chosen.retryDue(20000 + retry - 1)) << "the interval counts from the fallback";
}
