#include "zefserver/admission.h"

#include <algorithm>

namespace zef {

std::string sourceOf(const std::string& peer) {
  std::string host = peer.substr(0, peer.rfind(':'));
  static const std::string kMapped = "::ffff:";
  if (host.rfind(kMapped, 0) == 0 && host.find('.') != std::string::npos) host.erase(0, kMapped.size());
  return host;
}

Admission decideAdmission(const std::vector<Unsigned>& pending, const std::string& source, bool known,
                          size_t perSource, size_t total) {
  Admission a;
  size_t mine = static_cast<size_t>(
      std::count_if(pending.begin(), pending.end(), [&](const Unsigned& u) { return u.source == source; }));
  if (mine >= perSource) return a.why = "too many connections from its address not signed on", a;
  a.admit = true;
  if (pending.size() < total) return a;
  for (size_t i = 0; i < pending.size(); ++i) {
    const Unsigned& u = pending[i];
    if (u.known || (!known && u.sentSignOn)) continue;
    if (!a.evict || u.since < pending[*a.evict].since) a.evict = i;
  }
  if (!a.evict) {
    a.admit = false;
    a.why = "too many connections not signed on";
  }
  return a;
}

void KnownSources::remember(const std::string& source) {
  std::lock_guard<std::mutex> g(mu_);
  if (seen_.size() >= kMax && !seen_.count(source)) {
    auto oldest = std::min_element(seen_.begin(), seen_.end(),
                                   [](const auto& x, const auto& y) { return x.second < y.second; });
    seen_.erase(oldest);
  }
  seen_[source] = AdmClock::now();
}

bool KnownSources::known(const std::string& source) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = seen_.find(source);
  if (it == seen_.end()) return false;
  if (AdmClock::now() - it->second > std::chrono::hours(24)) {
    seen_.erase(it);
    return false;
  }
  return true;
}

std::list<CheckQueue::Waiter>::iterator CheckQueue::chosen(AdmClock::time_point now) {
  auto best = waiting_.end();
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    const Source& s = sources_[it->source];
    if (s.checking || s.notBefore > now || (!it->known && unknownChecking_ >= unknownMax_)) continue;
    if (best == waiting_.end()) {
      best = it;
      continue;
    }
    const Source& b = sources_[best->source];
    if (it->known != best->known) {
      if (it->known) best = it;
    } else if (s.lastServed != b.lastServed) {
      if (s.lastServed < b.lastServed) best = it;
    }  // same standing: the earlier arrival (already `best`) keeps its turn
  }
  return best;
}

bool CheckQueue::enter(const std::string& source, bool known, AdmClock::time_point deadline) {
  std::unique_lock<std::mutex> l(mu_);
  forgetQuietSources();
  auto me = waiting_.insert(waiting_.end(), Waiter{source, known, ++seq_});
  for (;;) {
    auto now = AdmClock::now();
    if (free_ > 0 && chosen(now) == me) break;
    if (now >= deadline) {
      waiting_.erase(me);
      cv_.notify_all();  // the choice among the others may have changed
      return false;
    }
    // Wake for the deadline or when a waiting source's delay ends; a check
    // ending notifies.
    auto wake = deadline;
    for (const Waiter& w : waiting_) {
      auto nb = sources_[w.source].notBefore;
      if (nb > now && nb < wake) wake = nb;
    }
    cv_.wait_until(l, wake);
  }
  waiting_.erase(me);
  --free_;
  Source& s = sources_[source];
  s.checking = true;
  s.checkingUnknown = !known;
  unknownChecking_ += !known;
  s.lastServed = ++served_;
  return true;
}

std::chrono::milliseconds CheckQueue::leave(const std::string& source, bool refused, unsigned baseMs) {
  using namespace std::chrono;
  milliseconds delay{0};
  {
    std::lock_guard<std::mutex> g(mu_);
    ++free_;
    Source& s = sources_[source];
    s.checking = false;
    unknownChecking_ -= s.checkingUnknown;
    s.checkingUnknown = false;
    auto now = AdmClock::now();
    if (refused) {
      if (s.refusals && now - s.lastRefusal > minutes(10)) s.refusals = 0;
      s.refusals = std::min(s.refusals + 1, 5u);
      s.lastRefusal = now;
      delay = milliseconds(static_cast<int64_t>(baseMs) << (s.refusals - 1));
      s.notBefore = now + delay;
    }
  }
  cv_.notify_all();
  return delay;
}

// Keeps the table bounded under addresses that rotate: a source no one
// waits for and whose delay has passed carries nothing worth keeping but its
// refusal count, and the quietest ones lose that first.
void CheckQueue::forgetQuietSources() {
  if (sources_.size() < kMaxSources) return;
  auto now = AdmClock::now();
  std::vector<std::map<std::string, Source>::iterator> idle;
  for (auto it = sources_.begin(); it != sources_.end(); ++it) {
    if (it->second.checking || it->second.notBefore > now) continue;
    bool waits = std::any_of(waiting_.begin(), waiting_.end(), [&](const Waiter& w) { return w.source == it->first; });
    if (!waits) idle.push_back(it);
  }
  std::sort(idle.begin(), idle.end(), [](const auto& x, const auto& y) {
    return std::max(x->second.lastRefusal, x->second.notBefore) < std::max(y->second.lastRefusal, y->second.notBefore);
  });
  for (size_t i = 0; i < idle.size() && i < kMaxSources / 4; ++i) sources_.erase(idle[i]);
}

}  // namespace zef
