// The keyword tables of the trace facility: trace classes, aggregates and
// test flags, with the TESTFLAGS parser.
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/trace_internal.h"

#define TR_CLASS(keyword, flag, comm) unsigned char TR_##flag = 0;
#include "common/trace_classes.inc"
#undef TR_CLASS

const TrClass ClassTable[] = {
#define TR_CLASS(keyword, flag, comm) {#keyword, &TR_##flag, comm},
#include "common/trace_classes.inc"
#undef TR_CLASS
    {nullptr, nullptr, 0}};

// Aggregates are searched before classes. The two database-agent aggregates
// stand between ALL_NAS and ALL_PROC.
const TrAggrClass AggrTable[] = {
    {"ALL_API", "API API_DETAIL"},
    {"ALL_BACK", "INCR TXN POLICY PFM PFM_DETAIL"},
    {"ALL_COMPRESS", "COMPRESS COMPRESS_DETAIL"},
    {"ALL_CACHEDB", "BACACHE CACHEDB BTREEDB BACACHEMIGR"},
    {"ALL_FILE", "DIROPS FILEOPS FIOATTRIBS OFSFILENAME"},
    {"ALL_IMAGE",
     "IMAGE APPL API API_DETAIL DISKMAP DISKMAP_DETAIL IMAGETHREAD IMAGE_DETAIL SNAPSHOT "
     "SNAPSHOT_DETAIL SNAPSHOT_DRIVER SNAPSHOT_DRIVER_DETAIL"},
    {"ALL_JBB",
     "JBBSERVICE JBBDAEMON JBBFILEMON JBBDBACCESS JBBFSNOTIFY JBBNPCOMM JBBVERBINFO JBBDBINFO "
     "JBBCOMM JBBQUERY"},
    {"ALL_FMDB", "FMDBNPDB FMDBFSDB FMDBOBJDB FMDB"},
    {"ALL_NAS", "NAS NAS_DETAIL APPL API API_DETAIL"},
    {"ALL_DBAGENT", "DBAGENT DBAGENT_API DBAGENT_COMM"},
    {"ALL_DBAGENT_DETAIL", "ALL_DBAGENT DBAGENT_DETAIL DBAGENT_PERF"},
    {"ALL_PROC", "ALL_BACK ALL_FILE ALL_SESS"},
    {"ALL_SESS", "SESSION VERBINFO SESSVERB VERBADMIN VERBDETAIL C2C"},
    {"ALL_SNAPSHOT", "SNAPSHOT SNAPSHOT_DETAIL SNAPSHOT_DRIVER SNAPSHOT_DRIVER_DETAIL"},
    {"ALL_VSS",
     "VSS OBJENUM ALL_SNAPSHOT SBRM C2C RESTFILECOPY RESTORE UTIL HCI HCI_DETAIL GROUPS DISKMAP "
     "DISKMAP_DETAIL WIN2K LPM"},
    {"DEVELOP", "SERVICE -TIMESTAMP"},
    {"MOBILE", "DELTA ENCRYPT -TIMESTAMP"},
    {"NETWARE", "SMSDEBUG SMS_DETAIL TXN TID"},
    {"OPTIONS", "CONFIG"},
    {"PERFORM", "CONFIG STATS"},
    {"SERVICE",
     "ALL -NLS -COMMDETAIL -COMMFULL -DIRDETAIL -MEMORY -MEMDETAIL -VERBDETAIL -MAC_DETAIL "
     "-INCLEXCL_DETAIL -CLIENTTYPE -PROXY_DETAIL -EXTRC_DETAIL -DEBUG -PFM_DETAIL -VSS_DETAIL "
     "-XATTR_DETAIL -WF30517 -BTREEDB -EDITOR -CACHEDB -DBPERF -EXCLUDECACHE -SMSIGNALHANDLER"},
    {"SCHEDULER", "SERVICE -THREAD_STATUS -PFM -PFM_DETAIL INCLEXCL_DETAIL"},
    {"SUBFILE", "DELTA DELTASTAT TXN"},
    {"SMALL",
     "SM SMLOG SMVERBOSE SMSIGNALHANDLER SMXDSM SMXDSMDETAIL SMSESS SMSCOUT SMSCOUTDETAIL "
     "SMSCOUTSEARCH SMSCOUTSEARCHDETAIL SMSCOUTSCAN SMSCOUTSCANDETAIL SMSCOUTQUERY "
     "SMSCOUTQUERYDETAIL SMSCOUTCOMM SMSCOUTCOMMDISPATCHER SMSCOUTCOMMCALLER SMSCOUTCOMMSOAP "
     "SMSCOUTHASHTABLE SMSCOUTHASHTABLEDETAIL SMRECONCILE SMRECONCILEDETAIL SMEXCEPTION "
     "SMAUTOMIG SMAUTOMIGDETAIL SMFSTABLE SMFSTABLEDETAIL"},
    {nullptr, nullptr}};

#define TEST_FLAG(keyword, var) TestFlag TEST_##var;
#include "common/trace_testflags.inc"
#undef TEST_FLAG

const TestClass TestClassTable[] = {
#define TEST_FLAG(keyword, var) {#keyword, &TEST_##var},
#include "common/trace_testflags.inc"
#undef TEST_FLAG
    {nullptr, nullptr}};

namespace kmrtrace {
void clearClassFlags() {
  for (const TrClass* c = ClassTable; c->keyword; ++c) *c->flag = 0;
}
}  // namespace kmrtrace

void trClearTestFlags() {
  for (const TestClass* t = TestClassTable; t->keyword; ++t) {
    free(t->flag->strValue);
    *t->flag = TestFlag{};
  }
}

namespace {

constexpr size_t kMaxToken = 1279;

// Splits the next blank-separated token off *cursor; a double-quoted text
// may hold blanks. Returns false at the end of the string.
bool nextTestToken(const char** cursor, std::string* token) {
  const char* p = *cursor;
  while (*p == ' ' || *p == '\t') ++p;
  if (!*p) return false;
  token->clear();
  bool quoted = false;
  for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
    if (*p == '"') quoted = !quoted;
    token->push_back(*p);
  }
  *cursor = p;
  return true;
}

bool parseNumber(const char* text, int32_t* value) {
  if (!*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (*end || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool parseInstrumentClasses(const char* text, int32_t* bits) {
  std::string list(text);
  size_t start = 0;
  do {
    size_t slash = list.find('/', start);
    std::string name = list.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (strcasecmp(name.c_str(), "DETAIL") == 0) *bits |= kInstrDetail;
    else if (strcasecmp(name.c_str(), "API") == 0) *bits |= kInstrApi;
    else if (strcasecmp(name.c_str(), "DBOPS") == 0) *bits |= kInstrDbOps;
    else return false;
    start = slash == std::string::npos ? std::string::npos : slash + 1;
  } while (start != std::string::npos);
  return true;
}

bool setRecord(TestFlag* flag, int32_t number, const char* text) {
  char* copy = nullptr;
  if (text && !(copy = strdup(text))) return false;
  free(flag->strValue);
  flag->set = 1;
  flag->numValue = number;
  flag->strValue = copy;
  return true;
}

// One token: NAME, NAME:number, NAME:"text" or INSTRUMENT:CLASS/CLASS.
int applyTestToken(const std::string& token) {
  if (token.size() > kMaxToken) return -1;
  size_t colon = token.find(':');
  std::string name = token.substr(0, colon);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  int32_t number = 0;
  std::string text;
  bool hasText = false;
  if (colon != std::string::npos) {
    std::string value = token.substr(colon + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      text = value.substr(1, value.size() - 2);
      hasText = true;
    } else if (!parseNumber(value.c_str(), &number) &&
               !(name == "INSTRUMENT" && parseInstrumentClasses(value.c_str(), &number))) {
      return -1;
    }
  }
  const char* textArg = hasText ? text.c_str() : nullptr;
  if (name == "ALL") {
    for (const TestClass* t = TestClassTable; t->keyword; ++t)
      if (!setRecord(t->flag, number, textArg)) return -1;
    return 0;
  }
  for (const TestClass* t = TestClassTable; t->keyword; ++t)
    if (name == t->keyword) return setRecord(t->flag, number, textArg) ? 0 : -1;
  return -1;
}

}  // namespace

int trProcTestFlags(const char* flags) {
  kmrtrace::ErrnoKeeper keep;
  std::string token;
  const char* cursor = flags ? flags : "";
  int rc = 0;
  while (rc == 0 && nextTestToken(&cursor, &token)) {
    rc = applyTestToken(token);
    if (rc == 0 && TEST_DISABLECONSISTENTRC.set) {
      // Consistent return codes make the schedule commands meaningless.
      TEST_IGNOREPRESCHEDULECMD.set = 1;
      TEST_IGNOREPOSTSCHEDULECMD.set = 1;
      TEST_SHOWALLCONSISTENTRC.set = 0;
    }
  }
  return rc;
}
