// The keyword table, abbreviation matching, the validation of single option
// values, the option line grammar and the error report.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "common/options.h"
#include "tests/unit/common/options_test_support.h"

namespace {

constexpr uint16_t kSys = OPT_PLACE_SYSFILE, kUser = OPT_PLACE_USERFILE;

int validate(clientOptions& o, const char* name, const char* value, uint16_t place = kSys) {
  return optValidateOption(o, value, name, true, place);
}

}  // namespace

// First match in table order decides: a row placed badly would capture the
// full name or the shortest abbreviation of another option.
TEST(OptionKeywordTable, EveryOptionReachedByFullNameAndShortestAbbreviation) {
  ASSERT_EQ(optSharedTableRows, 334u);
  EXPECT_STREQ(optSharedTable[333].keyword, "ZZZLASTENTRY");
  EXPECT_EQ(optSharedTable[333].id, OPT_END);
  int operands = 0;
  std::set<uint16_t> ids;
  for (size_t i = 0; i + 1 < optSharedTableRows; ++i) {
    const optSharedOptionTableEntry_t& row = optSharedTable[i];
    EXPECT_TRUE(ids.insert(row.id).second) << row.keyword;
    if (row.minAbbrev > strlen(row.keyword)) {
      // E2AOBJNAME asks for more letters than it has: it can never be named.
      EXPECT_EQ(optLookupKeyword(row.keyword), nullptr) << row.keyword;
      continue;
    }
    EXPECT_EQ(optLookupKeyword(row.keyword), &row) << row.keyword;
    if (row.kind == OPT_KIND_OPERAND) {
      ++operands;
      continue;
    }
    const std::string shortest(row.keyword, row.minAbbrev);
    const optSharedOptionTableEntry_t* hit = optLookupKeyword(shortest.c_str());
    ASSERT_NE(hit, nullptr) << shortest;
    EXPECT_EQ(hit->id, row.id) << shortest << " found " << hit->keyword;
    EXPECT_NE(optFindEntry(row.id), nullptr) << row.keyword;
  }
  EXPECT_EQ(operands, 75);
  for (const char* named : {"ALL", "DETAIL", "FROMDATE", "LATEST", "NOPROMPT", "TRACE", "NOTRACE"})
    EXPECT_EQ(optLookupKeyword(named)->kind, OPT_KIND_OPERAND) << named;
}

TEST(OptionKeywordTable, AbbreviationRules) {
  // The shortest abbreviation of each row is checked above; a name between
  // it and the keyword, and any case, also match.
  for (const char* name : {"tcps", "TCPSERVERADDR"}) {
    ASSERT_NE(optLookupKeyword(name), nullptr) << name;
    EXPECT_EQ(optLookupKeyword(name)->id, OPT_TCPSERVERADDRESS) << name;
  }
  // TCPSERVERADDRESSX is longer than the keyword; ERRORLOG has 8 letters,
  // every ERRORLOG* needs 9. A name too short, or unknown, is refused below.
  for (const char* none : {"TCPSERVERADDRESSX", "ERRORLOG", "ZZZLASTENTRY"})
    EXPECT_EQ(optLookupKeyword(none), nullptr) << none;
}

// A refused value leaves the record as it was.
TEST(OptionValidation, RefusedNamesValuesAndPlaces) {
  struct Refused { const char* name; std::string value; uint16_t place; int rc; } refused[] = {
      {"TC", "10.0.0.1", kSys, 400}, {"DETAIL", "x", kSys, 400},  // an operand of other commands
      {"", "x", kSys, 400}, {"NOSUCHOPTION", "x", kSys, 400},
      {"TCPPORT", "70000", kSys, 400}, {"TCPPORT", "0", kSys, 400}, {"TCPPORT", "15x", kSys, 400},
      {"TCPPORT", "-5", kSys, 400}, {"TCPPORT", "", kSys, 400}, {"TXNBYTELIMIT", "299", kSys, 400},
      {"ERRORLOGMAX", "2048", kSys, 400}, {"MAXRECONCILEPROC", "100", kSys, 400},
      {"RECREATEWORKERS", "0", kUser, 400}, {"RECREATEWORKERS", "65", kUser, 400},
      {"ERRORLOGRETENTION", "10000", kSys, 400}, {"ERRORLOGRETENTION", "X", kSys, 400},
      {"ERRORLOGRETENTION", "7 Q", kSys, 400}, {"ERRORLOGRETENTION", "7 SS", kSys, 400},
      {"ERRORLOGRETENTION", "S", kSys, 400}, {"ERRORLOGRETENTION", "7S x", kSys, 400},
      {"NODENAME", "\"node", kSys, 402}, {"NODENAME", std::string(65, 'n'), kSys, 400},
      {"PASSWORDDIR", "relative/dir", kSys, 400}, {"PASSWORDACCESS", "always", kSys, 400},
      {"TCPNODELAY", "maybe", kSys, 400}, {"ERRORPROG", "/" + std::string(127, 'p'), kUser, 400},
      {"HSMEXTOBJIDATTR", "yes", kSys, 429}, {"TRACEFILE", "/tmp/t", kSys, 429},
      {"TCPSERVERADDRESS", "h", kUser, 429}, {"TRACEFILE", "", kUser, 109}};
  clientOptions o;
  for (const Refused& r : refused)
    EXPECT_EQ(validate(o, r.name, r.value.c_str(), r.place), r.rc) << r.name << " " << r.value;
  EXPECT_EQ(o.tcpPort, 1500);
  EXPECT_EQ(o.txnByteLimit, 25600u * 1024u);
  EXPECT_EQ(o.errorLogMax, 0u);
  EXPECT_EQ(o.maxReconcileProc, 3);
  EXPECT_EQ(o.recreateWorkers, 0) << "0: as many workers as processors";
  EXPECT_EQ(o.errorLogRetention, 10000);
  EXPECT_EQ(o.nodeName, "");
  EXPECT_EQ(o.hsmExtObjIdAttr, 0);
  EXPECT_EQ(o.traceFile, "");
  EXPECT_EQ(o.tcpServerAddress, "");
}

// Numbers with their units, the forms of the retention, text tokens with
// their case, keywords and toggles, places and precedence.
TEST(OptionValidation, AcceptedValuesLandInTheRecord) {
  using C = clientOptions;
  using Field = std::function<std::string(const C&)>;
  auto number = [](auto C::*f) -> Field { return [f](const C& o) { return std::to_string(o.*f); }; };
  auto text = [](std::string C::*f) -> Field { return [f](const C& o) { return o.*f; }; };
  const Field retention = [](const C& o) { return std::to_string(o.errorLogRetention) + o.errorLogSaveFlag; };
  struct Accepted { const char* name; const char* value; Field field; const char* expected; uint16_t place; };
  const Accepted accepted[] = {
      {"TCPPORT", "1501", number(&C::tcpPort), "1501", kSys},
      {"SSL", "yes", number(&C::ssl), "1", kSys},
      {"SSLSERVERPIN", "SHA256:ab:Cd", text(&C::sslServerPin), "SHA256:ab:Cd", kSys},  // the pin keeps its case
      {"TXNBYTELIMIT", "300", number(&C::txnByteLimit), "307200", kSys},
      {"ERRORLOGMAX", "2047", number(&C::errorLogMax), "2146435072", kSys},
      {"MAXRECONCILEPROC", "99", number(&C::maxReconcileProc), "99", kSys},
      {"RECREATEWORKERS", "64", number(&C::recreateWorkers), "64", kUser},
      {"TRACEMAX", "4294967295", number(&C::traceMax), "4294967295", kUser},
      {"ERRORLOGRETENTION", "7 S", retention, "7S", kSys},
      {"ERRORLOGRETENTION", "30,d", retention, "30D", kSys},
      {"ERRORLOGRETENTION", "9999", retention, "9999D", kSys},
      {"ERRORLOGRETENTION", "N", retention, "10000D", kSys},
      {"TCPS", "10.0.0.1", text(&C::tcpServerAddress), "10.0.0.1", kSys},
      {"SERVERNAME", "srv2", text(&C::serverName), "SRV2", kSys},
      {"NODENAME", "\"node a\"", text(&C::nodeName), "NODE A", kSys},
      {"PASSWORDDIR", "/etc/Kmr", text(&C::passwordDir), "/etc/Kmr", kSys},  // paths keep their case
      {"PASSWORDACCESS", "g", number(&C::passwordAccess), "1", kSys},
      {"PASSWORDACCESS", "prompt", number(&C::passwordAccess), "0", kSys},
      {"TCPNODELAY", "no", number(&C::tcpNoDelay), "0", kSys},
      {"LARGECOMMBUFFERS", "yes", number(&C::largeCommBuffers), "1", kSys},
      {"TCPBUFFSIZE", "16", number(&C::tcpBuffSize), "16384", kSys},
      {"COMMMETHOD", "tcpip", number(&C::commMethod), "1", kSys},
      // Trace options lose their quotes and commas.
      {"TRACEFLAGS", "sm,smlog", text(&C::traceFlags), "sm smlog", kUser},
      {"TFLAGS", "\"general,config\"", text(&C::traceFlags), "general config", kUser},
      {"TESTFLAGS", "HSMLF,SHM_SERVER_CTL:\"a,b\"", text(&C::testFlags), "HSMLF SHM_SERVER_CTL:\"a,b\"",
       kUser}};
  clientOptions o;
  for (const Accepted& a : accepted) {
    EXPECT_EQ(validate(o, a.name, a.value, a.place), 0) << a.name << " " << a.value;
    EXPECT_EQ(a.field(o), a.expected) << a.name << " " << a.value;
  }
  // Set in the user file, HSMRESTORESETID brings the bits back end to end.
  EXPECT_EQ(o.hsmRestoreSetId, 0) << "set-id bits stay off unless asked for";
  EXPECT_EQ(validate(o, "HSMEXTOBJIDATTR", "yes", kUser), 0);
  EXPECT_EQ(o.hsmExtObjIdAttr, 1);
  EXPECT_EQ(o.source[OPT_HSMEXTOBJIDATTR], kUser);
  EXPECT_EQ(validate(o, "NODENAME", "fromcmd", OPT_PLACE_CMDLINE), 0);
  EXPECT_EQ(validate(o, "NODENAME", "fromfile", kSys), 0);
  EXPECT_EQ(o.nodeName, "FROMCMD");
  // An option of a component this command lacks is kept without effect.
  EXPECT_EQ(validate(o, "VMCHOST", "vc.example"), 0);
  EXPECT_EQ(o.otherOptions[OPT_VMCHOST], "vc.example");
  EXPECT_EQ(validate(o, "DBINSTANCENAME", "db1"), 0);
}

TEST(OptionValidation, ErrorLogNameSetsLogDirectoryOrIsIgnoredWithMessages) {
  opttest::MessageRecorder rec;
  clientOptions o;
  o.errorLogName = "/var/log/kmrerror.log";
  EXPECT_EQ(validate(o, "ERRORLOGNAME", "\"/srv/logs/err.log\""), 0);
  EXPECT_EQ(o.errorLogName, "/srv/logs/err.log");
  EXPECT_EQ(o.logDir, "/srv/logs");
  EXPECT_TRUE(opttest::numbers().empty());
  EXPECT_EQ(validate(o, "ERRORLOGNAME", std::string(1280, 'e').c_str()), 0);
  EXPECT_EQ(o.errorLogName, "/srv/logs/err.log");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11340, 11341}));
  EXPECT_EQ(std::get<std::string>(opttest::reported()[1].args[0]), "/srv/logs/err.log");
}

TEST(OptionLineGrammar, CommentsBlanksNamesAndValues) {
  std::string n, v;
  for (const char* nothing : {"", " \t \r", "   * TCPPORT 1600"}) EXPECT_FALSE(optSplitLine(nothing, &n, &v));
  ASSERT_TRUE(optSplitLine("  tcpport   1600  \r\n", &n, &v));
  EXPECT_EQ(n, "TCPPORT");
  EXPECT_EQ(v, "1600");
  ASSERT_TRUE(optSplitLine("NODENAME", &n, &v));
  EXPECT_EQ(n, "NODENAME");
  EXPECT_EQ(v, "");
  struct Line { const char* line; const char* value; } lines[] = {
      {"USERS  ann \t  bob   carl", "ann bob carl"},
      {"ERRORLOGNAME \"/a   b/log\"", "\"/a   b/log\""},
      {"X a   b  \"c   d\"", "a b \"c   d\""}};
  for (const Line& l : lines) {
    ASSERT_TRUE(optSplitLine(l.line, &n, &v)) << l.line;
    EXPECT_EQ(v, l.value);
  }
}

// The report of a bad value is checked with the option files; these codes
// have messages of their own.
TEST(OptionErrorReport, MessagesByCode) {
  opttest::MessageRecorder rec;
  ReportOptionError(420, 1, "A", "", "f");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1036, 297, 11315}));
  EXPECT_EQ(opttest::reported()[2].stream, stdout);
  EXPECT_EQ(std::get<std::string>(opttest::reported()[1].args[3]), "Not Supplied");
  opttest::reported().clear();
  ReportOptionError(409, 0, "", "", "f");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1217, 11315}));
}
