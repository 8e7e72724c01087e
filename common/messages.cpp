// The message object: catalogs, the two message caches and the print
// operations. Everything a user sees goes through here.
#include "common/messages.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <nl_types.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>

#include "common/errorlog.h"
#include "common/msgnum.h"
#include "common/nls_reader.h"
#include "common/rc.h"
#include "common/trace.h"

namespace {

const nl_catd kNoCatalog = reinterpret_cast<nl_catd>(-1);
constexpr const char kRepositoryName[] = "kmrclientV3.cat";
// Handed to catgets; getting this very text back means "no such message".
constexpr const char kMissingText[] = "BQF1111M Error retrieving message %d from kmrclientV3.cat.\n";
constexpr size_t kMaxConverted = 2303;

// Least recently used cache of NLSMsg records; front = most recent.
class MsgCache {
 public:
  const NLSMsg* find(int number) {
    auto it = std::find_if(records_.begin(), records_.end(),
                           [number](const NLSMsg& m) { return m.number == number; });
    if (it == records_.end()) return nullptr;
    records_.splice(records_.begin(), records_, it);
    return &records_.front();
  }
  const NLSMsg* insert(NLSMsg msg, size_t capacity) {
    while (!records_.empty() && records_.size() >= std::max<size_t>(capacity, 1)) {
      TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "Deleting message: %d from the cache.\n", records_.back().number);
      records_.pop_back();
    }
    records_.push_front(std::move(msg));
    return &records_.front();
  }
  void clear() { records_.clear(); }

 private:
  std::list<NLSMsg> records_;
};

void defaultOutput(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

struct NlsObject {
  nlOutputFn outputs[9];
  std::string attemptedPath;
  std::string repositoryName = kRepositoryName;
  std::string languageRepositoryPath;
  MsgCache localCache, englishCache;
  size_t capacity = 10;
  nl_catd localCatalog = kNoCatalog;
  nl_catd englishCatalog = kNoCatalog;
  bool useEnglish = false;
  bool initialised = false;
  int clientType = 0;
  iconv_t converter = reinterpret_cast<iconv_t>(-1);  // UTF-8 to the local code set
  unsigned long catalogReads = 0;

  // A process that ends without nlterm (exit from a failure path) still hands
  // its catalogs and converter back.
  ~NlsObject() { closeAll(); }
  void closeAll() {
    if (localCatalog != kNoCatalog && localCatalog != englishCatalog) catclose(localCatalog);
    if (englishCatalog != kNoCatalog) catclose(englishCatalog);
    localCatalog = englishCatalog = kNoCatalog;
    if (converter != reinterpret_cast<iconv_t>(-1)) iconv_close(converter);
    converter = reinterpret_cast<iconv_t>(-1);
  }
};

std::unique_ptr<NlsObject> g_nls;
char g_whoami[256] = "kmrmigundelete";

const char* const kSeverityLetters = "ZTRKIWESL";

bool identifierShown(int severity) { return severity >= 3 && severity <= 7; }

// Prints one of the reader's own warnings: they exist exactly when the
// catalog can't be trusted, so they are not catalog messages themselves.
void readerWarning(int severity, const char* text, bool toLog) {
  TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "%s", text);
  nlOutput(severity, text);
  if (toLog) LogMsg(text);
}

void reportUnreadable(int number, const char* why) {
  char text[256];
  snprintf(text, sizeof text, "BQF9999E %s(%u): Message No %u %s.\n", __FILE__, __LINE__,
           static_cast<unsigned>(number), why);
  readerWarning(6, text, true);
  GlobalRC::instance().set(kMsg9999);
}

std::string converted(const char* text) {
  if (g_nls->converter == reinterpret_cast<iconv_t>(-1)) return text;
  char out[kMaxConverted + 1];
  char* in = const_cast<char*>(text);
  size_t inLeft = strlen(text);
  char* outPtr = out;
  size_t outLeft = kMaxConverted;
  iconv(g_nls->converter, nullptr, nullptr, nullptr, nullptr);
  if (iconv(g_nls->converter, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) && outPtr == out)
    return text;
  return std::string(out, outPtr);
}

// Splits "BQF<digits><letter> <body>[0x12 response]" into a record.
// Returns 1 when parsed, 0 for a rejected letter (M), -1 when corrupted.
int parseMessage(int number, std::string raw, NLSMsg* msg) {
  if (raw.compare(0, 3, "BQF") != 0) return -1;
  size_t digitsEnd = 3;
  while (digitsEnd < raw.size() && isdigit(static_cast<unsigned char>(raw[digitsEnd]))) ++digitsEnd;
  if (digitsEnd == 3 || digitsEnd >= raw.size()) return -1;
  const char letter = raw[digitsEnd];
  if (letter == 'M') return 0;
  const char* where = strchr(kSeverityLetters, letter);
  if (!where || letter == '\0') return -1;
  const size_t tail = raw.size() > 15 ? raw.size() - 15 : 0;
  size_t responseAt = raw.find('\x12', tail);
  if (responseAt != std::string::npos) {
    snprintf(msg->response, sizeof msg->response, "%s", raw.c_str() + responseAt + 1);
    raw.resize(responseAt);
  }
  msg->number = static_cast<uint16_t>(number);
  msg->severity = static_cast<uint8_t>(where - kSeverityLetters);
  size_t bodyStart = std::min(raw.size(), digitsEnd + 2);
  std::string body = raw.substr(bodyStart);
  nlDecodeBody(body);
  if (identifierShown(msg->severity)) {
    // Users always see four digits; a five-digit number loses its first.
    std::string digits = raw.substr(3, digitsEnd - 3);
    if (digits.size() > 4) digits.erase(0, 1);
    msg->text = "BQF" + digits + letter + " ";
  }
  msg->bodyOffset = msg->text.size();
  msg->text += body;
  return 1;
}

// Reads one message from a catalog; nullopt when it isn't there.
std::optional<NLSMsg> readMsg(nl_catd catalog, int number, bool report) {
  if (catalog == kNoCatalog) {
    if (report) {
      const char* text = "Cannot get an NLS message due to catalog file is closed\n";
      TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "%s", text);
      LogMsg(text);
    }
    return std::nullopt;
  }
  ++g_nls->catalogReads;
  const char* raw = catgets(catalog, 1, number, kMissingText);
  if (!raw || raw == kMissingText || strcmp(raw, kMissingText) == 0) {
    if (report) reportUnreadable(number, "could not be found");
    return std::nullopt;
  }
  NLSMsg msg;
  int parsed = parseMessage(number, converted(raw), &msg);
  if (parsed <= 0) {
    if (report) reportUnreadable(number, parsed == 0 ? "could not be found" : "is corrupted");
    return std::nullopt;
  }
  return msg;
}

}  // namespace

std::recursive_mutex& nlMessageMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

void nlOutput(int severity, const char* text) {
  nlOutputFn fn = g_nls && severity >= 0 && severity < 9 ? g_nls->outputs[severity] : defaultOutput;
  fn(text);
}

const NLSMsg* nlGetMsg(int number, bool report) {
  if (!g_nls || !g_nls->initialised) return nullptr;
  const bool english = g_nls->useEnglish;
  g_nls->useEnglish = false;
  MsgCache& cache = english ? g_nls->englishCache : g_nls->localCache;
  if (const NLSMsg* hit = cache.find(number)) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "Found message: %d in cache.\n", number);
    return hit;
  }
  // A message missing from a translation is still shown, in English.
  const bool fallBack = !english && g_nls->localCatalog != g_nls->englishCatalog;
  std::optional<NLSMsg> msg =
      readMsg(english ? g_nls->englishCatalog : g_nls->localCatalog, number, report && !fallBack);
  if (!msg && fallBack) msg = readMsg(g_nls->englishCatalog, number, report);
  return msg ? cache.insert(std::move(*msg), g_nls->capacity) : nullptr;
}

int nlSeverityQuiet(int number) {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  const NLSMsg* msg = nlGetMsg(number, false);
  return msg ? msg->severity : -1;
}

std::optional<ComposedMsg> nlCompose(int number, va_list args) {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  const NLSMsg* msg = nlGetMsg(number, true);
  if (!msg) return std::nullopt;
  ComposedMsg out;
  out.severity = msg->severity;
  out.text = msg->text.substr(0, msg->bodyOffset) + nlInsert(msg->text.substr(msg->bodyOffset), args);
  return out;
}

// ---- print and format operations ---------------------------------------------

namespace {
std::atomic<nlBeforeWriteHook> g_beforeWrite{nullptr};
}  // namespace

nlBeforeWriteHook nlSetBeforeWriteHook(nlBeforeWriteHook hook) { return g_beforeWrite.exchange(hook); }

namespace {
thread_local nlHeldOutput* t_held = nullptr;

void writeComposed(FILE* stream, int severity, const std::string& text) {
  if (severity > 4 && errorLogFile.isOpen()) LogMsg(text.c_str());
  if (nlClientType() == 4) return;  // an application interface prints nothing itself
  if (nlBeforeWriteHook hook = g_beforeWrite.load()) hook(stream);
  fputs(text.c_str(), stream);
  fflush(stream);
}
}  // namespace

void nlHoldOutput(nlHeldOutput* held) { t_held = held; }

void nlReleaseOutput(nlHeldOutput& held) {
  for (const nlHeldMessage& m : held) writeComposed(m.stream, m.severity, m.text);
  held.clear();
}

void nlvfprintf(FILE* stream, int number, va_list args) {
  GlobalRC::instance().set(number);
  std::optional<ComposedMsg> msg = nlCompose(number, args);
  if (!msg) return;
  if (t_held != nullptr) {
    t_held->push_back(nlHeldMessage{stream, msg->severity, std::move(msg->text)});
    return;
  }
  writeComposed(stream, msg->severity, msg->text);
}

void nlfprintf(FILE* stream, int number, ...) {
  va_list ap;
  va_start(ap, number);
  nlvfprintf(stream, number, ap);
  va_end(ap);
}

void nlvprintf(int number, va_list args) {
  std::optional<ComposedMsg> msg = nlCompose(number, args);
  if (!msg) return;
  GlobalRC::instance().set(number);
  if (msg->severity > 4 && errorLogFile.isOpen()) LogMsg(msg->text.c_str());
  if (nlClientType() == 4) return;
  nlOutput(msg->severity, msg->text.c_str());
}

void nlprintf(int number, ...) {
  va_list ap;
  va_start(ap, number);
  nlvprintf(number, ap);
  va_end(ap);
}

static int formatInto(char** result, int number, va_list args, bool log) {
  *result = nullptr;
  std::optional<ComposedMsg> msg = nlCompose(number, args);
  if (!msg) return 0;
  GlobalRC::instance().set(number);
  if (log && msg->severity >= 5 && errorLogFile.isOpen()) LogMsg(msg->text.c_str());
  *result = static_cast<char*>(malloc(msg->text.size() + 1));
  if (!*result) return 0;
  memcpy(*result, msg->text.c_str(), msg->text.size() + 1);
  return static_cast<int>(strlen(*result));
}

int nlvsprintf(char** result, int number, va_list args) { return formatInto(result, number, args, false); }
int nlLogvsprintf(char** result, int number, va_list args) { return formatInto(result, number, args, true); }

#define KMR_FORWARD_FORMAT(name, log)        \
  int name(char** result, int number, ...) { \
    va_list ap;                              \
    va_start(ap, number);                    \
    int n = formatInto(result, number, ap, log); \
    va_end(ap);                              \
    return n;                                \
  }
KMR_FORWARD_FORMAT(nlsprintf, false)
KMR_FORWARD_FORMAT(nlMessage, false)
KMR_FORWARD_FORMAT(nlLogsprintf, true)
KMR_FORWARD_FORMAT(nlLogMessage, true)
#undef KMR_FORWARD_FORMAT

int nlGetMsgSev(int number) {
  std::unique_lock<std::recursive_mutex> lock(nlMessageMutex(), std::try_to_lock);
  if (!lock.owns_lock()) return 6;
  const NLSMsg* msg = nlGetMsg(number, true);
  return msg ? msg->severity : 255;
}

int nlresponse(int number, char* buffer) {
  buffer[0] = '\0';
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  const NLSMsg* msg = nlGetMsg(number, true);
  if (!msg) return 255;
  snprintf(buffer, 16, "%s", msg->response);
  return 0;
}

void nlUseEnglishNext() {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  if (g_nls) g_nls->useEnglish = true;
}

unsigned long nlCatalogReads() {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  return g_nls ? g_nls->catalogReads : 0;
}

bool nlObjectExists() { return g_nls != nullptr; }

int nlClientType() { return g_nls ? g_nls->clientType : 0; }

const char* hsmWhoAmI() { return g_whoami; }
void hsmSetWhoAmI(const char* argv0) {
  const char* slash = strrchr(argv0, '/');
  snprintf(g_whoami, sizeof g_whoami, "%s", slash ? slash + 1 : argv0);
}

// ---- life cycle ------------------------------------------------------------------

int dsCoreInit(const nlOutputFn* outputs, int) {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  if (!g_nls) g_nls.reset(new (std::nothrow) NlsObject);
  if (!g_nls) return RC_NO_MEMORY;
  for (int i = 0; i < 9; ++i) g_nls->outputs[i] = outputs && outputs[i] ? outputs[i] : defaultOutput;
  GlobalRC::instance();
  return 0;
}

void dsCoreCleanUp() {
  nlterm();
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  g_nls.reset();
}

namespace {

const struct {
  const char* twoLetters;
  const char* directory;
} kLanguageDirectories[] = {{"CZ", "CS_CZ"}, {"DE", "DE_DE"}, {"EN", "EN_US"}, {"ES", "ES_ES"},
                            {"FR", "FR_FR"}, {"HU", "HU_HU"}, {"IT", "IT_IT"}, {"JA", "JA_JP"},
                            {"KO", "KO_KR"}, {"PL", "PL_PL"}, {"PT", "PT_BR"}, {"RU", "RU_RU"},
                            {"ZH", "ZH_CN"}};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// The directory that holds a language's catalog, derived from a locale name.
std::string nlLanguageDirectory(const std::string& language) {
  if (strncasecmp(language.c_str(), "zh_TW.BIG5", 10) == 0) return "Zh_TW";
  std::string name = language.substr(0, language.find('.'));
  if (name.size() != 2) return name;
  for (const auto& row : kLanguageDirectories)
    if (upper(name) == row.twoLetters) return row.directory;
  TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "Language specification \"%s\" not found, substituting US English\n",
                                name.c_str());
  return "EN_US";
}

namespace {

nl_catd openCatalog(const std::string& path) {
  if (path.size() >= 1280) {
    TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "openCat(): The passed arguments are too long\n");
    return kNoCatalog;
  }
  g_nls->attemptedPath = path;
  nl_catd catalog = catopen(path.c_str(), NL_CAT_LOCALE);
  TRACE_Fkt(__FILE__, __LINE__)(TR_NLS, "catopen(%s) %s\n", path.c_str(),
                                catalog == kNoCatalog ? "failed" : "succeeded");
  return catalog;
}

void warnNoRepository(const std::string& path) {
  char text[1600];
  snprintf(text, sizeof text,
           "BQF0102W Unable to open the message repository %s. The American English repository will be "
           "used instead.\n",
           path.c_str());
  readerWarning(5, text, false);
}

std::string environmentLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value && *value) return value;
  }
  return "C";
}

bool openEnglish(const std::string& directory) {
  const std::string& file = g_nls->repositoryName;
  g_nls->englishCatalog = openCatalog(directory + "/EN_US/" + file);
  if (g_nls->englishCatalog == kNoCatalog) g_nls->englishCatalog = openCatalog(file);
  if (g_nls->englishCatalog == kNoCatalog)
    g_nls->englishCatalog = openCatalog(directory + "/" + nlLanguageDirectory(environmentLanguage()) + "/" + file);
  if (g_nls->englishCatalog != kNoCatalog) return true;
  warnNoRepository(g_nls->attemptedPath);
  return false;
}

// Chooses the local language and opens its catalog; English stands in when
// it can't be opened.
void openLocal(const std::string& directory, char* chosenLocale) {
  const bool localeGiven = chosenLocale && chosenLocale[0];
  std::string locale;
  if (localeGiven) {
    locale = chosenLocale;
  } else {
    setlocale(LC_ALL, "");
    const char* messages = setlocale(LC_MESSAGES, "");
    locale = messages ? messages : "C";
  }
  locale = upper(locale);
  // "C" and "POSIX" stand for English, with or without a code set or
  // modifier ("C.UTF-8" is many systems' default).
  const std::string base = locale.substr(0, locale.find_first_of(".@"));
  if (base == "C" || base == "POSIX") locale = "EN_US";
  const char* codeset = nl_langinfo(CODESET);
  if (codeset && strcasecmp(codeset, "UTF-8") != 0) {
    g_nls->converter = iconv_open(codeset, "UTF-8");
    if (g_nls->converter == reinterpret_cast<iconv_t>(-1)) {
      if (localeGiven) {
        char text[512];
        snprintf(text, sizeof text,
                 "BQF0121W Unable to open the iconv converter for the message repository %s. The American "
                 "English repository will be used instead.\n",
                 codeset);
        readerWarning(5, text, false);
      }
      locale = "EN_US";
    }
  }
  if (locale == "EN_US") {
    g_nls->localCatalog = g_nls->englishCatalog;
  } else {
    const std::string& file = g_nls->repositoryName;
    g_nls->localCatalog = openCatalog(directory + "/" + locale + "/" + file);
    if (g_nls->localCatalog == kNoCatalog)
      g_nls->localCatalog = openCatalog(directory + "/" + nlLanguageDirectory(locale) + "/" + file);
    if (g_nls->localCatalog == kNoCatalog) {
      warnNoRepository(g_nls->languageRepositoryPath);
      locale = "EN_US";
      g_nls->localCatalog = g_nls->englishCatalog;
    }
  }
  if (chosenLocale) snprintf(chosenLocale, 64, "%s", locale.c_str());
}

}  // namespace

int nlinit(const char* langRepoPath, unsigned cacheCapacity, const char* repoDir, int clientType,
           int dateFormat, int timeFormat, int numberFormat, char* chosenLocale, const char* repoFileName) {
  if (!langRepoPath || !*langRepoPath) return RC_NLS_INIT_FAILED;
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  if (!g_nls && dsCoreInit(nullptr, 0) != 0) return RC_NLS_INIT_FAILED;
  g_nls->clientType = clientType;
  setDateFmt(dateFormat);
  setTimeFmt(timeFormat);
  setNumberFmt(numberFormat);
  if (g_nls->initialised) return 0;
  const std::string directory = repoDir ? repoDir : "";
  if (strlen(langRepoPath) > 1279 || directory.size() > 1024) return RC_NLS_INIT_FAILED;
  g_nls->capacity = cacheCapacity;
  g_nls->languageRepositoryPath = langRepoPath;
  g_nls->repositoryName =
      (clientType >= 9 && clientType <= 11 && repoFileName && *repoFileName) ? repoFileName : kRepositoryName;
  if (chosenLocale && chosenLocale[0]) {
    g_nls->localCache.clear();
    g_nls->englishCache.clear();
  }
  if (!openEnglish(directory)) return RC_NLS_INIT_FAILED;
  openLocal(directory, chosenLocale);
  g_nls->initialised = true;
  return 0;
}

void nlterm() {
  std::lock_guard<std::recursive_mutex> lock(nlMessageMutex());
  if (!g_nls) return;
  g_nls->closeAll();
  g_nls->localCache.clear();
  g_nls->englishCache.clear();
  g_nls->initialised = false;
}
