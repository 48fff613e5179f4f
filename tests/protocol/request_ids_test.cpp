#include "protocol/request_ids.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace quillmark {
namespace {

bool AllFromAlphabet(const std::string& text) {
  return text.find_first_not_of(kIdAlphabet) == std::string::npos;
}

TEST(RequestIds, HaveTheirShapeOnTheRealClock) {
  for (int i = 0; i < 50; ++i) {
    std::string nonce = "previous content";
    std::string order = "previous content";
    MakeNonceStr(nonce);
    MakeOutTradeNo(order);
    ASSERT_EQ(nonce.size(), 32u) << nonce;
    ASSERT_TRUE(AllFromAlphabet(nonce)) << nonce;
    ASSERT_EQ(order.size(), 32u) << order;
    ASSERT_TRUE(AllFromAlphabet(order)) << order;
    for (int d = 0; d < 17; ++d) {
      ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(order[static_cast<size_t>(d)]))) << order;
    }
  }
}

TEST(RequestIds, OrderNumberStartsWithZeroPaddedLocalTime) {
  struct Row {
    platform::LocalTime time;
    const char* digits;
  };
  const Row rows[] = {
      {{2026, 3, 7, 9, 5, 3, 42}, "20260307090503042"},
      {{2026, 12, 31, 23, 59, 59, 999}, "20261231235959999"},
      {{987, 1, 1, 0, 0, 0, 0}, "09870101000000000"},
  };
  for (const Row& row : rows) {
    testing::ScopedFixedClock clock(1234, row.time);
    std::string order;
    MakeOutTradeNo(order);
    EXPECT_EQ(order.substr(0, 17), row.digits);
    EXPECT_EQ(order.size(), 32u);
  }
}

// Peers reproduce a request's nonce and order number from the tick, so the draw itself is
// pinned: the characters glibc's rand() gives after srand(tick), worked out from its
// published algorithm outside the project. The generator is the C library's, so these
// hold where that library is glibc.
TEST(RequestIds, TheDrawForATickIsPinned) {
#ifndef __GLIBC__
  GTEST_SKIP() << "the pinned draws are glibc's rand()";
#endif
  struct Row {
    std::uint32_t tick;
    const char* nonce;
  };
  const Row rows[] = {
      {0, "FA37jNCchRYdSBZAYY4CbwdXs22jJZHm"},  // srand(0) seeds as srand(1)
      {777, "j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"},
      {4294967295u, "FYgVYee90oGTYjbHmdTmT0txO9jxdIyS"},
  };
  for (const Row& row : rows) {
    testing::ScopedFixedClock clock(row.tick, {2026, 3, 7, 9, 5, 3, 42});
    std::string nonce, order;
    MakeNonceStr(nonce);
    MakeOutTradeNo(order);
    EXPECT_EQ(nonce, row.nonce) << "tick " << row.tick;
    EXPECT_EQ(order, "20260307090503042" + std::string(row.nonce, 15)) << "tick " << row.tick;
  }
}

TEST(RequestIds, SameTickGivesSameDrawDifferentTicksDiffer) {
  std::string a, b, order, other;
  {
    testing::ScopedFixedClock clock(5000, {2026, 1, 2, 3, 4, 5, 6});
    MakeNonceStr(a);
    MakeNonceStr(b);
    MakeOutTradeNo(order);
  }
  EXPECT_EQ(a, b);
  // Both generators reseed from the tick, so the order number's 15 drawn characters are
  // the nonce's first 15.
  EXPECT_EQ(order.substr(17), a.substr(0, 15));
  {
    testing::ScopedFixedClock clock(5016, {2026, 1, 2, 3, 4, 5, 6});
    MakeNonceStr(other);
  }
  EXPECT_NE(a, other);
}

}  // namespace
}  // namespace quillmark
