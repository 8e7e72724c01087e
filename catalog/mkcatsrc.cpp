// Turns the readable message source (kmrclientV3.msgsrc) into the input of
// the platform's gencat: "$set 1" and one line per message holding the
// identifier "BQF<number><letter>", a blank, the printf-form marker \001 and
// the text. Checks what gencat can't: number range, severity letter,
// duplicates and escapes, so that a bad source line fails the build instead
// of producing a catalog that the reader later calls corrupted.
//
// Usage: mkcatsrc <source> <gencat input to write>
// Exit status 0, or 1 with a "file:line: reason" diagnostic on stderr.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

bool validEscapes(const std::string& text, std::string* why) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') continue;
    if (i + 1 >= text.size()) {
      *why = "text ends with a lone backslash";
      return false;
    }
    char c = text[i + 1];
    if (c == 'n' || c == 't' || c == '\\') {
      ++i;
    } else if (c >= '0' && c <= '7') {
      size_t j = i + 1;
      while (j < text.size() && j < i + 4 && text[j] >= '0' && text[j] <= '7') ++j;
      i = j - 1;
    } else {
      *why = std::string("unknown escape \\") + c;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <message source> <gencat input>\n", argv[0]);
    return 1;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    fprintf(stderr, "%s: cannot open\n", argv[1]);
    return 1;
  }
  std::ostringstream out;
  out << "$ Generated from " << argv[1] << "; edit that file, not this one.\n$set 1\n";
  std::set<long> seen;
  std::string line;
  const std::string letters = "ZTRKIWESL";
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    if (line.empty() || line[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      fprintf(stderr, "%s:%d: %s\n", argv[1], lineNo, why.c_str());
      return 1;
    };
    size_t digits = 0;
    while (digits < line.size() && isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
    if (digits == 0 || digits > 5) return fail("a line must begin with a message number of 1 to 5 digits");
    long number = std::stol(line.substr(0, digits));
    if (number < 1 || number > 65535) return fail("message number outside 1..65535");
    if (!seen.insert(number).second) return fail("message number defined twice");
    if (line.size() < digits + 4 || line[digits] != ' ' || line[digits + 2] != ' ')
      return fail("expected '<number> <severity> <text>'");
    char severity = line[digits + 1];
    if (letters.find(severity) == std::string::npos) return fail("severity must be one of Z T R K I W E S L");
    std::string text = line.substr(digits + 3);
    std::string why;
    if (!validEscapes(text, &why)) return fail(why);
    char id[16];
    snprintf(id, sizeof id, "BQF%04ld%c", number, severity);
    out << number << ' ' << id << " \\001" << text << '\n';
  }
  std::ofstream result(argv[2], std::ios::trunc);
  result << out.str();
  if (!result.flush()) {
    fprintf(stderr, "%s: cannot write\n", argv[2]);
    return 1;
  }
  return 0;
}
