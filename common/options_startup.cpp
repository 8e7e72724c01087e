// Environment, derived settings, access check, display and the start-up
// sequence of the HSM commands.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "common/cleanup.h"
#include "common/errorlog.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/trace.h"

clientOptions* optionsP = nullptr;

namespace {

smServerConnectionFactory g_connectionFactory = nullptr;
int g_argc = 0;
char** g_argv = nullptr;

std::string envDir(const char* name) {
  const char* v = getenv(name);
  if (!v || !*v) return "";
  std::string s(v);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string lowerFilePart(const std::string& dir, std::string file) {
  for (char& c : file) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return dir + "/" + file;
}

bool inList(const std::string& list, const char* name) {
  std::istringstream in(list);
  for (std::string word; in >> word;)
    if (word == name) return true;
  return false;
}

}  // namespace

void optEnvVarInit(clientOptions& o, const char* defaultInstallDir) {
  o.installDir = envDir("KMR_DIR");
  if (o.installDir.empty()) o.installDir = defaultInstallDir;
  o.logDir = envDir("KMR_LOG");
  if (o.logDir.empty()) o.logDir = envDir("PWD");
  if (o.logDir.empty()) {
    char cwd[PATH_MAX];
    o.logDir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  }
  const char* config = getenv("KMR_CONFIG");
  if (config && *config) {
    o.userOptFile = config;
    o.userOptFileNamed = true;
  } else {
    o.userOptFile = o.installDir + "/kmr.opt";
  }
  o.sysOptFile = o.installDir + "/kmr.sys";
  o.langRepoPath = lowerFilePart(o.installDir, "kmrclientV3.cat");
  if (o.language.empty()) o.language = o.langRepoPath;
  o.errorLogName = lowerFilePart(o.logDir, "kmrerror.log");
  o.schedLogName = lowerFilePart(o.logDir, "kmrsched.log");
  o.auditLogName = lowerFilePart(o.logDir, "kmraudit.log");
}

int optPostProcessOptions(clientOptions& o) {
  if (o.nodeName.empty()) {
    char host[HOST_NAME_MAX + 1] = "";
    if (gethostname(host, sizeof host) != 0 || !*host) return RC_OPT_INVALID;
    host[64] = '\0';
    o.nodeName = host;
    for (char& c : o.nodeName) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  if (o.migrateServer.empty()) o.migrateServer = o.defaultServer;
  return 0;
}

bool optCheckUser(const clientOptions& o, unsigned uid) {
  if (uid == 0 || (o.users.empty() && o.groups.empty())) return true;
  const passwd* pw = getpwuid(uid);
  if (!pw) return false;
  if (inList(o.users, pw->pw_name)) return true;
  if (o.groups.empty()) return false;
  int count = 65536;
  std::vector<gid_t> gids(count);
  if (getgrouplist(pw->pw_name, pw->pw_gid, gids.data(), &count) < 0) count = 0;
  gids.resize(count);
  if (gids.empty()) gids.push_back(pw->pw_gid);
  for (gid_t g : gids)
    if (const group* gr = getgrgid(g); gr && inList(o.groups, gr->gr_name)) return true;
  return false;
}

void optDisplay(const clientOptions& o) {
  TREnterExit<char> ee(__FILE__, __LINE__, "optDisplay()");
  const unsigned char& on = TR_GENERAL ? TR_GENERAL : (TR_SM ? TR_SM : TR_SMVERBOSE);
  for (uint16_t id = 1; id <= OPT_LAST_OPTION; ++id) {
    const optionEntry* row = optFindEntry(id);
    std::string value;
    std::visit(
        [&](auto m) {
          using M = decltype(m);
          if constexpr (std::is_same_v<M, std::monostate>) {
            auto it = o.otherOptions.find(id);
            value = it == o.otherOptions.end() ? "" : it->second;
          } else if constexpr (std::is_same_v<M, std::string clientOptions::*>) {
            value = (id == OPT_PASSWORD && !(o.*m).empty()) ? "********" : o.*m;
          } else {
            value = std::to_string(o.*m);
          }
        },
        row->field);
    if (!value.empty() || !std::holds_alternative<std::monostate>(row->field))
      TRACE(on, "%-24s %s\n", optKeywordOf(id), value.c_str());
  }
}

void optResetStanzaOptions(clientOptions& o) {
  clientOptions defaults(o.clientType, o.modeBits);
  for (uint16_t id = 1; id <= OPT_LAST_OPTION; ++id) {
    if (!(o.source[id] & OPT_PLACE_SYSFILE) || id == OPT_SERVERNAME) continue;
    const optionEntry* row = optFindEntry(id);
    std::visit(
        [&](auto m) {
          if constexpr (std::is_same_v<decltype(m), std::monostate>)
            o.otherOptions.erase(id);
          else
            o.*m = defaults.*m;
        },
        row->field);
    o.source[id] &= static_cast<uint8_t>(~OPT_PLACE_SYSFILE);
  }
}

void smRegisterServerConnectionFactory(smServerConnectionFactory factory) {
  g_connectionFactory = factory;
}

namespace {

[[noreturn]] void startUpFailed() {
  HsmNormalCleanUp();
  clExit(-1);  // only reached when a clean-up is already under way
}

void initMessages(clientOptions& o, unsigned capacity) {
  char locale[64] = "";
  if (nlinit(o.langRepoPath.c_str(), capacity, o.installDir.c_str(), o.clientType, o.dateFormat,
             o.timeFormat, o.numberFormat, locale, nullptr) != 0)
    startUpFailed();
}

void openErrorLog(clientOptions& o) {
  if (o.errorLogName == "/") o.errorLogName = o.installDir + "/kmrerror.log";
  errorLogFile.InitializeLogFile(o.errorLogMax, "kmrerlog.pru", o.errorLogRetention,
                                 o.errorLogSaveFlag, 0, false);
  if (!errorLogFile.utOpenOutputFile(o.errorLogName.c_str())) {
    const int e = errno;
    optMessage(stderr, kMsg1398, {o.errorLogName, e, std::string(strerror(e))});
  }
}

void failOn(int rc, const optError& err) {
  if (rc == 0) return;
  ReportOptionError(err);
  startUpFailed();
}

}  // namespace

void smInitOptFile(int argc, char** argv, void*) {
  g_argc = argc, g_argv = argv;
  HSMGlobalCB& cb = hsmGlobalCB();
  cb.startUp = 1;
  if (dsCoreInit(nullptr, 0) != 0) startUpFailed();
  if (argc > 0 && argv && argv[0]) hsmSetWhoAmI(argv[0]);
  clSmPreInitialize(CleanUp, argv);
  new_TraceObject(OPT_CLIENT_HSM, 0, trTIDProc);
  std::unique_ptr<optError> err = new_optError();

  optionsP = new clientOptions(OPT_CLIENT_HSM, OPT_MODE_UNIX);
  clientOptions& o = *optionsP;
  optEnvVarInit(o);
  initMessages(o, 10);

  trReset(true);
  if (optCommandLinePass(o, argc, argv, 1) != 0) startUpFailed();
  failOn(optPrescanTrOpt(o, err.get()), *err);
  failOn(optPrescanSysOptFile(o, err.get()), *err);
  failOn(optProcessOptions(o, OPT_SRC_USERFILE, nullptr, OPT_PASS_MAIN, err.get()), *err);
  if (optCommandLinePass(o, argc, argv, 2) != 0) startUpFailed();
  TR_PREFIX = 1;
  TR_TIMESTAMP = 1;
  o.subdir = 2;

  // The repository and the error log are opened with the start-up flag
  // down, so that a clean-up in between doesn't announce itself.
  cb.startUp = 0;
  initMessages(o, 50);
  if (TEST_HSMLF.set) o.enableLanFree = 1;
  openErrorLog(o);
  cb.startUp = 1;
}

int smSysOptFile(int exitOnError, clientOptions* opts) {
  clientOptions& o = opts ? *opts : *optionsP;
  optError err;
  int rc = optProcessOptions(o, OPT_SRC_SYSFILE, nullptr, OPT_PASS_MAIN, &err);
  if (rc != 0) {
    ReportOptionError(err);
  } else if ((rc = optPostProcessOptions(o)) != 0) {
    optMessage(stderr, kMsg1038);
    ReportOptionError(rc, 0, "", "", o.sysOptFile.c_str());
  } else if (!optCheckUser(o, getuid())) {
    optMessage(stderr, kMsg1216);
    rc = kMsg1216;  // the message number is the start-up code
  }
  if (rc == 0 && (TR_GENERAL || TR_SM || TR_SMVERBOSE)) {
    const unsigned char on = 1;
    TRACE(on, "Command line operands are:\n");
    for (int i = 1; i < g_argc; ++i) TRACE(on, "\toperand[%d] is '%s'\n", i, g_argv[i]);
    TRACE(on, "Current option settings:\n");
    optDisplay(o);
  }
  if (rc == 0 && o.showOptionNotice) optMessage(stdout, kMsg11290);
  if (rc == 0 && g_connectionFactory) rc = g_connectionFactory(&o);
  if (rc != 0 && exitOnError == 1) startUpFailed();
  return rc;
}

void smGreetings() {
  static const char kVersion[] = "1.0";
  nlfprintf(stdout, kMsg2090, hsmWhoAmI(), kVersion);
}
