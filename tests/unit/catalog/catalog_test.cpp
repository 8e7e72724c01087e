// The built catalog answers every message number the command uses, in the
// form the reader expects, with the inserts the callers pass.
#include <nl_types.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <map>

#include "tests/unit/catalog/nls_fixture.h"

namespace {

const char kDefault[] = "not in the catalog";

std::vector<int> requiredNumbers() {
  std::ifstream in(KMR_REQUIRED_NUMBERS);
  std::vector<int> numbers;
  for (int n; in >> n;) numbers.push_back(n);
  return numbers;
}

// The printf conversions of a text, in order ("s,", "d,", "lu,", ...).
std::string conversions(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0123456789.", *p)) ++p;
    std::string conv;
    while (*p && strchr("hlzjt", *p)) conv += *p++;
    if (!*p) break;
    out += conv + *p + ",";
  }
  return out;
}

// "BQF<number><letter> \001<text>": returns the number, or -1.
int identifiedNumber(const char* t) {
  if (strncmp(t, "BQF", 3) != 0) return -1;
  const char* p = t + 3;
  int number = 0, digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) number = number * 10 + (*p - '0');
  if (digits < 4 || digits > 5 || !*p || !strchr("ZTRKIWESL", *p)) return -1;
  if (p[1] != ' ' || p[2] != '\x01' || p[3] == '\0' || strchr(p + 3, '\x01')) return -1;
  return number;
}

class BuiltCatalog : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog_ = catopen(KMR_CATALOG_DIR "/EN_US/kmrclientV3.cat", NL_CAT_LOCALE);
    ASSERT_NE(catalog_, reinterpret_cast<nl_catd>(-1));
  }
  void TearDown() override { catclose(catalog_); }
  const char* text(int number) { return catgets(catalog_, 1, number, kDefault); }
  nl_catd catalog_;
};

TEST_F(BuiltCatalog, EveryRequiredNumberHasIdentifierBlankAndPrintfBody) {
  std::vector<int> numbers = requiredNumbers();
  ASSERT_GE(numbers.size(), 150u);
  for (int number : numbers) {
    const char* t = text(number);
    ASSERT_STRNE(t, kDefault) << "message " << number << " is missing";
    EXPECT_EQ(identifiedNumber(t), number) << t;
  }
}

// Every message the code names in common/msgnum.h is in the catalog, under
// the number its name says.
TEST_F(BuiltCatalog, EveryNamedMessageIsInTheCatalog) {
  std::string header = KMR_MESSAGE_SOURCE;
  header = header.substr(0, header.rfind("/catalog/")) + "/common/msgnum.h";
  std::ifstream in(header);
  ASSERT_TRUE(in) << header;
  int named = 0;
  for (std::string line; std::getline(in, line);) {
    unsigned byName = 0, value = 0;
    if (sscanf(line.c_str(), "constexpr int kMsg%u = %u;", &byName, &value) != 2) continue;
    ++named;
    EXPECT_EQ(byName, value) << line;
    EXPECT_EQ(identifiedNumber(text(static_cast<int>(value))), static_cast<int>(value)) << line;
  }
  EXPECT_GE(named, 100);
}

TEST_F(BuiltCatalog, InsertsMatchWhatTheCallersPass) {
  // Argument lists as the calling code passes them.
  const std::map<int, std::string> expected = {
      {1036, "s,s,d,s,"}, {1107, "s,"}, {1190, "s,s,"}, {1191, "s,"}, {1192, "s,"}, {1398, "s,d,s,"},
      {1521, "s,d,s,"}, {1528, "s,"}, {1529, "s,"}, {1530, "lu,"}, {1691, "s,s,d,"}, {2036, "s,d,s,"},
      {5216, "s,d,s,d,"}, {9007, "s,s,ld,ld,ld,"}, {9082, "s,s,"}, {9084, "s,s,"}, {9085, "s,s,"},
      {9126, "s,s,s,"}, {9184, "s,s,"}, {9291, "s,s,"}, {9292, "s,s,s,s,s,"}, {9293, "s,s,"}, {9314, "s,"},
      {9316, "s,"}, {9333, "s,s,d,s,"}, {9334, "s,"}, {9340, "s,s,"}, {9341, "s,u,u,"}, {9342, "s,"},
      {9343, "s,"}, {9344, "s,"}, {9345, "s,"}, {9346, "s,llu,llu,llu,llu,"}, {9399, "s,s,s,s,s,"},
      {9457, "s,s,s,"}, {9511, "s,s,s,s,s,s,"}, {9531, "s,s,s,s,"}, {12609, "llu,"}, {1074, ""}, {9322, ""},
      {11143, ""}, {11144, ""}, {20768, "u,X,s,"}, {1812, "s,lu,"}, {9701, "s,s,"}, {9703, "s,"},
      {9704, "s,s,"}, {9707, "s,d,s,"}, {9708, "s,s,"}, {9709, "s,s,s,"}, {9710, "s,s,"}, {9714, "s,s,"},
      {9727, "s,s,d,s,"}, {9728, "llu,llu,llu,llu,llu,llu,llu,"}, {9729, ""}, {9730, "s,s,s,s,s,"},
      {9733, "s,"}, {9734, "llu,s,"}, {9735, "s,llu,llu,llu,llu,llu,llu,llu,"},
      {9736, "s,u,u,s,"}, {9737, "s,u,u,s,"},
      {9738, "s,s,"}, {9739, "s,s,s,"},
      {9760, "s,s,d,"}, {9761, "s,s,s,s,d,"}};
  for (const auto& [number, convs] : expected) EXPECT_EQ(conversions(text(number)), convs) << number;
}

TEST_F(BuiltCatalog, TheDefaultComesBackForUnknownNumbers) {
  EXPECT_STREQ(text(7777), kDefault);
  EXPECT_STREQ(text(1111), kDefault);  // the reader's own default is no catalog entry
}

TEST(MessageSourceTool, RefusesBadLines) {
  kmrtest::ScratchDir scratch;
  const std::string& dir = scratch.path();
  const std::string tool = std::string(KMR_CATALOG_DIR) + "/mkcatsrc";
  auto run = [&](const std::string& source) {
    nlstest::writeFile(dir + "/s.msgsrc", source);
    return system((tool + " " + dir + "/s.msgsrc " + dir + "/out.msg 2>/dev/null").c_str());
  };
  EXPECT_EQ(run("# comment\n1107 E Text %s\\n\n"), 0);
  EXPECT_NE(nlstest::readFile(dir + "/out.msg").find("1107 BQF1107E \\001Text %s\\n\n"), std::string::npos);
  EXPECT_NE(run("1107 X Bad letter\n"), 0);
  EXPECT_NE(run("1107 E One\n1107 E Twice\n"), 0);
  EXPECT_NE(run("1107 E Bad escape \\q\n"), 0);
  EXPECT_NE(run("E 1107 Swapped\n"), 0);
}

}  // namespace
