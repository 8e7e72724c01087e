// The start-up sequence, run in a child process: the option record it
// leaves behind, and status 255 with the error report when it fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/cleanup.h"
#include "common/errorlog.h"
#include "common/messages.h"
#include "common/options.h"
#include "common/trace.h"
#include "tests/unit/common/options_test_support.h"

namespace {

using opttest::ChildResult;
using opttest::runChild;
using opttest::ScratchDir;

const char* kGoodSys =
    "MAXRECONCILEPROC 4\n"
    "SERVERNAME zef\n"
    "  TCPSERVERADDRESS 127.0.0.1\n"
    "  TCPPORT 1600\n";

clientOptions* g_factoryArg = nullptr;
int g_factoryResult = 0;
int factory(clientOptions* o) {
  g_factoryArg = o;
  return g_factoryResult;
}

// Starts up as the command would with the given files and arguments.
ChildResult startUp(const ScratchDir& d, std::vector<std::string> args,
                    const std::function<int()>& check = [] { return 0; }) {
  // The installation directory holds the language directories of the catalog.
  symlink(KMR_CATALOG_DIR "/EN_US", (d.path() + "/EN_US").c_str());
  return runChild([&] {
    setenv("KMR_DIR", d.path().c_str(), 1);
    setenv("KMR_LOG", d.path().c_str(), 1);
    unsetenv("KMR_CONFIG");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    smRegisterServerConnectionFactory(factory);
    smInitOptFile(static_cast<int>(args.size()), argv.data(), nullptr);
    smSysOptFile(1, nullptr);
    _exit(check());
  });
}

// Each case with its own installation and log directory.
class OptionStartUp : public ::testing::Test {
 protected:
  ScratchDir d;
};

}  // namespace

TEST_F(OptionStartUp, ReadsEverySourceInOrder) {
  d.write("kmr.sys", kGoodSys);
  d.write("kmr.opt", "TRACEMAX 9\nHSMEXTOBJIDATTR yes\nDATEFORMAT 3\n");
  ChildResult r = startUp(d, {"/usr/bin/kmrmigundelete", "-tracemax=5", "-detail"}, [&] {
    const clientOptions* o = optionsP;
    if (!o) return 10;
    if (o->tcpServerAddress != "127.0.0.1" || o->tcpPort != 1600 || o->serverName != "ZEF")
      return 11;
    if (o->traceMax != 5) return 12;  // the command line beats the file
    if (o->hsmExtObjIdAttr != 1 || o->dateFormat != 3 || o->maxReconcileProc != 4) return 13;
    if (std::string(hsmWhoAmI()) != "kmrmigundelete") return 14;
    if (TR_PREFIX != 1 || TR_TIMESTAMP != 1 || o->subdir != 2) return 15;
    if (!errorLogFile.isOpen() || o->errorLogName != d.path() + "/kmrerror.log") return 16;
    if (g_factoryArg != optionsP) return 17;
    if (o->nodeName.empty()) return 18;
    if (hsmGlobalCB().startUp != 1) return 19;
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.messages.empty());
}

TEST_F(OptionStartUp, BadSystemFileValueEndsWith255AndReport) {
  d.write("kmr.sys", "SERVERNAME zef\n TCPS h\n TCPPORT 70000\n");
  ChildResult r = startUp(d, {"kmrmigundelete"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.messages, (std::vector<int>{11315, 1036, 1038, 11315}));
}

TEST_F(OptionStartUp, MissingSystemFileEndsWith255) {
  ChildResult r = startUp(d, {"kmrmigundelete"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.messages, (std::vector<int>{11315, 1035, 11315}));
}

TEST_F(OptionStartUp, CommandLineTraceOptionFailures) {
  d.write("kmr.sys", kGoodSys);
  ChildResult bad = startUp(d, {"kmrmigundelete", "-tracemax=lots"});
  EXPECT_EQ(bad.status, 255);
  EXPECT_EQ(bad.messages, (std::vector<int>{1107}));
  ChildResult tooLong = startUp(d, {"kmrmigundelete", "-" + std::string(1279, 'x')});
  EXPECT_EQ(tooLong.status, 255);
  EXPECT_EQ(tooLong.messages, (std::vector<int>{1246}));
}

TEST_F(OptionStartUp, ServerConnectionFailureEndsWith255) {
  d.write("kmr.sys", kGoodSys);
  g_factoryResult = -50;
  ChildResult r = startUp(d, {"kmrmigundelete"});
  g_factoryResult = 0;
  EXPECT_EQ(r.status, 255);
}

TEST_F(OptionStartUp, UnusableErrorLogIsReportedAndTheCommandGoesOn) {
  // A regular file where the log's directory should be: no directory can be made.
  d.write("notadir", "");
  d.write("kmr.sys", std::string(kGoodSys) + "  ERRORLOGNAME " + d.path() + "/notadir/err.log\n");
  ChildResult r = startUp(d, {"kmrmigundelete"}, [] { return errorLogFile.isOpen() ? 1 : 0; });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.messages, (std::vector<int>{1398}));
}

TEST_F(OptionStartUp, StartUpReturnsCodeWhenAskedNotToExit) {
  d.write("kmr.sys", "SERVERNAME zef\n TCPPORT 1600\n");
  ChildResult r = runChild([&] {
    clientOptions o;
    o.sysOptFile = d.path() + "/kmr.sys";
    _exit(smSysOptFile(0, &o) == 405 ? 0 : 1);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.messages, (std::vector<int>{11315, 1218, 11315}));
}
