// Shared by the recall tests and bench/recall_bench: stubs whose data lies
// on the bed's zefserverd, the file states as the attributes show them, and
// the daemon started as the unit starts it.
#ifndef KMR_TESTS_SUPPORT_RECALL_BED_H
#define KMR_TESTS_SUPPORT_RECALL_BED_H

#include <sodium.h>
#include <sys/xattr.h>

#include <memory>
#include <string>

#include "hsmfs/hsmattr.h"
#include "tests/integration/migundelete/e2e_support.h"
#include "tests/support/data_verbs.h"
#include "tests/support/verb_client.h"
#include "zefserver/objects.h"

namespace recalltest {

enum class State { kStub, kPremigrated, kResident };

inline State stateOf(const std::string& path) {
  char b[256];
  if (getxattr(path.c_str(), "trusted.dmapi.VOQObj", b, sizeof b) >= 0) return State::kStub;
  if (getxattr(path.c_str(), "trusted.dmapi.VOQPMig", b, sizeof b) >= 0) return State::kPremigrated;
  return State::kResident;
}

// Bytes of `size`, told apart by `seed`.
inline std::string content(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('!' + (i * 7 + seed) % 90);
  return s;
}

// The whole file; *err receives errno of a failed open or read (else 0).
inline std::string readWhole(const std::string& path, int* err = nullptr) {
  int fd = open(path.c_str(), O_RDONLY);
  std::string out;
  char buf[65536];
  ssize_t n = 0;
  while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  if (err) *err = fd < 0 || n < 0 ? errno : 0;
  if (fd >= 0) close(fd);
  return out;
}

inline int serverPort(const e2e::Bed& bed) {
  const std::string sys = kmrtest::readFile(bed.work() + "/inst/kmr.sys");
  return atoi(sys.c_str() + sys.find("TCPPORT") + 8);
}

// A session with the bed's server, signed on as its node; null if refused.
inline std::unique_ptr<kmrtest::VerbClient> signedOn(const e2e::Bed& bed) {
  auto c = std::make_unique<kmrtest::VerbClient>(static_cast<uint16_t>(serverPort(bed)));
  if (!c->signOn(e2e::Bed::kNode, e2e::Bed::kPassword)) return nullptr;
  return c;
}

// Stores `size` bytes that `piece(offset, n)` gives on the server (file space
// `fsId`) through the session `c` and makes `fs + name` a stub of them, as a
// migration leaves one: sparse, "VOQObj" in state 2, a managed region over
// the whole file. Returns an empty string on success, else what failed.
template <typename Piece>
std::string makeStub(kmrtest::VerbClient& c, const std::string& fs, uint32_t fsId, const std::string& name,
                     size_t size, Piece piece, mode_t mode = 0644) {
  zef::FileAttrs a;
  a.size = size;
  c.send(kmrtest::dataPutVerb(fsId, size, kmrtest::str(name), zef::encodeAttrBlock(a)));
  crypto_hash_sha256_state sha;
  crypto_hash_sha256_init(&sha);
  for (size_t at = 0; at < size; at += 32756) {
    const std::string p = piece(at, std::min<size_t>(32756, size - at));
    crypto_hash_sha256_update(&sha, reinterpret_cast<const uint8_t*>(p.data()), p.size());
    c.send(kmrtest::dataChunkVerb(at, kmrtest::Bytes(p.begin(), p.end())));
  }
  kmrtest::Bytes digest(32);
  crypto_hash_sha256_final(&sha, digest.data());
  c.send(kmrtest::dataPutEndVerb(digest));
  auto resp = c.recv();
  if (!resp) return "the server closed the session storing " + name;
  if (resp->b.size() != 73 || resp->b[4] != 0)
    return "the server did not store " + name + ": result " + std::to_string(resp->b.size() > 4 ? resp->b[4] : -1);
  midExtObjId_t id{};
  std::copy(resp->b.begin() + 5, resp->b.begin() + 33, id.bytes);
  const std::string path = fs + name;
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, mode);
  if (fd < 0) return "cannot make " + path;
  uint8_t rec[kVOQObjLen];
  encodeVOQObj(dmiStubInfo(id, size, 1600000000, 1600000000, false), rec);
  const uint64_t region[3] = {0, 0, DMI_REGION_STUB};
  const bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0 && fchmod(fd, mode) == 0 &&
                  fsetxattr(fd, "trusted.dmapi.VOQObj", rec, sizeof rec, 0) == 0 &&
                  fsetxattr(fd, "trusted.xdsm.regions", region, sizeof region, 0) == 0;
  close(fd);
  return ok ? "" : "cannot make " + path + " a stub";
}

// The same through a session of its own, of `data`.
inline std::string makeStub(const e2e::Bed& bed, const std::string& fs, uint32_t fsId, const std::string& name,
                            const std::string& data, mode_t mode = 0644) {
  auto c = signedOn(bed);
  return c ? makeStub(*c, fs, fsId, name, data.size(), [&](size_t at, size_t n) { return data.substr(at, n); }, mode)
           : "sign-on refused";
}

// The daemon in the foreground with the bed's options, tracing its recalls
// to `trace` (none when empty, as the unit runs it); null when it never said
// it serves a file system.
inline std::unique_ptr<e2e::Child> startDaemon(const e2e::Bed& bed, const std::string& trace) {
  e2e::RunSpec s = bed.command({});
  s.argv = {KMRRECALLD_PATH, "--foreground"};
  if (!trace.empty()) s.argv.insert(s.argv.end(), {"-TRACEFILE=" + trace, "-TRACEFLAGS=SMRECALL,SMRECALLDETAIL"});
  auto d = std::make_unique<e2e::Child>(s);
  if (!d->waitForOutput([](const std::string& out, const std::string&) { return kmrtest::contains(out, "BQF9850I"); }))
    return nullptr;
  return d;
}

}  // namespace recalltest

#endif
