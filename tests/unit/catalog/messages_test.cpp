// Reading, caching and printing numbered messages; the return code.
#include <unistd.h>

#include "common/nls_reader.h"
#include "common/trace.h"
#include "tests/unit/catalog/nls_fixture.h"

namespace {

using nlstest::captured;

// A catalog made for the tests: an ordered-form message whose translation
// puts the second argument first, one with a "*" width and a wide string,
// a corrupted and a rejected letter, a prompt with a response trailer.
const char kTestCatalog[] =
    "$set 1\n"
    "5001 BQF5001E \\020\\014\\020\\020\\002\\002\\001"
    "\\020\\020%d\\020\\020\\020%s\\020Value \\020 belongs to \\020.\\n\n"
    "5002 BQF5002I \\020\\014\\020\\020\\002\\001\\002"
    "\\001\\020[%*d]\\020\\020\\020%ls\\020<\\020|\\020>\n"
    "7001 BQF7001X \\001Letter outside the table\n"
    "7002 BQF7002M \\001Rejected letter\n"
    "7003 BQF7003I \\001Continue? \\022yn\n"
    "7004 BQF7004L \\001Log text %s\n"
    "12345 BQF12345W \\001Five digits\n";

class Messages : public nlstest::NlsTest {
 protected:
  int initTestCatalog() {
    nlstest::buildCatalog(scratch_.path(), kTestCatalog);
    return init(scratch_.path());
  }
};

// The identifier of I and E messages shows in the end-to-end runs' output.
TEST_F(Messages, SeverityDecidesWhetherTheIdentifierIsShown) {
  ASSERT_EQ(init(), 0);
  EXPECT_EQ(format(11143), "END OF DATA");                       // L: body only
  EXPECT_EQ(format(20236, 7u), "  items sent: 7\n");              // T: body only
  EXPECT_EQ(format(20028, -50), "BQF0028E A verb could not be written to the server: return code -50.\n");
  EXPECT_EQ(nlGetMsgSev(1528), 5);
  EXPECT_EQ(nlGetMsgSev(11143), 8);
  // The refusal of a path that is not a mount point (the one of a file
  // system whose HSM is not active is checked end to end).
  EXPECT_EQ(format(9148, "kmrmigundelete", "/orca/fs1"),
            "BQF9148E kmrmigundelete: File system '/orca/fs1' is not mounted.\n");
}

TEST_F(Messages, OrderedFormPutsInsertsInTheTranslatedOrder) {
  ASSERT_EQ(initTestCatalog(), 0);
  EXPECT_EQ(format(5001, "alpha", 42), "BQF5001E Value 42 belongs to alpha.\n");
  // "*" width consumes its own argument; a wide character without a
  // multibyte form in this locale becomes "_".
  EXPECT_EQ(format(5002, 4, 7, L"caf\u00e9"), "BQF5002I <[   7]|caf_>");
  EXPECT_EQ(format(12345), "BQF2345W Five digits");
  EXPECT_EQ(format(7004, "x"), "Log text x");
  // A prompt's response trailer is kept apart from its text.
  char response[16];
  ASSERT_EQ(nlresponse(7003, response), 0);
  EXPECT_STREQ(response, "yn");
  EXPECT_EQ(format(7003), "BQF7003I Continue? ");
}

TEST_F(Messages, UnreadableMessagesAreReportedAndPrintNothing) {
  ASSERT_EQ(initTestCatalog(), 0);
  FILE* stream = tmpfile();
  nlfprintf(stream, 7001);
  nlfprintf(stream, 7002);
  nlfprintf(stream, 7777);
  EXPECT_EQ(ftell(stream), 0) << "nothing may reach the caller's stream";
  fclose(stream);
  ASSERT_EQ(captured(6).size(), 3u);
  // The source name reads as in the source tree, whatever built the library
  // and where (no build directory, no "../", no absolute path).
  EXPECT_EQ(captured(6)[0].rfind("BQF9999E common/messages.cpp(", 0), 0u) << captured(6)[0];
  EXPECT_NE(captured(6)[0].find("Message No 7001 is corrupted.\n"), std::string::npos);
  EXPECT_NE(captured(6)[1].find("Message No 7002 could not be found.\n"), std::string::npos);
  EXPECT_NE(captured(6)[2].find("Message No 7777 could not be found.\n"), std::string::npos);
  EXPECT_EQ(GlobalRC::instance().get(), 12);
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(nlsprintf(&text, 7777), 0);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(nlGetMsgSev(7777), 255);
}

// A second initialisation renews the formats but keeps the first capacity.
TEST_F(Messages, CacheReadsAMessageOnceAndEvictsTheLeastRecentlyUsed) {
  ASSERT_EQ(init(KMR_CATALOG_DIR, 10), 0);
  const unsigned long before = nlCatalogReads();
  for (int i = 0; i < 11; ++i) nlprintf(9314, "/fs");
  EXPECT_EQ(nlCatalogReads() - before, 1u);
  EXPECT_EQ(captured(4).size(), 11u);
  dsCoreCleanUp();

  ASSERT_EQ(init(KMR_CATALOG_DIR, 2), 0);
  char locale[64] = "EN_US";
  ASSERT_EQ(nlinit(KMR_CATALOG_DIR, 50, KMR_CATALOG_DIR, 5, 3, 1, 1, locale, nullptr), 0);
  EXPECT_STREQ(nlFormats().datePattern, "%Y-%m-%d");
  const unsigned long start = nlCatalogReads();
  nlprintf(9049);
  nlprintf(9052);
  nlprintf(9049);  // hit; 9052 is now least recently used
  nlprintf(9315);  // evicts 9052
  nlprintf(9049);  // still cached
  EXPECT_EQ(nlCatalogReads() - start, 3u);
  nlprintf(9052);  // read again: the capacity stayed 2
  EXPECT_EQ(nlCatalogReads() - start, 4u);
}

// A language without a catalog falls back to English with a warning. The C
// locale with a code set (Debian's default "C.UTF-8") is English, not such a
// language: no warning on every run.
TEST_F(Messages, MissingLanguageFallsBackToEnglishWithAWarningButTheCLocaleIsEnglish) {
  for (const char* locale : {"FR_FR", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    captured(5).clear();
    ASSERT_EQ(init(KMR_CATALOG_DIR, 10, locale), 0);
    const bool french = locale[0] == 'F';
    ASSERT_EQ(captured(5).size(), french ? 1u : 0u);
    if (french) {
      EXPECT_EQ(captured(5)[0].rfind("BQF0102W Unable to open the message repository ", 0), 0u);
    }
    EXPECT_STREQ(chosen_, "EN_US");
    EXPECT_EQ(format(1107, "-X"), "BQF1107E The option or parameter '-X' is not valid.\n");
    dsCoreCleanUp();
  }
}

TEST_F(Messages, LocalCatalogIsUsedAndEnglishFillsItsGaps) {
  const std::string& dir = scratch_.path();
  nlstest::buildCatalog(dir, "$set 1\n1107 BQF1107E \\001Option '%s' inconnue.\\n\n", "FR_FR");
  nlstest::buildCatalog(dir, "$set 1\n1107 BQF1107E \\001Unknown '%s'.\\n\n9049 BQF9049I \\001Query.\\n\n");
  ASSERT_EQ(init(dir, 10, "fr_FR"), 0);
  EXPECT_TRUE(captured(5).empty());
  EXPECT_STREQ(chosen_, "FR_FR");
  EXPECT_EQ(format(1107, "-X"), "BQF1107E Option '-X' inconnue.\n");
  EXPECT_EQ(format(9049), "BQF9049I Query.\n");
  EXPECT_TRUE(captured(6).empty()) << "a gap of the translation is no error";
}

TEST_F(Messages, NoEnglishRepositoryFailsInit) {
  const std::string& dir = scratch_.path();
  EXPECT_EQ(init(dir), 610);
  ASSERT_FALSE(captured(5).empty());
  EXPECT_NE(captured(5).back().find("BQF0102W"), std::string::npos);
  char locale[64] = "";
  EXPECT_EQ(nlinit("", 10, dir.c_str(), 5, 0, 0, 0, locale, nullptr), 610);
}

TEST_F(Messages, LanguageDirectoryNames) {
  EXPECT_EQ(nlLanguageDirectory("de"), "DE_DE");
  EXPECT_EQ(nlLanguageDirectory("pt.UTF-8"), "PT_BR");
  EXPECT_EQ(nlLanguageDirectory("xx"), "EN_US");
  EXPECT_EQ(nlLanguageDirectory("zh_TW.BIG5"), "Zh_TW");
  EXPECT_EQ(nlLanguageDirectory("de_CH.UTF-8"), "de_CH");
}

TEST_F(Messages, ReturnCodeRisesBySeverityNeverFallsAndFollowsTheMappingRules) {
  ASSERT_EQ(init(), 0);
  GlobalRC& rc = GlobalRC::instance();
  nlprintf(9049);  // I
  EXPECT_EQ(rc.get(), 0);
  nlprintf(1528, "/var/log/kmrerror.log");  // W
  EXPECT_EQ(rc.get(), 8);
  nlprintf(9314, "/fs");  // a later I doesn't lower it
  EXPECT_EQ(rc.get(), 8);
  EXPECT_FALSE(rc.set(9316));
  EXPECT_TRUE(rc.set(1107));  // E
  EXPECT_EQ(rc.get(), 12);
  rc.clearRC();
  EXPECT_EQ(rc.get(), 0);
  EXPECT_EQ(rc.getMax(), 12);
  EXPECT_EQ(rc.getMacroMax(), 12);
  rc.clearMacroRC();
  EXPECT_EQ(rc.getMacroMax(), 0);
  EXPECT_EQ(rc.getMax(), 12);
  EXPECT_EQ(nlReturnCodeOf(326), 4);     // in the list of code-4 numbers
  EXPECT_EQ(nlReturnCodeOf(14987), 4);
  EXPECT_EQ(nlReturnCodeOf(9999), 12);
  EXPECT_EQ(nlReturnCodeOf(9322), 0);
  EXPECT_EQ(nlReturnCodeOf(2046), 12);
  TEST_AUDITLOGRC.set = 1;
  TEST_AUDITLOGRC.numValue = 0;
  EXPECT_EQ(nlReturnCodeOf(2046), 8);
  TEST_AUDITLOGRC.numValue = 3;
  EXPECT_EQ(nlReturnCodeOf(2046), 3);
  TEST_AUDITLOGRC.set = 0;
  TEST_AUDITLOGRC.numValue = 0;
  EXPECT_TRUE(captured(6).empty()) << "weighing a number must not report anything";
}

TEST_F(Messages, NothingIsPrintedBeforeInitialisation) {
  FILE* stream = tmpfile();
  nlfprintf(stream, 1107, "-X");
  EXPECT_EQ(ftell(stream), 0);
  fclose(stream);
  char* text = nullptr;
  EXPECT_EQ(nlsprintf(&text, 1107, "-X"), 0);
}

}  // namespace

// The common error reporting names the code and its meaning in one E message
// and raises the return code like any E message.
TEST_F(Messages, ProcessError2ReportsTheCodeWithItsMeaning) {
  ASSERT_EQ(init(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ProcessError2(-50), -50);
  EXPECT_EQ(ProcessError2(4711), 4711);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("BQF2091E The operation with the server ended with return code -50: "
                     "the connection to the server failed.\n"),
            std::string::npos);
  EXPECT_NE(err.find("return code 4711: unknown return code.\n"), std::string::npos);
  EXPECT_EQ(std::string(clientRcText(136)), "a protocol error in the conversation with the server");
  EXPECT_EQ(GlobalRC::instance().get(), 12);
}
