// kmrrecalld: recalls a migrated file's data from the storage server on the
// first access to it (fanotify pre-content events). See docs/kmrrecalld.md.
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/cleanup.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/threads.h"
#include "common/trace.h"
#include "hsmfs/fstable.h"
#include "hsmfs/xdsmapi.h"
#include "hsmfs/xdsmstore.h"
#include "recall/daemon.h"
#include "recall/zefsource.h"
#include "server/serverlayer.h"

#ifndef KMR_VERSION
#define KMR_VERSION "0"
#endif

namespace {

const unsigned kWorkers = 4;
const int kRescanSeconds = 30;

void usage(FILE* f) {
  fprintf(f,
          "usage: kmrrecalld [--foreground] [-TRACEFILE=file -TRACEFLAGS=classes]\n"
          "Recalls the data of migrated files of every managed file system on first access.\n"
          "  --foreground  stay attached to the terminal (systemd and tests)\n"
          "  --help        this text\n"
          "  --version     the version\n");
}

int managedTableStanza(const std::string& fsName, std::string* stanza) {
  HsmFsEntry entry;
  if (HsmFsTable::the().getFsEntry(fsName, entry, HsmFsTable::s_migOnOtherNode, 1, 0) != 1) return RC_NO_STANZA;
  *stanza = entry.getFsStanza();
  return 0;
}

// SIGTERM, SIGINT and SIGHUP arrive on a descriptor the event loop polls;
// blocked before any thread exists, so every thread inherits the mask.
int signalDescriptor() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC);
}

pthread_t g_loopThread;

// The options' start-up runs the process's signal thread, which waits for
// the same signals as the event loop's descriptor and would end the daemon on
// a SIGHUP meant as "look again". Reloads and stops go to the loop's thread
// (where they are blocked, so its descriptor reads them); the rest keep the
// commands' clean-up.
void toEventLoop(int sig) {
  if (sig == SIGHUP || sig == SIGTERM || sig == SIGINT) {
    pthread_kill(g_loopThread, sig);
    return;
  }
  CleanUp(sig);
}

}  // namespace

int main(int argc, char** argv) {
  bool foreground = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") return usage(stdout), 0;
    if (a == "--version") return printf("kmrrecalld %s\n", KMR_VERSION), 0;
    if (a == "--foreground" || a == "-f") {
      foreground = true;
    } else if (a.rfind("-", 0) != 0 || a.find('=') == std::string::npos) {
      usage(stderr);
      return 2;
    }
  }
  if (!foreground && daemon(0, 0) != 0) {
    perror("kmrrecalld: daemon");
    return 1;
  }
  const int sfd = signalDescriptor();
  if (sfd < 0) {
    perror("kmrrecalld: signalfd");
    return 1;
  }

  psSetThreadMode(1);
  ServerLayerHooks hooks;
  hooks.stanzaLookup = managedTableStanza;
  hooks.pathHandle = kmrGetHsmHandle;
  zefServerLayerInit(hooks);
  smInitOptFile(argc, argv, nullptr);
  g_loopThread = pthread_self();
  clSmPreInitialize(toEventLoop, nullptr);
  clSetStopHook(toEventLoop);
  smSysOptFile(1, nullptr);
  hsmLayerStartup(hsmXdsmEnv(), optionsP);
  if (getuid() != 0) {
    nlfprintf(stderr, kMsg9012, hsmWhoAmI());
    clExit(1);
  }
  XDSMAPI* dmapi = XDSMAPI::getXDSMAPI();
  if (!dmapi->isInitialized()) dmapi->initService();
  if (dmapi->getSID() == 0 && dmapi->createSession(0, "kmrrecalld", 0) == 0) {
    nlfprintf(stderr, kMsg9531, "kmrrecalld", "DM_NO_SESSION", "kmrrecalld", strerror(errno));
    clExit(1);
  }

  int status = 0;
  {
    RecallDaemon d([] { return std::make_unique<ZefRecallSource>(); }, kWorkers);
    if (d.open() != 0) {
      status = 1;
    } else {
      d.rescan();
      d.run(sfd, kRescanSeconds);
    }
  }
  hsmInstallEnv({});
  dmapi->destroySession(dmapi->getSID());
  clEnterTeardown();
  delete optionsP;
  optionsP = nullptr;
  nlterm();
  trClose(true);
  if (status != 0) clExit(status);
  return 0;
}
