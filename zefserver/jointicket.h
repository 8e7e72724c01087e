// JoinTickets: one-time secrets that let a second session of a client join
// the node a first session proved with its password, without a second
// password check (an Argon2id check costs 64 MiB and a fifth of a second of
// CPU; a migration opens two sessions, one for data, one for records).
//
// A ticket is handed out only to a session that signed on with the node's
// password and asked for one (docs/protocol.md, "Joining a signed-on node").
// It is 32 random bytes, so it cannot be guessed; it is good once (redeem()
// removes it whatever the outcome, so a ticket shown from the wrong place
// is gone too), for `kTicketLife` after it was made, for the node and the
// source address it was made for. At most `kMaxTickets` are kept; a new one
// pushes out the oldest. Tickets live only in this process's memory and
// never reach the log or the database.
//
// Contract
// - Thread-safe: sessions issue and redeem from their own threads.
// - issue() returns the new ticket's bytes; it throws std::runtime_error
//   only when the random source fails.
// - redeem() returns true exactly when `ticket` is a kept, unexpired ticket
//   made for `node` and `source`; the comparison of ticket bytes takes the
//   same time wherever they differ.
// - `now` is the caller's steady clock reading, so that tests choose it.
#ifndef KMR_ZEFSERVER_JOINTICKET_H
#define KMR_ZEFSERVER_JOINTICKET_H

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace zef {

constexpr size_t kJoinTicketLen = 32;
using JoinTicket = std::array<uint8_t, kJoinTicketLen>;

class JoinTickets {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kTicketLife{60};
  static constexpr size_t kMaxTickets = 256;

  JoinTicket issue(const std::string& node, const std::string& source, Clock::time_point now);
  bool redeem(const std::string& node, const std::string& source, std::span<const uint8_t> ticket,
              Clock::time_point now);

 private:
  struct Entry {
    JoinTicket bytes;
    std::string node, source;
    Clock::time_point madeAt;
  };
  std::mutex mu_;
  std::vector<Entry> kept_;  // oldest first
};

}  // namespace zef

#endif
