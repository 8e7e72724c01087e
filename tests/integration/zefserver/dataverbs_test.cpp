// zefserverd's object data: stores and reads over the data verbs, what the
// data directory holds afterwards, refusals that keep nothing, another
// node's objects, damaged data, collection of unnamed files, and zefadm's
// verify and stored-bytes listing. The client is the test's own bytes
// (tests/support/data_verbs.h), not the client's codec.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/data_verbs.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/verb_client.h"
#include "tests/support/zef_server.h"

namespace {

using kmrtest::Bytes;
using kmrtest::ReceivedVerb;
using kmrtest::VerbClient;

const char* const kPass1 = "data node one";
const char* const kPass2 = "data node two";

Bytes sha256(const Bytes& data) {
  Bytes d(32);
  crypto_hash_sha256(d.data(), data.data(), data.size());
  return d;
}

// A regular-file attribute block (major 8, minor 9, Linux, ORCA).
Bytes attrBlock(uint64_t size) {
  Bytes b = {8, 9, 22, 0, 114, 7, 39, 1};
  b.resize(136, 0);
  kmrtest::put32(b, 8, static_cast<uint32_t>(size >> 32));
  kmrtest::put32(b, 12, static_cast<uint32_t>(size));
  kmrtest::put16(b, 16, 1);
  b[18] = 2 << 3;
  kmrtest::put32(b, 22, 0100644);
  return b;
}

struct Resp {
  uint8_t result = 0xFF;
  Bytes id;
  uint64_t size = 0;
  Bytes sha;
};

Resp decodeResp(const ReceivedVerb& v) {
  Resp r;
  EXPECT_EQ(v.code, 0xC3);
  EXPECT_EQ(v.b.size(), 73u);
  if (v.b.size() != 73) return r;
  r.result = v.b[4];
  r.id.assign(v.b.begin() + 5, v.b.begin() + 33);
  r.size = kmrtest::be64(v.b, 33);
  r.sha.assign(v.b.begin() + 41, v.b.end());
  return r;
}

// Chunks of at most 32756 bytes, in order.
std::vector<Bytes> chunks(const Bytes& data, size_t piece = 32756) {
  std::vector<Bytes> out;
  for (size_t at = 0; at < data.size(); at += piece)
    out.push_back(kmrtest::dataChunkVerb(at, Bytes(data.begin() + static_cast<long>(at),
                                                   data.begin() + static_cast<long>(std::min(data.size(), at + piece)))));
  return out;
}

class DataVerbsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
  void SetUp() override {
    db_ = dir_.file("zef.db");
    data_ = dir_.file("data");
    std::string out;
    ASSERT_TRUE(kmrtest::registerNode(db_, "node1", kPass1, &out)) << out;
    ASSERT_TRUE(kmrtest::registerNode(db_, "node2", kPass2, &out)) << out;
    ASSERT_EQ(kmrtest::zefadm(db_, "add-filespace node1 /orca/fs1", &out), 0) << out;  // id 1
    ASSERT_EQ(kmrtest::zefadm(db_, "add-filespace node2 /orca/fs1", &out), 0) << out;  // id 2
    start();
  }
  void start(const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(server_.start({db_, dir_.file("server.log"), options, {}}))
        << kmrtest::readFile(dir_.file("server.log"));
  }
  // A pipelined batch: every store of `datas` (paths /p0, /p1, ...; the one
  // at `badSha` with a digest that is not its data's) sent with the "flush
  // follows" flag, then DataFlush, all in one write; the answers in order
  // (fewer when the connection closes).
  std::vector<Resp> batch(VerbClient& c, const std::vector<Bytes>& datas, size_t badSha = SIZE_MAX) {
    Bytes all;
    for (size_t i = 0; i < datas.size(); ++i) {
      std::vector<Bytes> verbs = {kmrtest::dataPutVerb(1, datas[i].size(), kmrtest::str("/p" + std::to_string(i)),
                                                       attrBlock(datas[i].size()), 0x01)};
      for (Bytes& v : chunks(datas[i])) verbs.push_back(std::move(v));
      verbs.push_back(kmrtest::dataPutEndVerb(i == badSha ? sha256(Bytes(1)) : sha256(datas[i])));
      for (const Bytes& v : verbs) all.insert(all.end(), v.begin(), v.end());
    }
    Bytes flush = kmrtest::dataFlushVerb();
    all.insert(all.end(), flush.begin(), flush.end());
    c.send(all);
    std::vector<Resp> answers;
    for (size_t i = 0; i < datas.size(); ++i) {
      auto v = c.recv();
      if (!v) break;
      answers.push_back(decodeResp(*v));
    }
    return answers;
  }
  std::unique_ptr<VerbClient> client(const std::string& node = "NODE1", const char* pass = kPass1) {
    auto c = std::make_unique<VerbClient>(static_cast<uint16_t>(server_.port()));
    EXPECT_TRUE(c->signOn(node, pass));
    return c;
  }
  // Stores `data` in file space `fsId` with `put` chunks and `end`; the answer.
  Resp store(VerbClient& c, uint32_t fsId, const Bytes& data, const std::string& path = "/a/f",
             std::vector<Bytes> put = {}, Bytes sha = {}) {
    c.send(kmrtest::dataPutVerb(fsId, data.size(), kmrtest::str(path), attrBlock(data.size())));
    if (put.empty()) put = chunks(data);
    for (const Bytes& v : put) c.send(v);
    c.send(kmrtest::dataPutEndVerb(sha.empty() ? sha256(data) : sha));
    auto v = c.recv();
    EXPECT_TRUE(v) << "connection closed";
    return v ? decodeResp(*v) : Resp{};
  }
  // Reads [offset, offset+length) with DataGet `flags`: the bytes of the
  // chunks and the answer; `sizes` gets each chunk's byte count (negative
  // for one in the short form).
  Resp read(VerbClient& c, const Bytes& id, uint64_t offset, uint64_t length, Bytes* bytes, uint32_t flags = 0,
            std::vector<long>* sizes = nullptr) {
    c.send(kmrtest::dataGetVerb(id, offset, length, flags));
    bytes->clear();
    for (;;) {
      auto v = c.recv();
      EXPECT_TRUE(v) << "connection closed";
      if (!v) return Resp{};
      if (v->code != 0xC1) return decodeResp(*v);
      const size_t head = v->b[2] == 0x08 ? 12 : 4;
      EXPECT_EQ(kmrtest::be64(v->b, head), offset + bytes->size()) << "chunk out of order";
      const long n = static_cast<long>(v->b.size() - head - 8);
      if (sizes) sizes->push_back(head == 12 ? n : -n);
      bytes->insert(bytes->end(), v->b.begin() + static_cast<long>(head) + 8, v->b.end());
    }
  }
  // The names in the data directory, sorted, without the lock file.
  std::vector<std::string> dataFiles() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(data_))
      if (e.path().filename() != ".lock") names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string adm(const std::string& args, int expected = 0) {
    std::string out;
    EXPECT_EQ(kmrtest::zefadm(db_, args, &out), expected) << out;
    return out;
  }

  kmrtest::ScratchDir dir_{"zefdata"};
  std::string db_, data_;
  kmrtest::ZefServer server_;
};

TEST_F(DataVerbsTest, StoredBytesComeBackWholeAndInAnyRangeToTheirNodeAloneAndLieInOneFileOfTheirOwn) {
  auto c = client();
  auto other = client("NODE2", kPass2);
  struct Case {
    size_t size;
    uint64_t offset, length;  // a range read besides the whole object
  };
  // The server reads 32 chunks' worth at a time: the last case crosses that.
  const Case cases[] = {{0, 0, 10},          {1, 0, 1},           {32756, 100, 32756},
                        {32757, 32756, 5},   {100000, 99990, 1000}, {70000, 80000, 10},
                        {32 * 32756 + 5, 32 * 32756 - 3, 10}};
  for (const Case& k : cases) {
    SCOPED_TRACE("size " + std::to_string(k.size));
    Bytes data = kmrtest::counting(k.size, static_cast<uint8_t>(k.size));
    for (size_t i = 0; i < data.size(); i += 7) data[i] ^= static_cast<uint8_t>(i >> 8);
    Resp put = store(*c, 1, data);
    ASSERT_EQ(put.result, 0);
    EXPECT_EQ(put.size, k.size);
    EXPECT_EQ(put.sha, sha256(data));
    c->send(kmrtest::dataInfoVerb(put.id));
    Resp info = decodeResp(*c->recv());
    EXPECT_EQ(info.size, k.size);
    EXPECT_EQ(info.sha, sha256(data));
    Bytes got;
    EXPECT_EQ(read(*other, put.id, 0, UINT64_MAX, &got).result, 2) << "another node reads it";
    EXPECT_TRUE(got.empty());
    other->send(kmrtest::dataInfoVerb(put.id));
    EXPECT_EQ(decodeResp(*other->recv()).result, 2) << "another node learns its size";
    Resp whole = read(*c, put.id, 0, UINT64_MAX, &got);
    EXPECT_EQ(whole.result, 0);
    EXPECT_EQ(got, data);
    Resp part = read(*c, put.id, k.offset, k.length, &got);
    EXPECT_EQ(part.result, 0);
    const size_t from = std::min<size_t>(k.offset, k.size), to = std::min<size_t>(k.size, k.offset + k.length);
    EXPECT_EQ(got, Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to)));
    // The object number is bytes 8-15 of the id; its file is named by it.
    char name[17];
    snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(kmrtest::be64(put.id, 8)));
    struct stat st {};
    ASSERT_EQ(stat((data_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(kmrtest::readFile(data_ + "/" + name), kmrtest::text(data));
  }
  struct stat st {};
  ASSERT_EQ(stat(data_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(dataFiles().size(), std::size(cases)) << "no temporaries left";
  EXPECT_NE(adm("list-filespaces")
                .find("7 objects\t" + std::to_string(0 + 1 + 32756 + 32757 + 100000 + 70000 + 32 * 32756 + 5) +
                      " bytes stored"),
            std::string::npos);
  EXPECT_NE(adm("verify").find("7 objects verified, 7 good, 0 missing or damaged"), std::string::npos);
}

TEST_F(DataVerbsTest, ExtendedChunksOfAMebibyteMixedWithShortOnesStoreExactlyTheirBytes) {
  auto c = client();
  const size_t mib = 1 << 20;
  Bytes data = kmrtest::counting(2 * mib + 30000, 5);
  for (size_t i = 0; i < data.size(); i += 4093) data[i] ^= static_cast<uint8_t>(i >> 12);
  auto piece = [&](size_t from, size_t n) {
    return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + n));
  };
  std::vector<Bytes> put = {kmrtest::dataChunkExtVerb(0, piece(0, mib)), kmrtest::dataChunkVerb(mib, piece(mib, 30000)),
                            kmrtest::dataChunkExtVerb(mib + 30000, piece(mib + 30000, mib))};
  Resp r = store(*c, 1, data, "/big", put);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.sha, sha256(data));
  ASSERT_EQ(dataFiles().size(), 1u);
  EXPECT_EQ(kmrtest::readFile(data_ + "/" + dataFiles()[0]), kmrtest::text(data));
}

TEST_F(DataVerbsTest, LargeChunkReadsCutTheRangeAtMebibytesAndUnknownFlagsOrAShortFileAreRefused) {
  auto c = client();
  const long mib = 1 << 20;
  Bytes data = kmrtest::counting(2 * mib + 5, 3);
  for (size_t i = 0; i < data.size(); i += 4093) data[i] ^= static_cast<uint8_t>(i >> 12);
  Resp put = store(*c, 1, data);
  ASSERT_EQ(put.result, 0);
  struct Case {
    uint32_t flags;  // 0x01 alone: read and hashed here; 0x03: sent from the file unread
    uint64_t offset, length;
    std::vector<long> sizes;
  };
  const Case cases[] = {{0x01, 0, UINT64_MAX, {mib, mib, 5}},
                        {0x03, 0, UINT64_MAX, {mib, mib, 5}},
                        {0x03, mib - 1, mib + 2, {mib, 2}},
                        {0x01, 2 * mib, 100, {5}}};
  for (const Case& k : cases) {
    Bytes got;
    std::vector<long> sizes;
    EXPECT_EQ(read(*c, put.id, k.offset, k.length, &got, k.flags, &sizes).result, 0) << k.offset;
    const size_t to = std::min<size_t>(data.size(), k.offset + k.length);
    EXPECT_EQ(got, Bytes(data.begin() + static_cast<long>(k.offset), data.begin() + static_cast<long>(to)));
    EXPECT_EQ(sizes, k.sizes) << "flags " << k.flags << " offset " << k.offset;
  }
  Bytes got;
  std::vector<long> sizes;
  EXPECT_EQ(read(*c, put.id, 0, UINT64_MAX, &got, 0x05, &sizes).result, 34) << "a flag the server does not know";
  EXPECT_TRUE(sizes.empty());
  kmrtest::writeFile(data_ + "/" + dataFiles().at(0), kmrtest::text(Bytes(data.begin(), data.end() - 1)));
  EXPECT_EQ(read(*c, put.id, 0, UINT64_MAX, &got, 0x03, &sizes).result, 39) << "a data file shorter than its record";
  EXPECT_TRUE(sizes.empty());
}

TEST_F(DataVerbsTest, PipelinedStoresAreAnsweredInOrderAndAStoreThatFailsFailsAlone) {
  server_.stop();
  start({"--fault-data-write", "/p1"});
  auto c = client();
  std::vector<Bytes> datas;
  for (uint8_t i = 0; i < 5; ++i) datas.push_back(kmrtest::counting(4096 + i * 1000, i));
  std::vector<Resp> r = batch(*c, datas, 2);
  ASSERT_EQ(r.size(), 5u);
  const uint8_t expected[] = {0, 40, 38, 0, 0};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(r[i].result, expected[i]) << "store " << i;
    if (expected[i]) continue;
    EXPECT_EQ(r[i].sha, sha256(datas[i])) << "store " << i << ": another store's answer";
    Bytes got;
    EXPECT_EQ(read(*c, r[i].id, 0, UINT64_MAX, &got).result, 0);
    EXPECT_EQ(got, datas[i]);
  }
  EXPECT_EQ(dataFiles().size(), 3u) << "the failed stores left data";
  EXPECT_NE(adm("verify").find("3 objects verified, 3 good"), std::string::npos);
}

TEST_F(DataVerbsTest, ABatchThatCannotBeMadeDurableAcknowledgesNothingAndKeepsNothing) {
  server_.stop();
  start({"--fault-batch-sync", "1"});
  auto c = client();
  const std::vector<Bytes> datas = {kmrtest::counting(5000, 1), kmrtest::counting(6000, 2), kmrtest::counting(7000, 3)};
  for (const Resp& r : batch(*c, datas)) EXPECT_EQ(r.result, 40);
  EXPECT_TRUE(dataFiles().empty());
  EXPECT_NE(adm("list-filespaces").find("0 objects\t0 bytes stored"), std::string::npos);
  // The session goes on: the next batch is kept.
  std::vector<Resp> next = batch(*c, {datas[0]});
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].result, 0);
  EXPECT_EQ(dataFiles().size(), 1u);
}

TEST_F(DataVerbsTest, AServerKilledInsideABatchAnswersNothingAndLeavesNothingAfterItsRestart) {
  server_.stop();
  start({"--fault-die-in-batch", "1"});
  auto c = client();
  EXPECT_TRUE(batch(*c, {kmrtest::counting(5000, 1), kmrtest::counting(6000, 2)}).empty());
  EXPECT_EQ(dataFiles().size(), 2u) << "the batch was killed before its renames";
  server_.stop();
  start();
  EXPECT_TRUE(dataFiles().empty()) << "files of an uncommitted batch survive the restart";
  EXPECT_NE(adm("list-filespaces").find("0 objects\t0 bytes stored"), std::string::npos);
}

TEST_F(DataVerbsTest, AStoreThatCannotBeTrustedKeepsNeitherRecordNorData) {
  auto c = client();
  const Bytes data = kmrtest::counting(50000, 3);
  struct Case {
    const char* name;
    uint32_t fsId;
    std::string path;
    std::vector<Bytes> put;
    Bytes sha;
    uint8_t result;
  };
  std::vector<Bytes> shortPut = chunks(Bytes(data.begin(), data.end() - 1));
  const Case cases[] = {
      {"another node's file space", 2, "/a/f", {}, {}, 2},
      {"an unknown file space", 9, "/a/f", {}, {}, 2},
      {"an empty path", 1, "", {}, {}, 34},
      {"bytes that are not those the client read", 1, "/a/f", {}, sha256(kmrtest::counting(50000, 4)), 38},
      {"fewer bytes than declared", 1, "/a/f", shortPut, {}, 34},
  };
  for (const Case& k : cases) {
    Resp r = store(*c, k.fsId, data, k.path, k.put, k.sha);
    EXPECT_EQ(r.result, k.result) << k.name;
    EXPECT_EQ(r.id, Bytes(28, 0)) << k.name;
  }
  EXPECT_TRUE(dataFiles().empty());
  EXPECT_NE(adm("list-filespaces").find("1\tNODE1\t/orca/fs1\tORCA\t0 objects\t0 bytes stored"), std::string::npos);
}

TEST_F(DataVerbsTest, DamagedOrMissingDataIsReportedNeverServedAsGood) {
  auto c = client();
  const Bytes data = kmrtest::counting(70000, 9);
  std::vector<Resp> puts;
  for (int i = 0; i < 3; ++i) puts.push_back(store(*c, 1, data, "/f" + std::to_string(i)));
  std::vector<std::string> files = dataFiles();
  ASSERT_EQ(files.size(), 3u);
  Bytes flipped = data;
  flipped[65000] ^= 1;
  kmrtest::writeFile(data_ + "/" + files[0], kmrtest::text(flipped));
  kmrtest::writeFile(data_ + "/" + files[1], kmrtest::text(Bytes(data.begin(), data.end() - 1)));
  std::filesystem::remove(data_ + "/" + files[2]);
  for (const Resp& p : puts) {
    Bytes got;
    EXPECT_EQ(read(*c, p.id, 0, data.size(), &got).result, 39);
  }
  // A part of the flipped object that does not cover the whole is served:
  // only whole reads are checked against the digest.
  Bytes got;
  EXPECT_EQ(read(*c, puts[0].id, 0, 10, &got).result, 0);
  std::string out = adm("verify", 1);
  EXPECT_NE(out.find("damaged (SHA-256 differs)\t/f0"), std::string::npos) << out;
  EXPECT_NE(out.find("wrong size\t/f1"), std::string::npos) << out;
  EXPECT_NE(out.find("missing\t/f2"), std::string::npos) << out;
  EXPECT_NE(out.find("3 objects verified, 0 good, 3 missing or damaged"), std::string::npos) << out;
}

TEST_F(DataVerbsTest, BrokenDataExchangesEndTheSession) {
  const Bytes put = kmrtest::dataPutVerb(1, 10, kmrtest::str("/x"), attrBlock(10));
  const std::vector<std::pair<const char*, std::vector<Bytes>>> cases = {
      {"a chunk without a store", {kmrtest::dataChunkVerb(0, Bytes(4))}},
      {"an end without a store", {kmrtest::dataPutEndVerb(Bytes(32))}},
      {"a chunk at the wrong offset", {put, kmrtest::dataChunkVerb(1, Bytes(4))}},
      {"more bytes than declared", {put, kmrtest::dataChunkVerb(0, Bytes(11))}},
      {"another verb inside a store", {put, kmrtest::dataInfoVerb(Bytes(28))}},
      {"a data verb inside a transaction", {kmrtest::VerbBuilder(0x12, 4).done(), kmrtest::dataInfoVerb(Bytes(28))}},
      {"a long chunk outside a store", {kmrtest::dataChunkExtVerb(0, Bytes(40000))}},
      {"an extended chunk of more than 1 MiB",
       {kmrtest::dataPutVerb(1, 2 << 20, kmrtest::str("/x"), attrBlock(2 << 20)),
        kmrtest::dataChunkExtVerb(0, Bytes((1 << 20) + 1))}},
  };
  for (const auto& [name, verbs] : cases) {
    auto c = client();
    for (const Bytes& v : verbs) c->send(v);
    EXPECT_FALSE(c->recv().has_value()) << name;
  }
  EXPECT_TRUE(dataFiles().empty());
}

TEST_F(DataVerbsTest, FilesNoRecordNamesAreCollectedAtStartAndByGc) {
  auto c = client();
  Resp kept = store(*c, 1, kmrtest::counting(10));
  ASSERT_EQ(kept.result, 0);
  const std::string keptName = dataFiles().at(0);
  const std::vector<std::string> planted = {".put-1-2-3", "00000000000000ff"};
  for (const auto& n : planted) kmrtest::writeFile(data_ + "/" + n, "left by a crash");
  kmrtest::writeFile(data_ + "/README", "not ours");
  c.reset();
  server_.stop();
  start();
  EXPECT_EQ(dataFiles(), (std::vector<std::string>{keptName, "README"}));
  for (const auto& n : planted) kmrtest::writeFile(data_ + "/" + n, "left by a crash");
  EXPECT_NE(adm("gc").find("2 files removed (30 bytes)"), std::string::npos);
  EXPECT_EQ(dataFiles(), (std::vector<std::string>{keptName, "README"}));
}

TEST_F(DataVerbsTest, AFileLeftUnderTheNextObjectsNumberGivesWayToItsData) {
  auto c = client();
  ASSERT_EQ(store(*c, 1, kmrtest::counting(10)).result, 0);
  // Object numbers follow each other: the next store's file takes this name.
  char next[17];
  snprintf(next, sizeof next, "%016llx", std::stoull(dataFiles().at(0), nullptr, 16) + 1);
  kmrtest::writeFile(data_ + "/" + next, "left by a batch that failed");
  const Bytes data = kmrtest::counting(5000, 7);
  Resp put = store(*c, 1, data);
  ASSERT_EQ(put.result, 0);
  EXPECT_EQ(kmrtest::readFile(data_ + "/" + next), kmrtest::text(data));
}

}  // namespace
