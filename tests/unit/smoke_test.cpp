#include <gtest/gtest.h>

#include "session/url.h"

TEST(Url, Smoke) {
  int s;
  std::string server, object;
  std::uint16_t port;
  ASSERT_TRUE(parseUrl("http://host:8080/x", s, server, object, port));
  EXPECT_EQ(port, 8080);
}
