// Trace statements: flag resolution, line composition, entry/exit lines, the
// class listing and the memory dumps.
#include "common/trace.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/trace_internal.h"

using namespace kmrtrace;

namespace {

constexpr size_t kMaxFlagToken = 1279;

bool isAlwaysOn(const unsigned char* flag) { return flag == &TR_TIMESTAMP || flag == &TR_PREFIX; }

// Resolves one name (class, aggregate or ALL, possibly negated) recursively.
int resolveName(const char* token, bool enable, bool silent, const TrClass* classes,
                const TrAggrClass* aggregates) {
  std::string name(token, strnlen(token, kMaxFlagToken));
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  bool negated = !name.empty() && name[0] == '-';
  if (negated) name.erase(0, 1);
  bool value = enable && !negated;

  if (name == "ALL") {
    for (const TrClass* c = classes; c->keyword; ++c)
      if (!isAlwaysOn(c->flag)) *c->flag = value;
    return 0;
  }
  for (const TrAggrClass* a = aggregates; a && a->name; ++a) {
    if (name != a->name) continue;
    std::string members(a->members);
    size_t pos = 0;
    while ((pos = members.find_first_not_of(' ', pos)) != std::string::npos) {
      size_t end = members.find(' ', pos);
      std::string member = members.substr(pos, end == std::string::npos ? end : end - pos);
      if (resolveName(member.c_str(), value, silent, classes, aggregates) != 0) return -1;
      pos = end;
    }
    return 0;
  }
  for (const TrClass* c = classes; c->keyword; ++c) {
    if (name == c->keyword) {
      *c->flag = value;
      return 0;
    }
  }
  if (!silent) {
    printf("Invalid trace flag: %s\n", name.c_str());
    fflush(stdout);
  }
  return -1;
}

// The length of a frame's name without its trailing white space.
int trimmedLength(const char* name) {
  size_t len = strlen(name);
  while (len && isspace(static_cast<unsigned char>(name[len - 1]))) --len;
  return static_cast<int>(len);
}

}  // namespace

int trEnable(const char* flags, bool silent, const TrClass* classes,
             const TrAggrClass* aggregates) {
  ErrnoKeeper keep;
  TraceObject& o = obj();
  if (o.firstEnablePending) {
    TR_PREFIX = 1;
    TR_TIMESTAMP = 1;
    o.firstEnablePending = false;
  }
  std::string all(flags ? flags : "");
  int rc = 0;
  size_t pos = 0;
  while (rc == 0 && (pos = all.find_first_not_of(" \t", pos)) != std::string::npos) {
    size_t end = all.find_first_of(" \t", pos);
    std::string token = all.substr(pos, end == std::string::npos ? end : end - pos);
    rc = resolveName(token.c_str(), true, silent, classes, aggregates);
    pos = end;
  }
  o.commTracing = false;
  for (const TrClass* c = classes; c->keyword; ++c)
    if (*c->flag && c->commMarker) o.commTracing = true;
  o.active = true;
  return rc;
}

int trVPrintf(const char* file, unsigned line, const char* fmt, va_list args) {
  if (!trCanOutPut()) return 0;
  ErrnoKeeper keep;
  char text[kLineBuf];
  int n = 0;
  if (TR_PREFIX) n = snprintf(text, sizeof text, "%-20s(%4u): ", file ? file : "", line);
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) n = 0;
  int body = vsnprintf(text + n, sizeof text - n, fmt, args);
  // A line longer than the buffer is cut; the trace must not allocate.
  if (body > 0) n += body;
  outStep(text);
  return n;
}

int trPrintf(const char* file, unsigned line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = trVPrintf(file, line, fmt, ap);
  va_end(ap);
  return n;
}

void trPrint(const char* fmt, ...) {
  if (!trCanOutPut()) return;
  ErrnoKeeper keep;
  char text[kLineBuf];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  plainOut(text);
}

void TRACE_Fkt::operator()(unsigned char flag, const char* fmt, ...) const {
  if (!flag) return;
  ErrnoKeeper keep;
  va_list ap;
  va_start(ap, fmt);
  trVPrintf(file_, line_, fmt, ap);
  va_end(ap);
}

TREnterExit<char>::TREnterExit(const char* file, unsigned line, const char* name)
    : file_(file), line_(line), name_(name ? name : "") {
  if (!TR_ENTER) return;
  ErrnoKeeper keep;
  trPrintf(file_, line_, "ENTER =====> %.*s\n", trimmedLength(name_), name_);
}

TREnterExit<char>::~TREnterExit() {
  if (!TR_EXIT) return;
  ErrnoKeeper keep;
  trPrintf(file_, line_, "EXIT  <===== %.*s\n", trimmedLength(name_), name_);
}

void trQuery() {
  ErrnoKeeper keep;
  bool any = false;
  for (const TrClass* c = ClassTable; c->keyword; ++c) any = any || *c->flag;
  if (!any) {
    outStep("\nNone\n\nTracing not active.\n");
    return;
  }
  outStep("Current trace classes enabled: ");
  char piece[64];
  for (const TrClass* c = ClassTable; c->keyword; ++c) {
    if (!*c->flag) continue;
    snprintf(piece, sizeof piece, " %s", c->keyword);
    plainOut(piece);
  }
  plainOut("\n\n");
}

void trQueryTraceFlags() {
  ErrnoKeeper keep;
  printf("Trace Class Table:\n");
  for (const TrClass* c = ClassTable; c->keyword; ++c)
    printf("%s%s", c->keyword, c[1].keyword ? ", " : "\n");
  printf("Trace Aggregate Table:\n");
  for (const TrAggrClass* a = AggrTable; a->name; ++a) printf("%s = %s\n", a->name, a->members);
  fflush(stdout);
}

namespace {

// Addresses print as %p right-justified in 8 columns; glibc has no "%08p".
std::string addressText(const unsigned char* p) {
  char raw[32], out[40];
  snprintf(raw, sizeof raw, "%p", static_cast<const void*>(p));
  snprintf(out, sizeof out, "%8s", raw);
  return out;
}

}  // namespace

void trPrintFormattedDump(const void* address, unsigned length, unsigned bytesPerRow) {
  if (!trCanOutPut()) return;
  ErrnoKeeper keep;
  const auto* bytes = static_cast<const unsigned char*>(address);
  if (bytesPerRow == 0) bytesPerRow = 16;
  std::string text = "\nDumping Memory Range " + addressText(bytes) + " - " +
                     addressText(bytes + length) + " (" + std::to_string(length) + " Bytes)\n\n";
  if (length) text += "\n\n" + addressText(bytes) + ": ";
  char hex[8];
  for (unsigned i = 0; i < length; i += bytesPerRow) {
    unsigned row = length - i < bytesPerRow ? length - i : bytesPerRow;
    for (unsigned j = 0; j < row; ++j) {
      snprintf(hex, sizeof hex, "%02X ", bytes[i + j]);
      text += hex;
    }
    text.append(3 * (bytesPerRow - row), ' ');
    text += "    ";
    for (unsigned j = 0; j < row; ++j)
      text += isgraph(bytes[i + j]) ? static_cast<char>(bytes[i + j]) : '.';
    if (i + bytesPerRow < length) text += "\n" + addressText(bytes + i + bytesPerRow) + ": ";
  }
  text += "\n\n";
  plainOut(text.c_str());
}

void trPrintStr(const char* bytes, unsigned length, int characterForm) {
  if (!trCanOutPut()) return;
  ErrnoKeeper keep;
  std::string text;
  char hex[8];
  for (unsigned i = 0; i < length; ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (characterForm) {
      text += isprint(b) ? static_cast<char>(b) : '.';
    } else {
      snprintf(hex, sizeof hex, "%02X", b);
      text += hex;
    }
  }
  text += "\n";
  plainOut(text.c_str());
}
