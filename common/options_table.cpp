// Keyword lookup, the option table and the general validation of one value.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/options.h"
#include "common/rc.h"

// ---- keyword lookup ------------------------------------------------------------

bool Abbrev(const char* name, const char* keyword, size_t minLen) {
  size_t n = strlen(name);
  return n >= minLen && n >= 1 && n <= strlen(keyword) && strncmp(name, keyword, n) == 0;
}

const optSharedOptionTableEntry_t* optLookupKeyword(const char* name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i + 1 < optSharedTableRows; ++i) {
    const optSharedOptionTableEntry_t& row = optSharedTable[i];
    if (Abbrev(upper.c_str(), row.keyword, row.minAbbrev)) return &row;
  }
  return nullptr;
}

namespace {

// Index of the keyword table by id, built once.
const std::array<const char*, OPT_END + 1>& keywordIndex() {
  static const auto index = [] {
    std::array<const char*, OPT_END + 1> idx{};
    for (size_t i = 0; i < optSharedTableRows; ++i)
      if (!idx[optSharedTable[i].id]) idx[optSharedTable[i].id] = optSharedTable[i].keyword;
    return idx;
  }();
  return index;
}

}  // namespace

const char* optKeywordOf(uint16_t id) {
  const char* k = id <= OPT_END ? keywordIndex()[id] : nullptr;
  return k ? k : "";
}

// ---- the option table ------------------------------------------------------------

int optErrorLogNameCallback(clientOptions&, const optionEntry&, const char*, bool);
int optErrorLogRetentionCallback(clientOptions&, const optionEntry&, const char*, bool);
int optTraceCallback(clientOptions&, const optionEntry&, const char*, bool);
int optNameListCallback(clientOptions&, const optionEntry&, const char*, bool);

namespace {

using C = clientOptions;
constexpr uint16_t CL = OPT_PLACE_CMDLINE, SYS = OPT_PLACE_SYSFILE, USR = OPT_PLACE_USERFILE,
                   ANY = OPT_PLACE_ANY;

const optKeywordValue kPasswordAccess[] = {{"PROMPT", 1, 0}, {"GENERATE", 1, 1}, {nullptr, 0, 0}};
const optKeywordValue kCommMethod[] = {
    {"TCPIP", 3, 1}, {"V6TCPIP", 2, 2}, {"SHAREDMEM", 2, 3}, {nullptr, 0, 0}};

optionEntry text(uint16_t id, std::string C::*f, uint16_t places, uint8_t parse, int64_t minLen,
                 uint16_t maxLen, uint8_t unit = UNIT_NONE, bool prescan = false) {
  optionEntry e;
  e.id = id, e.field = f, e.places = places, e.parseKind = parse, e.minimum = minLen;
  e.maximum = maxLen, e.maxTextLen = maxLen, e.unit = unit, e.prescan = prescan;
  return e;
}

template <typename T>
optionEntry number(uint16_t id, T C::*f, uint16_t places, int64_t min, int64_t max, int64_t def,
                   uint8_t unit = UNIT_PLAIN, bool prescan = false) {
  optionEntry e;
  e.id = id, e.field = f, e.places = places, e.parseKind = PARSE_NUMBER, e.minimum = min;
  e.maximum = max, e.defaultNumber = def, e.unit = unit, e.prescan = prescan;
  return e;
}

optionEntry toggle(uint16_t id, uint8_t C::*f, uint16_t places, int64_t def) {
  optionEntry e;
  e.id = id, e.field = f, e.places = places, e.parseKind = PARSE_TOGGLE, e.defaultNumber = def;
  return e;
}

optionEntry own(optionEntry e, optValidateFn fn) {
  e.parseKind = PARSE_OWN;
  e.validate = fn;
  return e;
}

// The rows of the options this command reads. Every other option id gets a
// free-text row that keeps the value in otherOptions without effect.
std::vector<optionEntry> knownRows() {
  std::vector<optionEntry> r;
  r.push_back(text(OPT_SERVERNAME, &C::serverName, SYS | USR, PARSE_TOKEN, 1, 64, UNIT_NONE, true));
  r.push_back(text(OPT_DEFAULTSERVER, &C::defaultServer, ANY, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_MIGRATESERVER, &C::migrateServer, ANY, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_TCPSERVERADDRESS, &C::tcpServerAddress, CL | SYS, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_NODENAME, &C::nodeName, CL | SYS, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_ASNODENAME, &C::asNodeName, CL | SYS, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_VIRTUALNODENAME, &C::virtualNodeName, CL | SYS, PARSE_TOKEN, 1, 64));
  r.push_back(text(OPT_PASSWORD, &C::password, CL | SYS, PARSE_TOKEN_KEPT, 1, 64));
  r.push_back(text(OPT_PASSWORDDIR, &C::passwordDir, CL | SYS, PARSE_PATH, 1, 1023, UNIT_CASE_KEPT));
  r.push_back(text(OPT_ERRORPROG, &C::errorProg, ANY, PARSE_PATH, 1, 127, UNIT_CASE_KEPT));
  r.push_back(text(OPT_OPTFILE, &C::optFile, CL | SYS, PARSE_PATH, 1, 1279, UNIT_CASE_KEPT, true));
  r.push_back(text(OPT_LANGUAGE, &C::language, CL | USR, PARSE_TOKEN_KEPT, 1, 1024, UNIT_CASE_KEPT,
                   true));
  r.push_back(
      text(OPT_SCHEDLOGNAME, &C::schedLogName, CL | SYS, PARSE_TOKEN_KEPT, 1, 1279, UNIT_CASE_KEPT));
  r.push_back(
      text(OPT_AUDITLOGNAME, &C::auditLogName, CL | SYS, PARSE_TOKEN_KEPT, 1, 1279, UNIT_CASE_KEPT));

  r.push_back(number(OPT_TCPPORT, &C::tcpPort, CL | SYS, 1, 32767, 1500));
  r.push_back(number(OPT_TCPBUFFSIZE, &C::tcpBuffSize, CL | SYS, 1, 512, 32768, UNIT_KB));
  r.push_back(number(OPT_TCPWINDOWSIZE, &C::tcpWindowSize, CL | SYS, 0, 2048, 64512, UNIT_KB));
  r.push_back(number(OPT_COMMRESTARTDURATION, &C::commRestartDuration, CL | SYS, 0, 9999, 60));
  r.push_back(number(OPT_COMMRESTARTINTERVAL, &C::commRestartInterval, CL | SYS, 0, 65535, 15));
  r.push_back(
      number(OPT_TXNBYTELIMIT, &C::txnByteLimit, CL | SYS, 300, 2097152, 25600 * 1024, UNIT_KB));
  r.push_back(number(OPT_ERRORLOGMAX, &C::errorLogMax, CL | SYS, 0, 2047, 0, UNIT_MB, true));
  r.push_back(number(OPT_DATEFORMAT, &C::dateFormat, CL | USR, 1, 5, 0, UNIT_PLAIN, true));
  r.push_back(number(OPT_TIMEFORMAT, &C::timeFormat, CL | USR, 1, 4, 0, UNIT_PLAIN, true));
  r.push_back(number(OPT_NUMBERFORMAT, &C::numberFormat, CL | USR, 1, 6, 0, UNIT_PLAIN, true));
  r.push_back(number(OPT_TRACEMAX, &C::traceMax, CL | USR, 0, 4294967295LL, 0, UNIT_PLAIN, true));
  r.push_back(number(OPT_TRACESEGSIZE, &C::traceSegSize, CL | USR, 0, 1000, 0, UNIT_PLAIN, true));
  r.push_back(number(OPT_RECONCILEINTERVAL, &C::reconcileInterval, ANY, 0, 9999, 24));
  r.push_back(number(OPT_CANDIDATESINTERVAL, &C::candidatesInterval, SYS, 0, 9999, 1));
  r.push_back(number(OPT_MAXRECONCILEPROC, &C::maxReconcileProc, ANY, 1, 99, 3));
  // 0, the default, stands for the number of online processors, at most 8.
  r.push_back(number(OPT_RECREATEWORKERS, &C::recreateWorkers, ANY, 1, 64, 0));
  r.push_back(number(OPT_MIGFILEEXPIRATION, &C::migFileExpiration, ANY, 0, 9999, 7));
  r.push_back(number(OPT_CHECKTHRESHOLDS, &C::checkThresholds, ANY, 1, 9999, 5));
  r.push_back(number(OPT_MAXTHRESHOLDPROC, &C::maxThresholdProc, ANY, 1, 99, 3));
  r.push_back(number(OPT_MINRECALLDAEMONS, &C::minRecallDaemons, ANY, 1, 99, 3));
  r.push_back(number(OPT_MAXRECALLDAEMONS, &C::maxRecallDaemons, ANY, 2, 999, 20));
  r.push_back(number(OPT_MINMIGFILESIZE, &C::minMigFileSize, ANY, 0, 2147483647LL, 0));
  r.push_back(number(OPT_MAXMIGRATORS, &C::maxMigrators, ANY, 1, 20, 1));
  r.push_back(number(OPT_MAXCANDPROCS, &C::maxCandProcs, ANY, 2, 20, 5));
  r.push_back(number(OPT_SUBDIR, &C::subdir, ANY, 0, 2, 2));

  r.push_back(toggle(OPT_TCPNODELAY, &C::tcpNoDelay, CL | SYS, 1));
  r.push_back(toggle(OPT_SSL, &C::ssl, CL | SYS, 0));
  r.push_back(text(OPT_SSLSERVERPIN, &C::sslServerPin, CL | SYS, PARSE_TOKEN_KEPT, 1, 1023, UNIT_CASE_KEPT));
  r.push_back(toggle(OPT_LARGECOMMBUFFERS, &C::largeCommBuffers, CL | SYS, 0));
  r.push_back(toggle(OPT_USELARGEBUFFERS, &C::largeCommBuffers, CL | SYS, 0));
  r.push_back(toggle(OPT_ENABLELANFREE, &C::enableLanFree, CL | SYS, 0));
  r.push_back(toggle(OPT_CLUSTERNODE, &C::clusterNode, CL | SYS, 0));
  r.push_back(toggle(OPT_OVERLAPRECALL, &C::overlapRecall, ANY, 0));
  r.push_back(toggle(OPT_CHECKFORORPHANS, &C::checkForOrphans, ANY, 0));
  r.push_back(toggle(OPT_KERNELMESSAGES, &C::kernelMessages, ANY, 1));
  r.push_back(toggle(OPT_HSMEXTOBJIDATTR, &C::hsmExtObjIdAttr, USR, 0));
  r.push_back(toggle(OPT_HSMRESTORESETID, &C::hsmRestoreSetId, USR, 0));
  r.push_back(toggle(OPT_HSMDISABLEAUTOMIGDAEMONS, &C::hsmDisableAutoMigDaemons, ANY, 0));
  r.push_back(toggle(OPT_HSMEVENTDESTROY, &C::hsmEventDestroy, ANY, 0));

  optionEntry pa;
  pa.id = OPT_PASSWORDACCESS, pa.field = &C::passwordAccess, pa.places = CL | SYS;
  pa.parseKind = PARSE_KEYWORD, pa.choices = kPasswordAccess;
  r.push_back(pa);
  optionEntry cm = pa;
  cm.id = OPT_COMMMETHOD, cm.field = &C::commMethod, cm.choices = kCommMethod, cm.defaultNumber = 1;
  r.push_back(cm);

  r.push_back(own(text(OPT_ERRORLOGNAME, &C::errorLogName, CL | SYS, PARSE_OWN, 1, 1279,
                       UNIT_CASE_KEPT, true),
                  optErrorLogNameCallback));
  r.push_back(own(number(OPT_ERRORLOGRETENTION, &C::errorLogRetention, CL | SYS, 0, 9999, 10000,
                         UNIT_PLAIN, true),
                  optErrorLogRetentionCallback));
  r.push_back(own(text(OPT_TRACEFILE, &C::traceFile, CL | USR, PARSE_OWN, 1, 1024, UNIT_CASE_KEPT,
                       true),
                  optTraceCallback));
  r.push_back(own(text(OPT_TRACEFLAGS, &C::traceFlags, ANY, PARSE_OWN, 1, 1024, UNIT_CASE_KEPT, true),
                  optTraceCallback));
  r.push_back(own(text(OPT_TFLAGS, &C::traceFlags, ANY, PARSE_OWN, 1, 1024, UNIT_CASE_KEPT, true),
                  optTraceCallback));
  r.push_back(own(text(OPT_TESTFLAGS, &C::testFlags, ANY, PARSE_OWN, 1, 1279, UNIT_CASE_KEPT, true),
                  optTraceCallback));
  r.push_back(own(text(OPT_USERS, &C::users, CL | SYS, PARSE_OWN, 1, 0xFFFF), optNameListCallback));
  r.push_back(own(text(OPT_GROUPS, &C::groups, CL | SYS, PARSE_OWN, 1, 0xFFFF), optNameListCallback));
  return r;
}

// Index = id. Rows of the options this command doesn't read take any value.
const std::vector<optionEntry>& optionTable() {
  static const std::vector<optionEntry> table = [] {
    std::vector<optionEntry> t(OPT_LAST_OPTION + 1);
    for (uint16_t id = 1; id <= OPT_LAST_OPTION; ++id) t[id].id = id;
    for (const optionEntry& e : knownRows()) t[e.id] = e;
    return t;
  }();
  return table;
}

// ---- storing ---------------------------------------------------------------------

bool storeNumber(clientOptions& o, const OptField& f, int64_t v) {
  return std::visit(
      [&](auto member) {
        using M = decltype(member);
        if constexpr (std::is_same_v<M, std::monostate> ||
                      std::is_same_v<M, std::string clientOptions::*>) {
          return false;
        } else {
          o.*member = static_cast<std::remove_reference_t<decltype(o.*member)>>(v);
          return true;
        }
      },
      f);
}

void storeText(clientOptions& o, const optionEntry& row, const std::string& v) {
  if (auto p = std::get_if<std::string clientOptions::*>(&row.field))
    o.**p = v;
  else
    o.otherOptions[row.id] = v;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// The whole token is a decimal number (an optional leading minus when
// `allowSign`). Stores it in *out.
bool parseWhole(const char* s, bool allowSign, int64_t* out) {
  const char* p = s;
  if (allowSign && (*p == '-' || *p == '+')) ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  for (const char* q = p; *q; ++q)
    if (!isdigit(static_cast<unsigned char>(*q))) return false;
  errno = 0;
  long long v = strtoll(s, nullptr, 10);
  if (errno == ERANGE) return false;
  *out = v;
  return true;
}

int parseToggle(const char* v, int64_t* out) {
  static const char* const yes[] = {"YES", "Y", "TRUE", "ON", "1"};
  static const char* const no[] = {"NO", "N", "FALSE", "OFF", "0"};
  for (const char* y : yes)
    if (strcasecmp(v, y) == 0) return *out = 1, 0;
  for (const char* n : no)
    if (strcasecmp(v, n) == 0) return *out = 0, 0;
  return RC_OPT_INVALID;
}

// A token in double quotes loses them; a lone or unbalanced quote is 402.
int unquote(const char* v, std::string* out) {
  size_t n = strlen(v);
  if (n > 0 && v[0] == '"') {
    if (n < 2 || v[n - 1] != '"') return RC_OPT_BAD_QUOTE;
    out->assign(v + 1, n - 2);
  } else {
    out->assign(v);
  }
  return 0;
}

int applyNumber(clientOptions& o, const optionEntry& row, const char* v, bool apply) {
  int64_t n = 0;
  if (!parseWhole(v, row.minimum < 0, &n) || n < row.minimum || n > row.maximum) return RC_OPT_INVALID;
  if (row.unit == UNIT_KB) n *= 1024;
  if (row.unit == UNIT_MB) n *= 1048576;
  if (apply && !storeNumber(o, row.field, n)) o.otherOptions[row.id] = std::to_string(n);
  return 0;
}

}  // namespace

const optionEntry* optFindEntry(uint16_t id) {
  if (id == OPT_NONE || id > OPT_LAST_OPTION) return nullptr;
  return &optionTable()[id];
}

int optGeneralCallback(clientOptions& o, const optionEntry& row, const char* value, bool apply) {
  const bool empty = value == nullptr || *value == '\0';
  if (row.unit == UNIT_NO_VALUE) return empty ? 0 : RC_OPT_INVALID;
  if (empty && row.parseKind != PARSE_FREE && row.parseKind != PARSE_OWN_OPTIONAL) return RC_OPT_INVALID;
  const bool keepCase = row.unit == UNIT_CASE_KEPT || row.parseKind == PARSE_TOKEN_KEPT ||
                        row.parseKind == PARSE_PATH;
  std::string s;
  switch (row.parseKind) {
    case PARSE_FREE:
      if (apply) storeText(o, row, empty ? "" : value);
      return 0;
    case PARSE_TEXT:
      if (strlen(value) > row.maxTextLen) return RC_OPT_INVALID;
      if (apply) storeText(o, row, keepCase ? value : upper(value));
      return 0;
    case PARSE_TOKEN:
    case PARSE_TOKEN_KEPT:
    case PARSE_PATH: {
      if (int rc = unquote(value, &s)) return rc;
      const int64_t len = static_cast<int64_t>(s.size());
      if (len < row.minimum || len > row.maxTextLen) return RC_OPT_INVALID;
      if (row.parseKind == PARSE_PATH && s[0] != '/') return RC_OPT_INVALID;
      if (apply) storeText(o, row, keepCase ? s : upper(s));
      return 0;
    }
    case PARSE_TOGGLE: {
      int64_t b = 0;
      if (parseToggle(value, &b)) return RC_OPT_INVALID;
      if (apply) storeNumber(o, row.field, b);
      return 0;
    }
    case PARSE_SIGNED: {
      int64_t n = 0;
      if (!parseWhole(value, true, &n)) return RC_OPT_INVALID;
      if (apply) storeNumber(o, row.field, n);
      return 0;
    }
    case PARSE_NUMBER:
      return applyNumber(o, row, value, apply);
    case PARSE_KEYWORD: {
      const std::string u = upper(value);
      for (const optKeywordValue* k = row.choices; k && k->keyword; ++k)
        if (Abbrev(u.c_str(), k->keyword, k->minAbbrev)) {
          if (apply) storeNumber(o, row.field, k->value);
          return 0;
        }
      return RC_OPT_INVALID;
    }
    default:
      return RC_OPT_INVALID;
  }
}

clientOptions::clientOptions(int type, uint32_t mode) : clientType(type), modeBits(mode) {
  for (uint16_t id = 1; id <= OPT_LAST_OPTION; ++id) {
    const optionEntry& row = optionTable()[id];
    if (std::holds_alternative<std::string clientOptions::*>(row.field))
      this->*std::get<std::string clientOptions::*>(row.field) = row.defaultText ? row.defaultText : "";
    else
      storeNumber(*this, row.field, row.defaultNumber);
  }
  errorLogSaveFlag = 'D';
}
