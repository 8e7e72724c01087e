#include "zefserver/jsonl.h"

#include <limits>

namespace zef {

namespace {

class Parser {
 public:
  Parser(std::string_view s, std::string& error) : s_(s), error_(error) {}

  std::optional<std::vector<JsonMember>> object() {
    std::vector<JsonMember> members;
    skipWs();
    if (!eat('{')) return fail("expected '{'");
    skipWs();
    if (eat('}')) return finish(std::move(members));
    for (;;) {
      skipWs();
      JsonMember m;
      if (!string(m.key)) return std::nullopt;
      for (const auto& prev : members)
        if (prev.key == m.key) return fail("duplicate key \"" + m.key + "\"");
      skipWs();
      if (!eat(':')) return fail("expected ':'");
      skipWs();
      if (!value(m.value)) return std::nullopt;
      members.push_back(std::move(m));
      skipWs();
      if (eat('}')) return finish(std::move(members));
      if (!eat(',')) return fail("expected ',' or '}'");
    }
  }

 private:
  std::optional<std::vector<JsonMember>> finish(std::vector<JsonMember> m) {
    skipWs();
    if (pos_ != s_.size()) return fail("trailing text after the object");
    return m;
  }
  std::nullopt_t fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at column " + std::to_string(pos_ + 1);
    return std::nullopt;
  }
  bool failB(const std::string& what) {
    fail(what);
    return false;
  }
  void skipWs() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) ++pos_;
  }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool eatWord(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  bool value(JsonValue& v) {
    if (pos_ >= s_.size()) return failB("missing value");
    char c = s_[pos_];
    if (c == '"') {
      v.kind = JsonValue::kString;
      return string(v.str);
    }
    if (eatWord("true") || eatWord("false")) {
      v.kind = JsonValue::kBool;
      v.boolean = c == 't';
      return true;
    }
    if (c == '-' || (c >= '0' && c <= '9')) return number(v);
    if (c == '{' || c == '[') return failB("nested values are not allowed");
    return failB("invalid value");
  }

  bool number(JsonValue& v) {
    bool neg = eat('-');
    size_t start = pos_;
    uint64_t mag = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      uint64_t d = static_cast<uint64_t>(s_[pos_] - '0');
      if (mag > (std::numeric_limits<uint64_t>::max() - d) / 10) return failB("number out of range");
      mag = mag * 10 + d;
      ++pos_;
    }
    if (pos_ == start) return failB("invalid number");
    if (s_[start] == '0' && pos_ - start > 1) return failB("leading zero in a number");
    if (pos_ < s_.size() && (s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E'))
      return failB("only whole numbers are allowed");
    uint64_t limit = neg ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                         : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (mag > limit) return failB("number out of range");
    v.kind = JsonValue::kInteger;
    v.integer = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    return true;
  }

  bool hex4(uint32_t& out) {
    if (pos_ + 4 > s_.size()) return failB("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      out <<= 4;
      if (c >= '0' && c <= '9') out |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<uint32_t>(c - 'A' + 10);
      else return failB("invalid \\u escape");
    }
    return true;
  }

  static void utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool string(std::string& out) {
    if (!eat('"')) return failB("expected a string");
    out.clear();
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return failB("control character in a string");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) break;
      char e = s_[pos_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return failB("lone low surrogate");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo = 0;
            if (!eatWord("\\u") || !hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return failB("unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          utf8(out, cp);
          break;
        }
        default: return failB("invalid escape");
      }
    }
    return failB("unterminated string");
  }

  std::string_view s_;
  std::string& error_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<std::vector<JsonMember>> parseFlatObject(std::string_view line, std::string& error) {
  error.clear();
  return Parser(line, error).object();
}

}  // namespace zef
