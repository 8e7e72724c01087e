// Option files: the user option file, the system option file with its global
// part and server stanzas, prescan and main pass, and the environment.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/options.h"
#include "tests/unit/common/options_test_support.h"

namespace {

using opttest::MessageRecorder;
using opttest::namedIn;
using opttest::ScratchDir;
using Named = std::tuple<std::string, std::string, int>;

const char* kStanzas =
    "* global part\n"
    "MAXRECONCILEPROC 5\n"
    "SERVERNAME srv1\n"
    "   TCPSERVERADDRESS 10.0.0.1\n"
    "   TCPPORT 1601\n"
    "SERVERNAME srv2\n"
    "   TCPS 10.0.0.2\n"
    "   TCPPORT 1602\n"
    "   MAXRECONCILEPROC 9\n";

struct Files {
  ScratchDir dir;
  clientOptions opts;
  optError err;
  explicit Files(const std::string& sys, const std::string& user = "") {
    opts.sysOptFile = dir.write("kmr.sys", sys);
    opts.userOptFile = user.empty() ? dir.path() + "/kmr.opt" : dir.write("kmr.opt", user);
  }
  int user(OptPass pass = OPT_PASS_MAIN) {
    return optProcessOptions(opts, OPT_SRC_USERFILE, nullptr, pass, &err);
  }
  int sys(OptPass pass = OPT_PASS_MAIN) {
    return optProcessOptions(opts, OPT_SRC_SYSFILE, nullptr, pass, &err);
  }
};

}  // namespace

// Without a choice the first stanza; the user file's SERVERNAME compares
// upper-cased; DEFAULTSERVER also fills the migrate server. A stanza's
// options never leak into a run of another stanza.
TEST(SystemOptionFile, StanzaSelection) {
  struct Case {
    const char* user;
    const char* sysPrefix;
    const char* server;
    const char* address;
    int port, maxProc;
    const char* migrateServer;
  };
  for (const Case& c : {Case{"", "", "SRV1", "10.0.0.1", 1601, 5, ""},
                        Case{"servername SRV2\n", "", "SRV2", "10.0.0.2", 1602, 9, ""},
                        Case{"", "DEFAULTSERVER srv2\n", "SRV2", "10.0.0.2", 1602, 9, "SRV2"}}) {
    SCOPED_TRACE(std::string(c.user) + c.sysPrefix);
    Files f(c.sysPrefix + std::string(kStanzas), c.user);
    ASSERT_EQ(f.user(), 0);
    ASSERT_EQ(f.sys(), 0);
    EXPECT_EQ(f.opts.serverName, c.server);
    EXPECT_EQ(f.opts.tcpServerAddress, c.address);
    EXPECT_EQ(f.opts.tcpPort, c.port);
    EXPECT_EQ(f.opts.maxReconcileProc, c.maxProc);
    EXPECT_EQ(f.opts.migrateServer, c.migrateServer);
  }
}

TEST(SystemOptionFile, MissingStanzaAddressOrFilesAndUnknownNames) {
  Files f(kStanzas, "SERVERNAME srv9\n");
  ASSERT_EQ(f.user(), 0);
  EXPECT_EQ(f.sys(), 409);
  EXPECT_EQ(f.err.code, 409);

  Files g("SERVERNAME a\n TCPPORT 1700\n");
  EXPECT_EQ(g.sys(), 405);
  EXPECT_EQ(g.err.fileName, g.opts.sysOptFile);

  Files h("SERVERNAME\n TCPS host\n");
  EXPECT_EQ(h.sys(), 400);
  EXPECT_EQ(h.err.lineNumber, 1);

  Files tooShort("SERVERNAME a\n TC 10.0.0.1\n");
  EXPECT_EQ(tooShort.sys(), 400);
  EXPECT_EQ(tooShort.err.optionName, "TC");
  EXPECT_EQ(tooShort.opts.tcpServerAddress, "");

  Files none(kStanzas);
  none.opts.sysOptFile = none.dir.path() + "/absent.sys";
  EXPECT_EQ(none.sys(), 406);
  EXPECT_EQ(none.sys(OPT_PASS_PRESCAN), 406);
  // An absent user option file is an error only when it was named.
  EXPECT_EQ(none.user(), 0);
  none.opts.userOptFileNamed = true;
  EXPECT_EQ(none.user(), 406);
  EXPECT_EQ(none.err.fileName, none.opts.userOptFile);
}

TEST(SystemOptionFile, BadValueNamesFileLineAndOption) {
  MessageRecorder rec;
  Files f("SERVERNAME a\n TCPS h\n\n TCPPORT 70000\n");
  ASSERT_EQ(f.sys(), 400);
  EXPECT_EQ(f.err.optionName, "TCPPORT");
  EXPECT_EQ(f.err.lineNumber, 4);
  EXPECT_EQ(f.err.lineText, " TCPPORT 70000");
  EXPECT_EQ(f.err.fileName, f.opts.sysOptFile);
  ReportOptionError(f.err);
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1036, 1038, 11315}));
  EXPECT_EQ(namedIn(1), Named("TCPPORT", f.opts.sysOptFile, 4));
  EXPECT_EQ(std::get<std::string>(opttest::reported()[1].args.at(3)), " TCPPORT 70000");
}

TEST(SystemOptionFile, OptionOfUserFileIgnoredWithMessageOnceAcrossPasses) {
  MessageRecorder rec;
  Files f("SERVERNAME a\n TCPS h\n TRACEFILE /tmp/never\n");
  ASSERT_EQ(f.sys(OPT_PASS_PRESCAN), 0);
  ASSERT_EQ(f.sys(), 0);
  EXPECT_EQ(f.opts.traceFile, "");
  ASSERT_EQ(opttest::numbers(), (std::vector<int>{1691}));
  EXPECT_EQ(namedIn(0), Named("TRACEFILE", f.opts.sysOptFile, 3));
}

// The early pass sets up the error log and the trace before the main pass
// reads the stanza; both must take the same stanza, or one run logs to one
// server's error log and works with the other.
TEST(SystemOptionFile, PrescanTakesOnlyPrescanOptionsOfTheDefaultServersStanza) {
  Files f("DEFAULTSERVER beta\n"
          "SERVERNAME alpha\n TCPS 10.0.0.1\n ERRORLOGNAME /var/log/alpha.log\n ERRORLOGMAX 1\n"
          "SERVERNAME beta\n TCPS 10.0.0.2\n ERRORLOGNAME /var/log/beta.log\n ERRORLOGMAX 2\n"
          " TCPPORT 1700\n ERRORLOGRETENTION 7 s\n");
  ASSERT_EQ(f.sys(OPT_PASS_PRESCAN), 0);
  EXPECT_EQ(f.opts.errorLogName, "/var/log/beta.log");
  EXPECT_EQ(f.opts.errorLogMax, 2097152u);
  EXPECT_EQ(f.opts.errorLogRetention, 7);
  EXPECT_EQ(f.opts.errorLogSaveFlag, 'S');
  EXPECT_EQ(f.opts.tcpServerAddress, "");  // not prescan options
  EXPECT_EQ(f.opts.tcpPort, 1500);
  EXPECT_EQ(f.opts.serverName, "");  // the main pass selects
  ASSERT_EQ(f.sys(), 0);
  EXPECT_EQ(f.opts.serverName, "BETA");
  EXPECT_EQ(f.opts.tcpServerAddress, "10.0.0.2");
  EXPECT_EQ(f.opts.tcpPort, 1700);
  EXPECT_EQ(f.opts.errorLogName, "/var/log/beta.log");
}

TEST(SystemOptionFile, ResetStanzaOptionsBeforeRereadForAnotherStanza) {
  Files f(kStanzas);
  ASSERT_EQ(f.sys(), 0);
  ASSERT_EQ(f.opts.tcpPort, 1601);
  clientOptions copy = f.opts;
  optResetStanzaOptions(copy);
  EXPECT_EQ(copy.tcpPort, 1500);
  EXPECT_EQ(copy.tcpServerAddress, "");
  copy.serverName = "SRV2";
  ASSERT_EQ(optProcessOptions(copy, OPT_SRC_SYSFILE, nullptr, OPT_PASS_MAIN, nullptr), 0);
  EXPECT_EQ(copy.tcpPort, 1602);
  EXPECT_EQ(f.opts.tcpPort, 1601);  // the process record is untouched
}

TEST(UserOptionFile, CommentsCollapsedValuesAndPlaces) {
  MessageRecorder rec;
  Files f(kStanzas,
          "* TRACEMAX 99\n"
          "   *HSMEXTOBJIDATTR yes\n"
          "ERRORPROG /bin/logger   -t  kmr\n"
          "LANGUAGE \"/opt/lang   x/kmr.cat\"\n"
          "TCPPORT 1700\n"
          "HSMEXTOBJIDATTR yes\n");
  ASSERT_EQ(f.user(OPT_PASS_PRESCAN), 0);
  EXPECT_EQ(f.opts.hsmExtObjIdAttr, 0);  // not a prescan option
  EXPECT_EQ(f.opts.language, "/opt/lang   x/kmr.cat");
  EXPECT_TRUE(opttest::numbers().empty());
  ASSERT_EQ(f.user(), 0);
  EXPECT_EQ(f.opts.traceMax, 0u);
  EXPECT_EQ(f.opts.hsmExtObjIdAttr, 1);
  EXPECT_EQ(f.opts.errorProg, "/bin/logger -t kmr");
  EXPECT_EQ(f.opts.tcpPort, 1500);  // TCPPORT belongs in the system file
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{1691}));
}

TEST(UserOptionFile, OptFileFromSystemPrescanNamesTheUserFile) {
  MessageRecorder rec;
  ScratchDir other;
  const std::string user = other.write("mine.opt", "NODENAME x\nSERVERNAME srv2\n");
  Files f(std::string("SERVERNAME srv1\n TCPS h\n OPTFILE ") + user + "\n");
  ASSERT_EQ(f.sys(OPT_PASS_PRESCAN), 0);
  EXPECT_EQ(f.opts.userOptFile, user);
  EXPECT_TRUE(f.opts.userOptFileNamed);
  ASSERT_EQ(f.user(), 0);
  EXPECT_EQ(f.opts.serverName, "SRV2");
  EXPECT_EQ(f.opts.nodeName, "");  // NODENAME belongs in the system file
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{1691}));
}

TEST(OptionEnvironment, DirectoriesAndDefaultNames) {
  ScratchDir d;
  setenv("KMR_DIR", (d.path() + "/inst//").c_str(), 1);
  setenv("KMR_LOG", (d.path() + "/logs/").c_str(), 1);
  unsetenv("KMR_CONFIG");
  clientOptions o;
  optEnvVarInit(o);
  // (The option files and error log named from these are found end to end.)
  EXPECT_EQ(o.installDir, d.path() + "/inst");
  EXPECT_FALSE(o.userOptFileNamed);
  EXPECT_EQ(o.langRepoPath, d.path() + "/inst/kmrclientv3.cat");

  setenv("KMR_CONFIG", "/somewhere/my.opt", 1);
  unsetenv("KMR_DIR");
  unsetenv("KMR_LOG");
  setenv("PWD", "/work/dir", 1);
  clientOptions p;
  optEnvVarInit(p, "/default/inst");
  EXPECT_EQ(p.installDir, "/default/inst");
  EXPECT_EQ(p.userOptFile, "/somewhere/my.opt");
  EXPECT_TRUE(p.userOptFileNamed);
  EXPECT_EQ(p.schedLogName, "/work/dir/kmrsched.log");
  unsetenv("KMR_CONFIG");
}

TEST(OptionAccess, UsersAndGroups) {
  clientOptions o;
  EXPECT_TRUE(optCheckUser(o, 65534));  // nobody listed: everybody may
  ASSERT_EQ(optValidateOption(o, "ann", "USERS", true, OPT_PLACE_SYSFILE), 0);
  EXPECT_TRUE(optCheckUser(o, 0));  // root always
  EXPECT_FALSE(optCheckUser(o, 65534));
  ASSERT_EQ(optValidateOption(o, "nobody", "USERS", true, OPT_PLACE_SYSFILE), 0);
  EXPECT_TRUE(optCheckUser(o, 65534));
  clientOptions g;
  ASSERT_EQ(optValidateOption(g, "nogroup,staff", "GROUPS", true, OPT_PLACE_SYSFILE), 0);
  EXPECT_TRUE(optCheckUser(g, 65534));  // nobody's primary group is nogroup
  clientOptions h;
  ASSERT_EQ(optValidateOption(h, "wheelx", "GROUPS", true, OPT_PLACE_SYSFILE), 0);
  EXPECT_FALSE(optCheckUser(h, 65534));
}

// A password is taken only from a system option file that no one but root
// may read or write; otherwise it is dropped with message 9787 (the file and
// why), so it is never sent.
TEST(SystemOptionFile, PasswordOnlyFromAFileNoOneButRootMayReadOrWrite) {
  struct Case {
    const char* what;
    mode_t mode;
    uid_t owner;
    bool kept;
  };
  for (const Case& k : {Case{"root's, 0600", 0600, 0, true}, Case{"root's, 0640 (group reads)", 0640, 0, false},
                        Case{"root's, 0604 (others read)", 0604, 0, false}, Case{"root's, 0620 (group writes)", 0620, 0, false},
                        Case{"another user's, 0600", 0600, 65534, false}}) {
    SCOPED_TRACE(k.what);
    MessageRecorder rec;
    Files f("SERVERNAME a\n TCPS h\n PASSWORD Secret1\n");
    ASSERT_EQ(chmod(f.opts.sysOptFile.c_str(), k.mode), 0);
    ASSERT_EQ(chown(f.opts.sysOptFile.c_str(), k.owner, 0), 0);
    ASSERT_EQ(f.sys(), 0);
    EXPECT_EQ(f.opts.password, k.kept ? "Secret1" : "");
    EXPECT_EQ(opttest::numbers(), k.kept ? std::vector<int>{} : std::vector<int>{9787});
  }
}
