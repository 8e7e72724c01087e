// The client's sign-on over TLS against zefserverd, and against whoever
// listens on the server's port while the server is down: a stranger's
// zefserverd with a certificate of its own, or one without TLS. The stored
// password goes only to the pinned server, and only that server's refusal
// removes it. Sessions of this process, a server on a loopback port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "server/session.h"
#include "tests/support/catalog_env.h"
#include "tests/support/no_terminal.h"
#include "tests/support/node_password.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_cert.h"
#include "tests/support/zef_server.h"

KMR_REGISTER_CATALOG_ENVIRONMENT()

namespace {

const std::string kNode = "TLSNODE", kPassword = "tls Pa55word";

struct SessionDeleter {
  void operator()(Sess_o* s) const { delete_SessionObject(s); }
};

class TlsSignOn : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_TRUE(kmrtest::makeTestCert(dir_.path(), "zefserver", &real_, &out)) << out;
    ASSERT_TRUE(kmrtest::makeTestCert(dir_.path(), "stranger", &stranger_, &out)) << out;
    ASSERT_TRUE(kmrtest::registerNode(dir_.file("zef.db"), kNode, kPassword, &out)) << out;
    // The stranger's server knows the node too, with another password.
    ASSERT_TRUE(kmrtest::registerNode(dir_.file("stranger.db"), kNode, "not the password", &out)) << out;
  }
  // Starts the real server or the stranger's on a port of its own.
  void serve(kmrtest::ZefServer& server, bool stranger, bool tls) {
    std::vector<std::string> options;
    const kmrtest::TestCert& cert = stranger ? stranger_ : real_;
    if (tls) options = {"--tls-cert", cert.cert, "--tls-key", cert.key};
    const std::string name = stranger ? "stranger" : "zef";
    unlink(dir_.file(name + ".log").c_str());  // each row reads its own server's lines
    ASSERT_TRUE(server.start({dir_.file(name + ".db"), dir_.file(name + ".log"), options, {}}))
        << kmrtest::readFile(dir_.file(name + ".log"));
  }
  SessionConfig config(const std::string& stanza, uint16_t port, bool ssl, const std::string& pin) {
    SessionConfig c;
    c.tcp.port = port;
    c.tcp.connectAttempts = 1;
    c.tcp.ssl = ssl;
    c.tcp.serverPin = pin;
    c.serverStanza = stanza;
    c.nodeName = kNode;
    c.passwordAccess = 1;
    c.passwordDir = dir_.file("pw");
    c.commRestartDuration = 0;
    return c;
  }
  kmrtest::ScratchDir dir_{"kmrtls"};
  kmrtest::TestCert real_, stranger_;
};

// Each row signs on once with a stored password under a stanza of its own
// and looks at the store, the terminal and what the server at the port saw.
TEST_F(TlsSignOn, TheStoredPasswordGoesOnlyToThePinnedServerAndOnlyItsRefusalRemovesIt) {
  kmrtest::StdinWithoutTerminal nobodyToAsk;
  struct Case {
    const char* what;
    bool stranger, tls, ssl;
    std::string pin, stored;
    int rc;
    bool storeKept;
    const char* terminal;  // a message that must be on standard error
    const char* serverLog;  // what the server's log must show ("" nothing of the node)
  };
  const Case cases[] = {
      {"pinned server, pin by file", false, true, true, real_.cert, kPassword, 0, true, "", "node TLSNODE ended"},
      {"pinned server, pin by fingerprint", false, true, true, real_.pin, kPassword, 0, true, "", "node TLSNODE ended"},
      {"pinned server refuses the stored password", false, true, true, real_.pin, "stale", 51, false, "BQF9781E",
       "sign-on refused for node TLSNODE"},
      {"a stranger with its own certificate", true, true, true, real_.pin, kPassword, -50, true, "BQF9784E", ""},
      {"a stranger without TLS, SSL NO", true, false, false, "", kPassword, 51, true, "BQF9782W",
       "sign-on refused for node TLSNODE (wrong password)"},
      {"SSL YES without a pin", false, true, true, "", kPassword, -50, true, "BQF9786E", ""},
  };
  int row = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string stanza = "ROW" + std::to_string(++row);
    ASSERT_TRUE(kmrtest::writeClientStore(dir_.file("pw"), stanza, kNode, k.stored));
    const std::string storeBefore = kmrtest::readFile(dir_.file("pw/kmr.pwd"));
    struct stat before {};
    ASSERT_EQ(stat(dir_.file("pw/kmr.pwd").c_str(), &before), 0);
    kmrtest::ZefServer server;
    serve(server, k.stranger, k.tls);
    SessionConfig c = config(stanza, static_cast<uint16_t>(server.port()), k.ssl, k.pin);
    std::unique_ptr<Sess_o, SessionDeleter> s(new_SessionObject(&c, 1));
    testing::internal::CaptureStderr();
    const int rc = Logon(s.get());
    const std::string terminal = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, k.rc) << terminal;
    if (rc == 0) {
      EXPECT_TRUE(IsConnected(s.get())) << "the TLS session is alive after the sign-on";
    }
    Logoff(s.get());
    EXPECT_EQ(server.stop(), 0);
    const std::string log = kmrtest::readFile(dir_.file(std::string(k.stranger ? "stranger" : "zef") + ".log"));
    struct stat after {};
    ASSERT_EQ(stat(dir_.file("pw/kmr.pwd").c_str(), &after), 0);
    if (k.storeKept) {
      EXPECT_EQ(kmrtest::readFile(dir_.file("pw/kmr.pwd")), storeBefore);
      EXPECT_EQ(after.st_ino, before.st_ino) << "the store was rewritten";
    } else {
      EXPECT_EQ(kmrtest::readFile(dir_.file("pw/kmr.pwd")).find(stanza), std::string::npos);
    }
    EXPECT_NE(terminal.find(k.terminal), std::string::npos) << terminal;
    if (*k.serverLog) {
      EXPECT_NE(log.find(k.serverLog), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("node TLSNODE"), std::string::npos) << "no sign-on reached the server:\n" << log;
    }
  }
}

}  // namespace
