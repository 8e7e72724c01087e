// The walk over the events a group read returns: events with file handles
// are padded to 4 bytes only, so every case lays its events out as the
// kernel does and checks what each one is read as.
#include "recall/fanotify_seam.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One event as the kernel lays it out: metadata, then (with `handleBytes`)
// an FID record whose handle is `handleBytes` long, padded to 4 bytes.
std::string event(uint64_t mask, int handleBytes) {
  const size_t info = handleBytes < 0 ? 0 : (sizeof(fanotify_event_info_fid) + 8 + handleBytes + 3) / 4 * 4;
  fanotify_event_metadata m{};
  m.event_len = static_cast<uint32_t>(sizeof m + info);
  m.vers = FANOTIFY_METADATA_VERSION;
  m.metadata_len = sizeof m;
  m.mask = mask;
  m.fd = FAN_NOFD;
  std::string out(reinterpret_cast<const char*>(&m), sizeof m);
  if (handleBytes < 0) return out;
  fanotify_event_info_fid fid{};
  fid.hdr.info_type = FAN_EVENT_INFO_TYPE_FID;
  fid.hdr.len = static_cast<uint16_t>(info);
  out.append(reinterpret_cast<const char*>(&fid), sizeof fid);
  const uint32_t head[2] = {static_cast<uint32_t>(handleBytes), 1};  // handle_bytes, handle_type
  out.append(reinterpret_cast<const char*>(head), sizeof head);
  for (int i = 0; i < handleBytes; ++i) out.push_back(static_cast<char>(mask + i));
  out.resize(sizeof m + info, '\0');
  return out;
}

struct Seen {
  uint64_t mask;
  int handleBytes;  // -1: no handle
  char firstByte;
};

std::vector<Seen> walk(const std::string& bytes) {
  // Read into aligned storage, as the daemon reads: only the events after
  // the first can be misaligned.
  alignas(fanotify_event_metadata) char buf[4096];
  memcpy(buf, bytes.data(), bytes.size());
  std::vector<Seen> seen;
  fan::forEachEvent(buf, static_cast<ssize_t>(bytes.size()), [&](const fanotify_event_metadata* m) {
    const file_handle* h = fan::fidHandle(m);
    seen.push_back({m->mask, h ? static_cast<int>(h->handle_bytes) : -1, h ? static_cast<char>(h->f_handle[0]) : '\0'});
  });
  return seen;
}

TEST(ForEachEventTest, EveryWholeEventIsReadWithItsHandle) {
  const std::string a = event(FAN_ATTRIB, 8), b = event(FAN_MODIFY, 12), c = event(FAN_ATTRIB, 20);
  ASSERT_NE(0u, a.size() % 8) << "the case needs an event padded to 4 bytes only";
  const struct {
    const char* name;
    std::string bytes;
    std::vector<uint64_t> masks;
  } cases[] = {
      {"three events, the second and third misaligned", a + b + c, {FAN_ATTRIB, FAN_MODIFY, FAN_ATTRIB}},
      {"access events without handles", event(FAN_MODIFY, -1) + event(FAN_CLOSE_WRITE, -1),
       {FAN_MODIFY, FAN_CLOSE_WRITE}},
      {"a torn last event is left out", a + b.substr(0, b.size() - 4), {FAN_ATTRIB}},
      {"a torn header is left out", a + b.substr(0, 10), {FAN_ATTRIB}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const std::vector<Seen> seen = walk(k.bytes);
    ASSERT_EQ(k.masks.size(), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(k.masks[i], seen[i].mask);
      if (seen[i].handleBytes >= 0) {
        EXPECT_EQ(static_cast<char>(seen[i].mask), seen[i].firstByte);
      }
    }
  }
  const std::vector<Seen> three = walk(a + b + c);
  EXPECT_EQ(8, three[0].handleBytes);
  EXPECT_EQ(12, three[1].handleBytes);
  EXPECT_EQ(20, three[2].handleBytes);
}

}  // namespace
