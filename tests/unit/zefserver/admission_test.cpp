#include "zefserver/admission.h"

#include <gtest/gtest.h>

namespace zef {
namespace {

// Who gets in when the places for connections not signed on are taken:
// pending connections are listed oldest first.
TEST(Admission, WhoGivesWayToANewcomer) {
  const auto t0 = AdmClock::now();
  auto at = [&](int s) { return t0 + std::chrono::seconds(s); };
  struct Case {
    const char* what;
    std::vector<Unsigned> pending;
    std::string source;
    bool known;
    size_t total;
    bool admit;
    std::optional<size_t> evict;
  };
  const Unsigned idleA{"127.1.0.1", false, false, at(1)}, idleB{"127.1.0.2", false, false, at(2)};
  const Unsigned guessA{"127.2.0.1", false, true, at(0)}, node{"127.0.0.1", true, true, at(0)};
  for (const Case& k : std::vector<Case>{
           {"room left", {idleA}, "127.9.9.9", false, 3, true, std::nullopt},
           {"fourth from one address while there is room", {idleA, idleA, idleA}, "127.1.0.1", false, 8, true, std::nullopt},
           {"fifth from one address", {idleA, idleA, idleA, idleA}, "127.1.0.1", true, 8, false, std::nullopt},
           {"full: the oldest idle gives way to an unknown newcomer", {guessA, idleB, idleA}, "127.9.9.9", false, 3, true, 2},
           {"full of guesses: an unknown newcomer is refused", {guessA, guessA, guessA}, "127.9.9.9", false, 3, false, std::nullopt},
           {"full of guesses: a known newcomer takes the oldest place", {idleB, guessA, node}, "127.0.0.1", true, 3, true, 1},
           {"full of known hosts' connections: nothing gives way", {node, node, node}, "127.0.0.2", true, 3, false, std::nullopt},
       }) {
    SCOPED_TRACE(k.what);
    Admission a = decideAdmission(k.pending, k.source, k.known, 4, k.total);
    EXPECT_EQ(a.admit, k.admit);
    EXPECT_EQ(a.evict, k.evict);
  }
}

TEST(Admission, SourceIsTheAddressWithoutPortAndMappedIPv4IsIPv4) {
  EXPECT_EQ(sourceOf("127.3.4.5:40000"), "127.3.4.5");
  EXPECT_EQ(sourceOf("::1:40000"), "::1");
  EXPECT_EQ(sourceOf("::ffff:127.0.0.1:40000"), "127.0.0.1");
}

}  // namespace
}  // namespace zef
