#include "common/showable.h"

namespace {

void appendOctal(std::string* out, unsigned char c) {
  out->push_back('\\');
  out->push_back(static_cast<char>('0' + ((c >> 6) & 7)));
  out->push_back(static_cast<char>('0' + ((c >> 3) & 7)));
  out->push_back(static_cast<char>('0' + (c & 7)));
}

}  // namespace

std::string clShowable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      appendOctal(&out, c);
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      appendOctal(&out, c);
      appendOctal(&out, static_cast<unsigned char>(text[++i]));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}
