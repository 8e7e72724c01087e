// The walk over what a group read returns, with events laid out as the
// kernel does: one with a file handle is padded to 4 bytes only.
#include "recall/fanotify_seam.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An event of `mask`; with `handleBytes` >= 0 an FID record whose handle
// holds that many bytes, the first of them the mask's low byte.
std::string event(uint64_t mask, int handleBytes) {
  const size_t info = handleBytes < 0 ? 0 : (sizeof(fanotify_event_info_fid) + 8 + handleBytes + 3) / 4 * 4;
  fanotify_event_metadata m{static_cast<uint32_t>(sizeof m + info), FANOTIFY_METADATA_VERSION, 0,
                            sizeof m, mask, FAN_NOFD, 0};
  std::string out(reinterpret_cast<const char*>(&m), sizeof m);
  if (handleBytes < 0) return out;
  const fanotify_event_info_fid fid{{FAN_EVENT_INFO_TYPE_FID, 0, static_cast<uint16_t>(info)}, {}};
  const uint32_t head[2] = {static_cast<uint32_t>(handleBytes), 1};  // handle_bytes, handle_type
  out.append(reinterpret_cast<const char*>(&fid), sizeof fid).append(reinterpret_cast<const char*>(head), 8);
  out.append(static_cast<size_t>(handleBytes), static_cast<char>(mask));
  return out.append(sizeof m + info - out.size(), '\0');
}

// "mask/handle bytes/first handle byte" of each event walked, from aligned
// storage as the daemon reads (so only events after the first can be
// misaligned; the sanitizer build reports a misaligned access).
std::string walk(const std::string& bytes) {
  alignas(fanotify_event_metadata) char buf[4096];
  memcpy(buf, bytes.data(), bytes.size());
  std::string seen;
  fan::forEachEvent(buf, static_cast<ssize_t>(bytes.size()), [&](const fanotify_event_metadata* m) {
    const file_handle* h = fan::fidHandle(m);
    seen += std::to_string(m->mask) + "/" + (h ? std::to_string(h->handle_bytes) + "/" +
                                                     std::to_string(static_cast<int>(h->f_handle[0]))
                                               : "-") + " ";
  });
  return seen;
}

TEST(ForEachEventTest, EveryWholeEventIsReadWithItsHandle) {
  const std::string a = event(FAN_ATTRIB, 8), b = event(FAN_MODIFY, 12), c = event(FAN_ATTRIB, 20);
  ASSERT_EQ(4u, a.size() % 8) << "the first event must leave the next one misaligned";
  const struct {
    std::string bytes, seen;
  } cases[] = {
      {a + b + c, "4/8/4 2/12/2 4/20/4 "},
      {event(FAN_MODIFY, -1) + event(FAN_CLOSE_WRITE, -1), "2/- 8/- "},
      {a + b.substr(0, b.size() - 4), "4/8/4 "},  // a torn last event is left out
      {a + b.substr(0, 10), "4/8/4 "},            // and so is a torn header
  };
  for (const auto& k : cases) EXPECT_EQ(k.seen, walk(k.bytes));
}

}  // namespace
