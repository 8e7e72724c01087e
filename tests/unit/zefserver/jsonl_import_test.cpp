// The flat JSON reader and the lines of zefadm import.
#include <gtest/gtest.h>

#include "zefserver/adm.h"
#include "zefserver/jsonl.h"

namespace zef {
namespace {

TEST(FlatJson, ValuesEscapesAndOrder) {
  std::string err;
  auto m = parseFlatObject(R"( {"a":"x\"\\\/\n\u00e9\ud83d\ude00", "n":-12, "big":9223372036854775807, "t":true,"f":false} )", err);
  ASSERT_TRUE(m) << err;
  ASSERT_EQ(m->size(), 5u);
  EXPECT_EQ((*m)[0].value.str, "x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ((*m)[1].value.integer, -12);
  EXPECT_EQ((*m)[2].value.integer, INT64_MAX);
  EXPECT_TRUE((*m)[3].value.boolean);
  EXPECT_FALSE((*m)[4].value.boolean);
  EXPECT_TRUE(parseFlatObject("{}", err));
}

TEST(FlatJson, RejectsWhatTheImportMustNotGuess) {
  const char* bad[] = {
      R"({"a":1,"a":2})",        R"({"a":{"b":1}})", R"({"a":[1]})",     R"({"a":1.5})",
      R"({"a":1e3})",            R"({"a":01})",      R"({"a":9223372036854775808})",
      R"({"a":"x)",              R"({"a":1} x)",     R"({"a" 1})",       R"({"a":1,})",
      R"({"a":"\ud800"})",       R"({"a":"\q"})",    "{\"a\":\"tab\there\"}", R"({"a":nul})",
      R"(["a"])",                ""};
  for (const char* s : bad) {
    std::string err;
    EXPECT_FALSE(parseFlatObject(s, err)) << s;
    EXPECT_FALSE(err.empty()) << s;
  }
}

// The fields themselves reach the client unchanged (checked through the
// client's reader against zefserverd); here what is not given and what is
// out of range.
TEST(ImportLine, DefaultsAliasesAndRangeChecks) {
  std::string err;
  auto r = parseImportLine(R"({"path":"/d/f","size":5000000000,"mtime":100})", 777, err);
  ASSERT_TRUE(r) << err;
  EXPECT_EQ(r->path, "/d/f");
  EXPECT_EQ(r->attrs.mtime, 100u);
  EXPECT_EQ(r->attrs.atime, 777u) << "missing times default to the import time";
  EXPECT_EQ(r->attrs.ctime, 777u);
  // (An "alias" without the leading slash, or "/", is taken: the end-to-end
  // tests import such names. "path" demands the slash.)
  const char* bad[] = {
      R"({"size":1})", R"({"path":"/a"})", R"({"path":"rel","size":1})", R"({"path":"/a","size":-1})",
      R"({"path":"/a","size":1,"uid":4294967296})", R"({"path":"/a","size":1,"owner":"x"})",
      R"({"path":"/a","size":"1"})", R"({"path":"/a","size":1,"expired":1})",
      R"({"path":"/a\u0000b","size":1})", R"({"alias":"","size":5})", R"({"alias":"a","path":"/b","size":5})",
      R"({"path":"/b","alias":"a","size":5})"};
  for (const char* s : bad) EXPECT_FALSE(parseImportLine(s, 0, err)) << s;
}

}  // namespace
}  // namespace zef
