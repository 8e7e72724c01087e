// The keyword table, abbreviation matching and the validation of single
// option values.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/options.h"
#include "tests/unit/common/options_test_support.h"

namespace {

int validate(clientOptions& o, const char* name, const char* value,
             uint16_t place = OPT_PLACE_SYSFILE) {
  return optValidateOption(o, value, name, true, place);
}

}  // namespace

TEST(OptionKeywordTable, HasAllRowsEndRowAndOperands) {
  ASSERT_EQ(optSharedTableRows, 332u);
  EXPECT_STREQ(optSharedTable[331].keyword, "ZZZLASTENTRY");
  EXPECT_EQ(optSharedTable[331].id, OPT_END);
  int operands = 0;
  std::set<uint16_t> ids;
  for (size_t i = 0; i + 1 < optSharedTableRows; ++i) {
    if (optSharedTable[i].kind == OPT_KIND_OPERAND) ++operands;
    EXPECT_TRUE(ids.insert(optSharedTable[i].id).second) << optSharedTable[i].keyword;
  }
  EXPECT_EQ(operands, 75);
  for (const char* named : {"ALL", "DETAIL", "FROMDATE", "LATEST", "NOPROMPT", "TRACE", "NOTRACE"}) {
    const optSharedOptionTableEntry_t* row = optLookupKeyword(named);
    ASSERT_NE(row, nullptr) << named;
    EXPECT_EQ(row->kind, OPT_KIND_OPERAND) << named;
  }
}

// First match in table order decides: a row placed badly would capture the
// full name or the shortest abbreviation of another option.
TEST(OptionKeywordTable, EveryOptionReachedByFullNameAndShortestAbbreviation) {
  for (size_t i = 0; i + 1 < optSharedTableRows; ++i) {
    const optSharedOptionTableEntry_t& row = optSharedTable[i];
    if (row.minAbbrev > strlen(row.keyword)) {
      // E2AOBJNAME asks for more letters than it has: it can never be named.
      EXPECT_EQ(optLookupKeyword(row.keyword), nullptr) << row.keyword;
      continue;
    }
    EXPECT_EQ(optLookupKeyword(row.keyword), &row) << row.keyword;
    if (row.kind == OPT_KIND_OPERAND) continue;
    const std::string shortest(row.keyword, row.minAbbrev);
    const optSharedOptionTableEntry_t* hit = optLookupKeyword(shortest.c_str());
    ASSERT_NE(hit, nullptr) << shortest;
    EXPECT_EQ(hit->id, row.id) << shortest << " found " << hit->keyword;
    EXPECT_NE(optFindEntry(row.id), nullptr) << row.keyword;
  }
}

TEST(OptionKeywordTable, AbbreviationRules) {
  EXPECT_EQ(optLookupKeyword("TCPS")->id, OPT_TCPSERVERADDRESS);
  EXPECT_EQ(optLookupKeyword("tcps")->id, OPT_TCPSERVERADDRESS);
  EXPECT_EQ(optLookupKeyword("TCPSERVERADDR")->id, OPT_TCPSERVERADDRESS);
  EXPECT_EQ(optLookupKeyword("TC"), nullptr);
  EXPECT_EQ(optLookupKeyword("TCPSERVERADDRESSX"), nullptr);  // longer than the keyword
  EXPECT_EQ(optLookupKeyword("SE")->id, OPT_SERVERNAME);
  EXPECT_EQ(optLookupKeyword("ERRORLOG"), nullptr);  // 8 letters, every ERRORLOG* needs 9
  EXPECT_EQ(optLookupKeyword("ERRORLOGR")->id, OPT_ERRORLOGRETENTION);
  EXPECT_EQ(optLookupKeyword("TF")->id, OPT_TFLAGS);
  EXPECT_EQ(optLookupKeyword("TE")->id, OPT_TESTFLAGS);
  EXPECT_EQ(optLookupKeyword("ZZZLASTENTRY"), nullptr);
  EXPECT_EQ(optLookupKeyword(""), nullptr);
  EXPECT_TRUE(Abbrev("PRO", "PROMPT", 1));
  EXPECT_FALSE(Abbrev("PROX", "PROMPT", 1));
}

TEST(OptionValidation, NamesThatAreNoOptionsAreRefused) {
  clientOptions o;
  EXPECT_EQ(validate(o, "TC", "10.0.0.1"), 400);
  EXPECT_EQ(validate(o, "DETAIL", "x"), 400);  // operand of other commands
  EXPECT_EQ(validate(o, "", "x"), 400);
  EXPECT_EQ(validate(o, "NOSUCHOPTION", "x"), 400);
  EXPECT_EQ(validate(o, "TCPS", "10.0.0.1"), 0);
  EXPECT_EQ(o.tcpServerAddress, "10.0.0.1");
}

TEST(OptionValidation, NumbersRangesAndUnits) {
  clientOptions o;
  EXPECT_EQ(o.tcpPort, 1500);
  EXPECT_EQ(o.txnByteLimit, 25600u * 1024u);
  EXPECT_EQ(validate(o, "TCPPORT", "70000"), 400);
  EXPECT_EQ(validate(o, "TCPPORT", "0"), 400);
  EXPECT_EQ(validate(o, "TCPPORT", "15x"), 400);
  EXPECT_EQ(validate(o, "TCPPORT", "-5"), 400);
  EXPECT_EQ(validate(o, "TCPPORT", ""), 400);
  EXPECT_EQ(o.tcpPort, 1500);
  EXPECT_EQ(validate(o, "TCPPORT", "1501"), 0);
  EXPECT_EQ(o.tcpPort, 1501);
  EXPECT_EQ(validate(o, "TXNBYTELIMIT", "299"), 400);
  EXPECT_EQ(validate(o, "TXNBYTELIMIT", "300"), 0);
  EXPECT_EQ(o.txnByteLimit, 300u * 1024u);
  EXPECT_EQ(validate(o, "ERRORLOGMAX", "2048"), 400);
  EXPECT_EQ(validate(o, "ERRORLOGMAX", "10"), 0);
  EXPECT_EQ(o.errorLogMax, 10485760u);
  EXPECT_EQ(validate(o, "ERRORLOGMAX", "2047"), 0);
  EXPECT_EQ(o.errorLogMax, 2047u * 1048576u);
  EXPECT_EQ(validate(o, "MAXRECONCILEPROC", "100"), 400);
  EXPECT_EQ(validate(o, "MAXRECONCILEPROC", "99"), 0);
  EXPECT_EQ(o.maxReconcileProc, 99);
  EXPECT_EQ(validate(o, "TRACEMAX", "4294967295", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.traceMax, 4294967295u);
}

TEST(OptionValidation, ErrorLogRetentionForms) {
  clientOptions o;
  EXPECT_EQ(o.errorLogRetention, 10000);
  EXPECT_EQ(validate(o, "ERRORLOGRETENTION", "7 S"), 0);
  EXPECT_EQ(o.errorLogRetention, 7);
  EXPECT_EQ(o.errorLogSaveFlag, 'S');
  EXPECT_EQ(validate(o, "ERRORLOGRETENTION", "30,d"), 0);
  EXPECT_EQ(o.errorLogRetention, 30);
  EXPECT_EQ(o.errorLogSaveFlag, 'D');
  EXPECT_EQ(validate(o, "ERRORLOGRETENTION", "9999"), 0);
  EXPECT_EQ(o.errorLogRetention, 9999);
  EXPECT_EQ(validate(o, "ERRORLOGRETENTION", "N"), 0);
  EXPECT_EQ(o.errorLogRetention, 10000);
  for (const char* bad : {"10000", "X", "7 Q", "7 SS", "S", "7S x"})
    EXPECT_EQ(validate(o, "ERRORLOGRETENTION", bad), 400) << bad;
  EXPECT_EQ(o.errorLogRetention, 10000);
}

TEST(OptionValidation, TextTokensQuotesKeywordsAndToggles) {
  clientOptions o;
  EXPECT_EQ(validate(o, "SERVERNAME", "srv2"), 0);
  EXPECT_EQ(o.serverName, "SRV2");
  EXPECT_EQ(validate(o, "NODENAME", "\"node a\""), 0);
  EXPECT_EQ(o.nodeName, "NODE A");
  EXPECT_EQ(validate(o, "NODENAME", "\"node"), 402);
  EXPECT_EQ(validate(o, "NODENAME", std::string(65, 'n').c_str()), 400);
  EXPECT_EQ(validate(o, "PASSWORDDIR", "relative/dir"), 400);
  EXPECT_EQ(validate(o, "PASSWORDDIR", "/etc/Kmr"), 0);
  EXPECT_EQ(o.passwordDir, "/etc/Kmr");  // paths keep their case
  EXPECT_EQ(validate(o, "PASSWORDACCESS", "g"), 0);
  EXPECT_EQ(o.passwordAccess, 1);
  EXPECT_EQ(validate(o, "PASSWORDACCESS", "prompt"), 0);
  EXPECT_EQ(o.passwordAccess, 0);
  EXPECT_EQ(validate(o, "PASSWORDACCESS", "always"), 400);
  EXPECT_EQ(validate(o, "TCPNODELAY", "no"), 0);
  EXPECT_EQ(o.tcpNoDelay, 0);
  EXPECT_EQ(validate(o, "TCPNODELAY", "maybe"), 400);
  EXPECT_EQ(validate(o, "LARGECOMMBUFFERS", "yes"), 0);
  EXPECT_EQ(o.largeCommBuffers, 1);
  EXPECT_EQ(validate(o, "TCPBUFFSIZE", "16"), 0);
  EXPECT_EQ(o.tcpBuffSize, 16384u);
  EXPECT_EQ(validate(o, "COMMMETHOD", "tcpip"), 0);
  EXPECT_EQ(o.commMethod, 1);
  EXPECT_EQ(validate(o, "ERRORPROG", std::string("/" + std::string(127, 'p')).c_str(),
                     OPT_PLACE_USERFILE),
            400);
}

TEST(OptionValidation, PlacesPrecedenceAndOptionsWithoutEffect) {
  clientOptions o;
  EXPECT_EQ(validate(o, "HSMEXTOBJIDATTR", "yes", OPT_PLACE_SYSFILE), 429);
  EXPECT_EQ(o.hsmExtObjIdAttr, 0);
  EXPECT_EQ(validate(o, "HSMEXTOBJIDATTR", "yes", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.hsmExtObjIdAttr, 1);
  EXPECT_EQ(o.source[OPT_HSMEXTOBJIDATTR], OPT_PLACE_USERFILE);
  EXPECT_EQ(o.hsmRestoreSetId, 0) << "set-id bits stay off unless asked for";
  EXPECT_EQ(validate(o, "HSMRESTORESETID", "yes", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.hsmRestoreSetId, 1);
  EXPECT_EQ(validate(o, "TRACEFILE", "/tmp/t", OPT_PLACE_SYSFILE), 429);
  EXPECT_EQ(validate(o, "TCPSERVERADDRESS", "h", OPT_PLACE_USERFILE), 429);

  EXPECT_EQ(validate(o, "NODENAME", "fromcmd", OPT_PLACE_CMDLINE), 0);
  EXPECT_EQ(validate(o, "NODENAME", "fromfile", OPT_PLACE_SYSFILE), 0);
  EXPECT_EQ(o.nodeName, "FROMCMD");

  // An option of a component this command lacks is kept without effect.
  EXPECT_EQ(validate(o, "VMCHOST", "vc.example"), 0);
  EXPECT_EQ(o.otherOptions[OPT_VMCHOST], "vc.example");
  EXPECT_EQ(validate(o, "DBINSTANCENAME", "db1"), 0);
}

TEST(OptionValidation, TraceOptionsStripQuotesAndCommas) {
  clientOptions o;
  EXPECT_EQ(validate(o, "TRACEFLAGS", "sm,smlog", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.traceFlags, "sm smlog");
  EXPECT_EQ(validate(o, "TFLAGS", "\"general,config\"", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.traceFlags, "general config");
  EXPECT_EQ(validate(o, "TRACEFILE", "", OPT_PLACE_USERFILE), 109);
  EXPECT_EQ(validate(o, "TESTFLAGS", "HSMLF,SHM_SERVER_CTL:\"a,b\"", OPT_PLACE_USERFILE), 0);
  EXPECT_EQ(o.testFlags, "HSMLF SHM_SERVER_CTL:\"a,b\"");
}

TEST(OptionLineGrammar, CommentsBlanksNamesAndValues) {
  std::string n, v;
  EXPECT_FALSE(optSplitLine("", &n, &v));
  EXPECT_FALSE(optSplitLine(" \t \r", &n, &v));
  EXPECT_FALSE(optSplitLine("   * TCPPORT 1600", &n, &v));
  ASSERT_TRUE(optSplitLine("  tcpport   1600  \r\n", &n, &v));
  EXPECT_EQ(n, "TCPPORT");
  EXPECT_EQ(v, "1600");
  ASSERT_TRUE(optSplitLine("USERS  ann \t  bob   carl", &n, &v));
  EXPECT_EQ(v, "ann bob carl");
  ASSERT_TRUE(optSplitLine("ERRORLOGNAME \"/a   b/log\"", &n, &v));
  EXPECT_EQ(v, "\"/a   b/log\"");
  ASSERT_TRUE(optSplitLine("X a   b  \"c   d\"", &n, &v));
  EXPECT_EQ(v, "a b \"c   d\"");
  ASSERT_TRUE(optSplitLine("NODENAME", &n, &v));
  EXPECT_EQ(n, "NODENAME");
  EXPECT_EQ(v, "");
}

TEST(OptionErrorReport, MessagesByCode) {
  opttest::MessageRecorder rec;
  ReportOptionError(400, 3, "TCPPORT", "TCPPORT 70000", "/x/kmr.sys");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1036, 1038, 11315}));
  const auto& args = opttest::reported()[1].args;
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(std::get<std::string>(args[0]), "TCPPORT");
  EXPECT_EQ(std::get<std::string>(args[1]), "/x/kmr.sys");
  EXPECT_EQ(std::get<int>(args[2]), 3);
  EXPECT_EQ(std::get<std::string>(args[3]), "TCPPORT 70000");

  opttest::reported().clear();
  ReportOptionError(406, 0, "", "", "/x/kmr.opt");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1035, 11315}));
  opttest::reported().clear();
  ReportOptionError(420, 1, "A", "", "f");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1036, 297, 11315}));
  EXPECT_EQ(opttest::reported()[2].stream, stdout);
  EXPECT_EQ(std::get<std::string>(opttest::reported()[1].args[3]), "Not Supplied");
  opttest::reported().clear();
  ReportOptionError(409, 0, "", "", "f");
  EXPECT_EQ(opttest::numbers(), (std::vector<int>{11315, 1217, 11315}));
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
