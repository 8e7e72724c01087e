// Session settings from the option record, the per-thread server connection
// and the registrations of the server layer.
#include <cerrno>
#include <memory>

#include "common/cleanup.h"
#include "common/messages.h"
#include "common/trace.h"
#include "server/comminterface.h"
#include "server/logutil.h"
#include "server/serverlayer.h"

namespace {

constexpr int kCommMethodTcpIp = 1;
constexpr int kCommMethodV6TcpIp = 2;

// Until the program installs its managed file system table, no file system
// has a stanza.
int noStanza(const std::string&, std::string*) { return RC_NO_STANZA; }

void traceAndLogCode(int rc, const char* file, unsigned line) {
  srvTraceAndLog(file, line, TR_SM, "server conversation failed with rc = %d\n", rc);
  ProcessError2(rc, nullptr, "", nullptr, nullptr, 0, file, line);
}

// Without an installed lookup no path has a handle here.
int noPathHandle(const char*, DmHandle*) { return ENOSYS; }

ServerLayerHooks withDefaults(ServerLayerHooks hooks) {
  if (!hooks.stanzaLookup) hooks.stanzaLookup = noStanza;
  if (!hooks.pathHandle) hooks.pathHandle = noPathHandle;
  if (!hooks.reportError) hooks.reportError = traceAndLogCode;
  return hooks;
}

ServerLayerHooks g_hooks = withDefaults({});

// One record per thread; released with the thread.
thread_local std::unique_ptr<SessionConfig> t_connection;

}  // namespace

int fillSessionConfig(const clientOptions& opts, SessionConfig* out) {
  if (opts.tcpServerAddress.empty()) return RC_OPT_NO_SERVER_ADDRESS;
  if (opts.tcpPort < 1 || opts.tcpPort > 65535) return RC_OPT_INVALID;
  // Only TCP is offered; V6TCPIP resolves through the same name lookup.
  if (opts.commMethod != kCommMethodTcpIp && opts.commMethod != kCommMethodV6TcpIp) return RC_OPT_INVALID;
  SessionConfig c;
  c.tcp.serverAddress = opts.tcpServerAddress;
  c.tcp.port = static_cast<uint16_t>(opts.tcpPort);
  c.tcp.buffSize = opts.tcpBuffSize;
  c.tcp.windowSizeKB = opts.tcpWindowSize > 0 ? static_cast<uint32_t>(opts.tcpWindowSize) / 1024 : 0;
  c.tcp.noDelay = opts.tcpNoDelay != 0;
  c.tcp.ssl = opts.ssl != 0;
  c.tcp.serverPin = opts.sslServerPin;
  c.serverStanza = opts.serverName;
  c.nodeName = opts.nodeName;
  c.password = opts.password;
  c.passwordAccess = opts.passwordAccess;
  c.passwordDir = opts.passwordDir.empty() ? opts.installDir : opts.passwordDir;
  c.commRestartInterval = opts.commRestartInterval < 0 ? 0 : static_cast<uint32_t>(opts.commRestartInterval);
  c.commRestartDuration = opts.commRestartDuration < 0 ? 0 : static_cast<uint32_t>(opts.commRestartDuration);
  c.txnByteLimit = opts.txnByteLimit;
  c.largeBuffers = opts.largeCommBuffers != 0;
  c.getHsmHandle = hsmHandleOfFileSpec;
  *out = std::move(c);
  return 0;
}

int smCreateServerConnection(clientOptions* opts) {
  if (!opts) return RC_OPT_INVALID;
  auto config = std::make_unique<SessionConfig>();
  int rc = fillSessionConfig(*opts, config.get());
  if (rc != 0) {
    TRACE(TR_SESSION, "smCreateServerConnection: no usable server settings for '%s', rc = %d\n",
          opts->serverName.c_str(), rc);
    return rc;
  }
  t_connection = std::move(config);
  return 0;
}

const SessionConfig* smThreadServerConnection() { return t_connection.get(); }

const ServerLayerHooks& srvHooks() { return g_hooks; }

ServerLayerHooks srvInstallHooks(const ServerLayerHooks& hooks) {
  ServerLayerHooks previous = g_hooks;
  g_hooks = withDefaults(hooks);
  return previous;
}

void zefServerLayerInit(const ServerLayerHooks& hooks) {
  srvInstallHooks(hooks);
  smRegisterServerConnectionFactory(smCreateServerConnection);
  // The clean-up may run in a signal handler while the session's owner is
  // inside a call on it: it only aborts the connection, so the server sees
  // the session end and the owner's call returns; the process ends anyway.
  hsmRegisterSessionReleaser(sessReleaseForCleanup);
}
