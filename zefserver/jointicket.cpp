#include "zefserver/jointicket.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace zef {

JoinTicket JoinTickets::issue(const std::string& node, const std::string& source, Clock::time_point now) {
  if (sodium_init() < 0) throw std::runtime_error("the random source cannot start");
  Entry e{{}, node, source, now};
  randombytes_buf(e.bytes.data(), e.bytes.size());
  std::lock_guard<std::mutex> g(mu_);
  if (kept_.size() >= kMaxTickets) kept_.erase(kept_.begin());
  kept_.push_back(e);
  return e.bytes;
}

bool JoinTickets::redeem(const std::string& node, const std::string& source, std::span<const uint8_t> ticket,
                         Clock::time_point now) {
  if (ticket.size() != kJoinTicketLen) return false;
  std::lock_guard<std::mutex> g(mu_);
  // Expired tickets go first, so that none of them can match.
  std::erase_if(kept_, [&](const Entry& e) { return now - e.madeAt >= kTicketLife; });
  auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Entry& e) {
    return sodium_memcmp(e.bytes.data(), ticket.data(), kJoinTicketLen) == 0;
  });
  if (it == kept_.end()) return false;
  const bool good = it->node == node && it->source == source && now >= it->madeAt;
  kept_.erase(it);
  return good;
}

}  // namespace zef
