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
    if (o->traceMax != 5) return 12;  // the command line beats the file
    if (o->hsmExtObjIdAttr != 1 || o->dateFormat != 3 || o->maxReconcileProc != 4) return 13;
    if (std::string(hsmWhoAmI()) != "kmrmigundelete") return 14;
    if (TR_PREFIX != 1 || TR_TIMESTAMP != 1 || o->subdir != 2) return 15;
    if (g_factoryArg != optionsP) return 17;
    if (o->nodeName.empty()) return 18;
    return 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.messages.empty());
}

// A start-up that cannot go on reports why and ends with 255 (one without
// its system option file: see the end-to-end runs); an error log that cannot
// be opened is reported and the command goes on.
TEST_F(OptionStartUp, FailuresEndWith255AndTheirReport) {
  struct Case {
    const char* why;
    std::string sys;
    std::vector<std::string> args;
    int factoryResult, status;
    std::vector<int> messages;
  };
  // A regular file where the log's directory should be: no directory can be made.
  d.write("notadir", "");
  const std::string unusableLog = std::string(kGoodSys) + "  ERRORLOGNAME " + d.path() + "/notadir/err.log\n";
  for (const Case& c : {Case{"bad value", "SERVERNAME zef\n TCPS h\n TCPPORT 70000\n", {"kmrmigundelete"}, 0,
                             255, {11315, 1036, 1038, 11315}},
                        Case{"bad trace max", kGoodSys, {"kmrmigundelete", "-tracemax=lots"}, 0, 255, {1107}},
                        Case{"overlong option", kGoodSys, {"kmrmigundelete", "-" + std::string(1279, 'x')}, 0,
                             255, {1246}},
                        Case{"no server connection", kGoodSys, {"kmrmigundelete"}, -50, 255, {}},
                        Case{"unusable error log", unusableLog, {"kmrmigundelete"}, 0, 0, {1398}}}) {
    SCOPED_TRACE(c.why);
    d.write("kmr.sys", c.sys);
    g_factoryResult = c.factoryResult;
    ChildResult r = startUp(d, c.args, [] { return errorLogFile.isOpen() ? 1 : 0; });
    g_factoryResult = 0;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.messages, c.messages);
  }
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
