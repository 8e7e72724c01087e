// Who gets a connection that has not signed on yet, and in which order the
// password checks of sign-ons run, so that a flood of idle connections or
// of guesses cannot keep a node from signing on.
//
// - A source is the peer's address without its port (an IPv4 address mapped
//   into IPv6 counts as the IPv4 address).
// - A known source is one from which a node signed on in the last day: the
//   nodes' own hosts. They are served first; a guess never makes a source
//   known.
// - decideAdmission() is pure: it looks at the connections not yet signed on
//   and says whether a new one is taken and which one, if any, gives way.
// - CheckQueue runs at most `parallel` password checks at once, one per
//   source, choosing among the waiting sources: known ones first, then the
//   one served longest ago (round robin), then the earliest arrival. Checks
//   for unknown sources take at most `parallel` - 1 places, so a known
//   source never waits for a guess to finish. A
//   refused check makes its source's next check wait (base delay, doubled
//   per refusal within ten minutes, at most 16 times the base); the refused
//   connection itself is not held.
//
// Thread safety: KnownSources and CheckQueue may be used from any thread;
// decideAdmission touches only its arguments.
#ifndef KMR_ZEFSERVER_ADMISSION_H
#define KMR_ZEFSERVER_ADMISSION_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zef {

using AdmClock = std::chrono::steady_clock;

// The source of a peer named "address:port" (IPv6 in its plain text form).
std::string sourceOf(const std::string& peer);

// One connection that has not signed on.
struct Unsigned {
  std::string source;
  bool known = false;       // its source is known
  bool sentSignOn = false;  // its SignOn arrived: it waits for or is in a check
  AdmClock::time_point since;
};

struct Admission {
  bool admit = false;
  std::optional<size_t> evict;  // index into the list that gives way
  const char* why = "";         // when not admitted, for the log
};

// A new connection from `source` (`known` as above) beside `pending`:
// - refused when its source already holds `perSource` of them;
// - taken when fewer than `total` are pending;
// - otherwise the oldest pending connection of an unknown source gives way:
//   for a known newcomer any such one, for an unknown newcomer only one that
//   has not sent its SignOn (an idle flood churns among itself, a guess in
//   the queue keeps its turn); with none to give way the newcomer is refused.
Admission decideAdmission(const std::vector<Unsigned>& pending, const std::string& source, bool known,
                          size_t perSource, size_t total);

class KnownSources {
 public:
  static constexpr size_t kMax = 1024;
  void remember(const std::string& source);
  bool known(const std::string& source);

 private:
  std::mutex mu_;
  std::map<std::string, AdmClock::time_point> seen_;
};

class CheckQueue {
 public:
  static constexpr size_t kMaxSources = 4096;
  explicit CheckQueue(unsigned parallel) : free_(parallel), unknownMax_(parallel > 1 ? parallel - 1 : 1) {}
  // Waits for this source's turn. False when `deadline` came first (the
  // caller then ends the connection without a check).
  bool enter(const std::string& source, bool known, AdmClock::time_point deadline);
  // Ends the check that enter() began. A refusal delays the source's next
  // check; returns that delay (zero when accepted).
  std::chrono::milliseconds leave(const std::string& source, bool refused, unsigned baseMs);

 private:
  struct Waiter {
    std::string source;
    bool known;
    uint64_t seq;
  };
  struct Source {
    AdmClock::time_point notBefore{};
    AdmClock::time_point lastRefusal{};
    unsigned refusals = 0;
    uint64_t lastServed = 0;
    bool checking = false;
    bool checkingUnknown = false;  // the running check holds an unknown source's place
  };
  // The waiter whose turn it is now, or end().
  std::list<Waiter>::iterator chosen(AdmClock::time_point now);
  void forgetQuietSources();

  std::mutex mu_;
  std::condition_variable cv_;
  unsigned free_;
  const unsigned unknownMax_;
  unsigned unknownChecking_ = 0;
  uint64_t seq_ = 0, served_ = 0;
  std::list<Waiter> waiting_;
  std::map<std::string, Source> sources_;
};

}  // namespace zef

#endif
