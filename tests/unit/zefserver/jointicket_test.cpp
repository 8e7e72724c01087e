// Join tickets on the server's side: how long and how many are kept.
#include "zefserver/jointicket.h"

#include <gtest/gtest.h>

namespace {

using zef::JoinTickets;

TEST(JoinTickets, AreKeptForTheirLifeAndTheNewestOnesOnly) {
  const auto t0 = JoinTickets::Clock::time_point{} + std::chrono::hours(1);
  const auto life = JoinTickets::kTicketLife;
  struct Case { std::chrono::seconds age; size_t madeAfter; bool good; };
  for (const Case& k : {Case{life - std::chrono::seconds(1), 0, true}, Case{life, 0, false},
                        Case{{}, JoinTickets::kMaxTickets - 1, true}, Case{{}, JoinTickets::kMaxTickets, false}}) {
    JoinTickets tickets;
    const zef::JoinTicket t = tickets.issue("NODE1", "127.0.0.1", t0);
    for (size_t i = 0; i < k.madeAfter; ++i) tickets.issue("NODE1", "127.0.0.1", t0);
    EXPECT_EQ(tickets.redeem("NODE1", "127.0.0.1", t, t0 + k.age), k.good) << k.age.count() << " " << k.madeAfter;
  }
}

}  // namespace
