// A small, strict parser for the flat JSON objects of zefadm's import format:
// one object per line, values are strings, integers or booleans, nothing
// nested.
//
// Contract
// - parseFlatObject() returns the members in order, or std::nullopt with
//   `error` describing the first fault (with its column). Duplicate keys,
//   nested values, fractions, exponents, numbers out of the 64-bit range and
//   trailing text are faults. Strings are returned as UTF-8; \u escapes
//   (including surrogate pairs) are converted.
// - Pure computation; any thread may call it.
#ifndef KMR_ZEFSERVER_JSONL_H
#define KMR_ZEFSERVER_JSONL_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

struct JsonValue {
  enum Kind { kString, kInteger, kBool } kind = kString;
  std::string str;
  int64_t integer = 0;
  bool boolean = false;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

std::optional<std::vector<JsonMember>> parseFlatObject(std::string_view line, std::string& error);

}  // namespace zef

#endif
