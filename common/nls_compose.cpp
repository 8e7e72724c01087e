// Message bodies: undoing the catalog's NUL encoding and inserting the
// arguments, in the printf form or in the ordered form that lets a
// translation put the inserts in another order than the call's.
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/nls_reader.h"
#include "common/trace.h"

namespace {

constexpr char kNulCode = 0x10;
constexpr size_t kMaxText = 4861;

// One insert slot of an ordered-form body.
struct Slot {
  int extraInts = 0;      // arguments consumed by "*" width and precision
  int type = 0;           // 3 = floating point; else by the conversion
  std::string fragment;   // printf fragment, e.g. "%-10s"
};

// The length modifier and conversion of a printf fragment.
struct Conversion {
  std::string length;
  char conversion = 0;
};

Conversion conversionOf(const std::string& fragment) {
  Conversion c;
  size_t i = fragment.find('%');
  if (i == std::string::npos) return c;
  for (++i; i < fragment.size() && strchr("-+ #0'123456789.*", fragment[i]); ++i) {
  }
  while (i < fragment.size() && strchr("hlLqjzt", fragment[i])) c.length += fragment[i++];
  if (i < fragment.size()) c.conversion = fragment[i];
  return c;
}

template <typename T>
std::string formatOne(const std::string& fragment, int extra, const int* star, T value) {
  char buf[kMaxText + 1];
  const char* f = fragment.c_str();
  int n = extra == 0   ? snprintf(buf, sizeof buf, f, value)
          : extra == 1 ? snprintf(buf, sizeof buf, f, star[0], value)
                       : snprintf(buf, sizeof buf, f, star[0], star[1], value);
  return n < 0 ? std::string() : std::string(buf);
}

// A wide string for an "ls" fragment: characters without a multibyte form
// become "_" so that one odd character doesn't lose the whole insert.
std::string narrowed(const wchar_t* wide) {
  std::string out;
  if (!wide) return "(null)";
  mbstate_t state{};
  char mb[MB_LEN_MAX];
  for (; *wide; ++wide) {
    size_t n = wcrtomb(mb, *wide, &state);
    if (n == static_cast<size_t>(-1)) {
      out += '_';
      state = mbstate_t{};
    } else {
      out.append(mb, n);
    }
  }
  return out;
}

std::string formatSlot(const Slot& slot, va_list* args) {
  int star[2] = {0, 0};
  for (int i = 0; i < slot.extraInts && i < 2; ++i) star[i] = va_arg(*args, int);
  const int extra = slot.extraInts < 0 ? 0 : (slot.extraInts > 2 ? 2 : slot.extraInts);
  Conversion c = conversionOf(slot.fragment);
  if (slot.type == 3 || strchr("eEfFgGaA", c.conversion ? c.conversion : ' '))
    return formatOne(slot.fragment, extra, star, va_arg(*args, double));
  if (c.conversion == 's' && c.length == "l") {
    std::string fragment = slot.fragment;
    fragment.erase(fragment.find("ls"), 1);
    return formatOne(fragment, extra, star, narrowed(va_arg(*args, const wchar_t*)).c_str());
  }
  if (c.conversion == 's') return formatOne(slot.fragment, extra, star, va_arg(*args, const char*));
  if (c.conversion == 'p') return formatOne(slot.fragment, extra, star, va_arg(*args, void*));
  if (c.length == "ll" || c.length == "q" || c.length == "j")
    return formatOne(slot.fragment, extra, star, va_arg(*args, long long));
  if (c.length == "l" || c.length == "z" || c.length == "t")
    return formatOne(slot.fragment, extra, star, va_arg(*args, long));
  return formatOne(slot.fragment, extra, star, va_arg(*args, int));
}

// Reads a NUL-terminated piece at pos (the end of the body also ends one).
bool readPiece(const std::string& body, size_t* pos, std::string* piece) {
  if (*pos > body.size()) return false;
  size_t end = body.find('\0', *pos);
  if (end == std::string::npos) end = body.size();
  piece->assign(body, *pos, end - *pos);
  *pos = end + 1;
  return true;
}

// Ordered form: byte 5 holds the insert count n, bytes 6.. the slot of each
// call argument, then n slot descriptors and n+1 literal pieces.
std::string insertOrdered(const std::string& body, va_list args) {
  if (body.size() < 5) return std::string();
  const size_t n = static_cast<unsigned char>(body[4]);
  if (body.size() < 5 + n) return std::string();
  std::vector<int> slotOfArg(n);
  std::vector<bool> used(n, false);
  for (size_t k = 0; k < n; ++k) {
    int slot = static_cast<unsigned char>(body[5 + k]);
    if (slot < 1 || static_cast<size_t>(slot) > n || used[slot - 1]) {
      TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "Ordered message body has a bad slot number %d\n", slot);
      return std::string();
    }
    used[slot - 1] = true;
    slotOfArg[k] = slot;
  }
  size_t pos = 5 + n;
  std::vector<Slot> slots(n);
  for (Slot& s : slots) {
    if (pos + 2 > body.size()) return std::string();
    s.extraInts = static_cast<unsigned char>(body[pos]);
    s.type = static_cast<unsigned char>(body[pos + 1]);
    pos += 2;
    if (!readPiece(body, &pos, &s.fragment)) return std::string();
  }
  std::vector<std::string> pieces(n + 1);
  for (std::string& p : pieces)
    if (!readPiece(body, &pos, &p)) p.clear();
  std::vector<std::string> inserts(n);
  va_list copy;
  va_copy(copy, args);
  for (size_t k = 0; k < n; ++k) inserts[slotOfArg[k] - 1] = formatSlot(slots[slotOfArg[k] - 1], &copy);
  va_end(copy);
  std::string out = pieces[0];
  for (size_t i = 0; i < n; ++i) out += inserts[i] + pieces[i + 1];
  if (out.size() > kMaxText) out.resize(kMaxText);
  return out;
}

}  // namespace

void nlDecodeBody(std::string& body) {
  if (body.empty()) return;
  if (body[0] == 0x01) {
    for (char& c : body)
      if (c == kNulCode) c = '\0';
    return;
  }
  if (body[0] == kNulCode) body[0] = '\0';
  const unsigned char flags = body.size() > 1 ? static_cast<unsigned char>(body[1]) : 0;
  const unsigned char bitOf[] = {0x08, 0x04, 0x02};
  for (size_t i = 2; i < 5 && i < body.size(); ++i)
    if (body[i] == kNulCode && (flags & bitOf[i - 2])) body[i] = '\0';
  for (size_t i = 5; i < body.size(); ++i)
    if (body[i] == kNulCode) body[i] = '\0';
}

std::string nlInsert(const std::string& body, va_list args) {
  if (body.empty()) return std::string();
  if (body[0] == 0x01) {
    char buf[kMaxText + 1];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(buf, sizeof buf, body.c_str() + 1, copy);
    va_end(copy);
    return n < 0 ? std::string() : std::string(buf);
  }
  if (body[0] == '\0') return insertOrdered(body, args);
  return std::string();
}
