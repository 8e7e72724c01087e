#include "reconcile/migundelete.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/options.h"
#include "common/rc.h"
#include "common/safepath.h"
#include "common/showable.h"
#include "common/trace.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/recallgate.h"
#include "hsmfs/xdsmapi.h"
#include "platform/orca/scout.h"
#include "reconcile/orderedworkers.h"
#include "reconcile/reconcilestatus.h"
#include "server/migobject.h"
#include "server/queueobjects.h"

namespace {
constexpr const char* kName = "ReconcileModeMigUndelete";
constexpr int kProgressEvery = 1000;
constexpr uint8_t kFlagCompressed = 0x20;
constexpr uint8_t kFlagEncrypted = 0x80;
// The largest stub: its last block (1 MiB at most on any file system we
// know) still ends at a file offset.
constexpr unsigned long long kLargestStubSize = INT64_MAX - (1ull << 20) + 1;

void stubFailure(const std::string& path, const char* operation, int err) {
  nlfprintf(stderr, kMsg9333, clShowable(path).c_str(), operation, err, strerror(err));
}

// The record's 32-bit times are seconds since 1970 without a sign (to 2106).
int64_t recordTime(uint32_t seconds) { return static_cast<int64_t>(seconds); }

// How a decision that leaves a file, replaces it or makes a stub is shown:
// its detail trace (inserts: the mode's name, the path) and the message that
// -DETAIL=1 prints (0: none).
struct DecisionReport {
  StubAction action;
  const char* trace;
  int detailMessage;
};
constexpr DecisionReport kDecisionReports[] = {
    {StubAction::kRecreate, "(%s): -> %s is not there\n", 0},
    {StubAction::kReplaceOlder, "(%s)Overwite object %s on the local file system!\n", kMsg9320},
    {StubAction::kSkipPresent,
     "(%s)Migrated object %s copy has the same or an older modification time than the existing object on "
     "the local file system. Skipping!\n",
     kMsg9319},
    {StubAction::kSkipDirectory, "(%s)Object %s is a directory - cannot overwrite!\n", kMsg9319},
};
}  // namespace

struct ReconcileModeMigUndelete::ObjectJob {
  std::unique_ptr<cQueueBaseObject> element;  // owns obj
  ZefServerMigratedObject* obj = nullptr;
  // The counts it adds to (none for a repaired record's status count).
  uint64_t ReconcileStatus::*status = nullptr;
  uint64_t RunSummary::*summary = nullptr;
  bool recreated = false;        // a stub was made: it votes for its made directories' owner
  bool update = false;           // its record goes to the server
  std::string repairedPath;      // -DETAIL: the stub whose record was repaired (9344)
  std::string lostDirectory;     // without -MKDIRS: the first missing directory above it
  uint64_t directoriesMade = 0;  // -MKDIRS
  bool namesDirectories = false; // -MKDIRS: the directories above it were wanted
  nlHeldOutput output;           // with workers: its messages, in the order printed
  std::vector<std::string> log;  // with workers: its reconcile log lines
};

namespace {
// The worker state of the calling worker thread; null on the run's own
// thread, which uses the run's first worker state and writes at once.
thread_local void* t_work = nullptr;
// Objects of a run between the stream and the server at most, per worker:
// enough to keep every worker busy while the oldest waits for its turn,
// few enough that memory does not grow with the file system.
constexpr size_t kWindowPerWorker = 8;
}  // namespace

ReconcileModeMigUndelete::ObjectWork& ReconcileModeMigUndelete::work() {
  return t_work != nullptr ? *static_cast<ObjectWork*>(t_work) : *m_work[0];
}

unsigned ReconcileModeMigUndelete::workerCount() const {
  const int32_t asked = m_options != nullptr ? m_options->recreateWorkers : 0;
  if (asked >= 1) return static_cast<unsigned>(std::min<int32_t>(asked, 64));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1u : static_cast<unsigned>(std::min<long>(online, 8));
}

void ReconcileModeMigUndelete::recreateObjects() {
  const unsigned k = workerCount();
  // Workers have states of their own, after the run's thread's [0].
  while (m_work.size() < (k == 1 ? 1 : k + 1)) m_work.push_back(std::make_unique<ObjectWork>());
  TRACE(TR_SMRECONCILE, "(%s): %u worker(s)\n", kName, k);
  auto workOn = [this, k](ObjectJob& job, unsigned worker) {
    if (k == 1) return workObject(job);
    ObjectWork* w = m_work[worker + 1].get();
    t_work = w;
    w->heldLog = &job.log;
    nlHoldOutput(&job.output);
    workObject(job);
    nlHoldOutput(nullptr);
    w->heldLog = nullptr;
    t_work = nullptr;
  };
  OrderedWorkers<ObjectJob> workers(k, kWindowPerWorker * k, workOn,
                                    [this](ObjectJob& job) { finishObject(job); });
  forEachObject([&](std::unique_ptr<cQueueBaseObject> element, ZefServerMigratedObject* obj) {
    auto job = std::make_unique<ObjectJob>();
    job->element = std::move(element);
    job->obj = obj;
    workers.submit(std::move(job), std::hash<std::string>{}(obj->getAlias()));
  });
  // A stop, an end of the stream or a failure: what is in flight is
  // finished, reported and sent before the transaction ends.
  workers.drain();
  for (size_t i = 1; i < m_work.size(); ++i) {
    m_work[i]->stub.reset();
    m_work[i]->dirs.clear();
  }
}

int refusedRecordMessage(const Attrib& attr) {
  if ((attr.mode & S_IFMT) != S_IFREG) return kMsg9340;
  // (uid_t)-1 and (gid_t)-1 mean "no change" to chown(): the stub would
  // stay root's, with the record's mode.
  if (attr.uid == UINT32_MAX || attr.gid == UINT32_MAX) return kMsg9341;
  return 0;
}

unsigned stubPermissionBits(uint32_t mode, int restoreSetId) {
  return restoreSetId == 1 ? (mode & 07777) : (mode & 01777);
}

void buildVOQObjRecord(const midExtObjId_t& id, const Attrib& attr,
                       unsigned char out[kVOQObjLen]) {
  encodeVOQObj(dmiStubInfo(id, attr.size, attr.mtime, attr.ctime, attr.flags & kFlagCompressed), out);
}

ReconcileModeMigUndelete::ReconcileModeMigUndelete(const ReconcileEnv& env,
                                                   const std::string& fileSystem, int detail,
                                                   ReconcileStatus* status, int expiring,
                                                   int recovery)
    : ReconcileMode(env, fileSystem, detail, status),
      m_expiring(expiring),
      m_recovery(recovery),
      m_mountFd(safeOpenMountRoot(fileSystem)) {
  m_work.push_back(std::make_unique<ObjectWork>());
}

ReconcileModeMigUndelete::~ReconcileModeMigUndelete() = default;

int ReconcileModeMigUndelete::startReconcilation() {
  TREnterExit<char> trace(__FILE__, __LINE__, "ReconcileModeMigUndelete::startReconcilation");
  m_started = std::chrono::steady_clock::now();
  if (m_run.preview) return previewReconcilation();
  if (m_run.scope.wholeFileSystem())
    nlfprintf(stdout, kMsg9314, m_fileSystem.c_str());
  else
    nlfprintf(stdout, kMsg9701, clShowable(m_run.scope.alias()).c_str(), m_fileSystem.c_str());
  fflush(stdout);

  int rc = m_server->beginTransaction();
  if (rc == RC_NO_MEMORY) {
    nlfprintf(stdout, kMsg1030);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with out of memory!\n", kName);
    return RC_NO_MEMORY;
  }
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> beginTransaction() returns with rc = %d!\n", kName, rc);
    return rc;
  }

  nlfprintf(stdout, kMsg9049);
  fflush(stdout);
  rc = m_server->getAllMigrObjectsFromServer(0);
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> getAllMigrObjectsFromServer() returns with rc : %d!\n",
          kName, rc);
    return rc;
  }
  nlfprintf(stdout, kMsg9052);
  nlfprintf(stdout, kMsg9315);
  fflush(stdout);

  recreateObjects();
  if (m_run.observer != nullptr) m_run.observer->runEnded(tally());

  rc = m_server->stopTransaction();
  if (rc != 0) {
    reconcileProcessError(rc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> stopTransaction() returns with rc : %d!\n", kName, rc);
  }
  m_status->m_updatedCount = m_server->committedUpdates();
  int result = stopCode();
  if (result == 0) reportEmptyScope();
  reportMadeDirectories();
  reportLostDirectories();
  reportSummary();
  if (result == 0) reportEnd();
  return result;
}

int ReconcileModeMigUndelete::forEachObject(
    const std::function<void(std::unique_ptr<cQueueBaseObject>, ZefServerMigratedObject*)>& handle) {
  bool anyInScope = false;
  for (;;) {
    std::unique_ptr<cQueueBaseObject> element(m_server->getNextMigrObjectFromServer());
    if (!element) {
      nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(errno));
      setStopCode(RC_NO_MEMORY);
      break;
    }
    if (dynamic_cast<FinishedMessageObject*>(element.get()) != nullptr) break;
    if (auto* failure = dynamic_cast<FailureMessageObject*>(element.get())) {
      // An empty line, then the text; catalog texts end their own line.
      const std::string& text = failure->getMessageText();
      fprintf(stderr, "\n%s%s", text.c_str(), !text.empty() && text.back() == '\n' ? "" : "\n");
      setStopCode(RC_COMM_FAILURE);
      break;
    }
    auto* obj = dynamic_cast<ZefServerMigratedObject*>(element.get());
    if (obj == nullptr) {
      TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Queue returned an unknown object!\n", kName);
      setStopCode(RC_INTERNAL);
      break;
    }
    // Counts and messages are those of the scope: the server is asked for
    // the whole file system once, and what lies outside is passed over.
    if (m_run.scope.contains(obj->getAlias())) {
      anyInScope = true;
      handle(std::move(element), obj);
    } else if (!anyInScope) {
      // Only a scope without objects names the nearest path.
      m_nearest.offer(obj->getAlias());
    }
    if (stopCode() != 0) break;
  }
  return stopCode();
}

RunTally ReconcileModeMigUndelete::tally() const {
  return RunTally{m_status->m_processedCount, m_status->m_recreatedCount, m_status->m_failedCount};
}

void ReconcileModeMigUndelete::objectDone() {
  if (m_run.observer != nullptr) m_run.observer->objectDone(tally());
}

const StubDecision& ReconcileModeMigUndelete::decide(ZefServerMigratedObject* obj, const StubRules& rules) {
  work().stub.reset();
  StubDecision& decision = work().decision;
  decideStubInto(&decision, m_fileSystem, m_mountFd.get(), *obj, rules, work().stub, &work().dirs);
  // Whatever happens to the object, a temporary of a killed run goes. The
  // directory's temporaries are listed once per directory run (StubDirCache),
  // so an object costs no lookup of its own.
  if (work().stub.isResolved()) removeStaleTemporary(decision.path);
  work().maybeOwnStub = decision.action == StubAction::kSkipPresent && work().stub.seen().regular;
  reportDecision(decision, obj->getAlias());
  return decision;
}

void ReconcileModeMigUndelete::workObject(ObjectJob& job) {
  ZefServerMigratedObject* obj = job.obj;
  const std::string& alias = obj->getAlias();
  const StubDecision& decision = decide(obj, rules());
  switch (decision.action) {
    case StubAction::kSkipPresent:
      if (work().maybeOwnStub && repairRecordOfPresentStub(obj) == 1) {
        job.update = true;
        if (m_detail == 1) job.repairedPath = decision.path;
      } else {
        job.status = &ReconcileStatus::m_skippedCount;
      }
      job.summary = &RunSummary::skipped;
      break;
    case StubAction::kSkipExpired:
    case StubAction::kSkipDirectory:
      job.status = &ReconcileStatus::m_skippedCount;
      job.summary = &RunSummary::skipped;
      break;
    // An invalid path is passed over by a normal run; a recovery run was
    // asked to make every stub and did not make this one.
    case StubAction::kRefuseAlias:
      job.status = m_recovery == 0 ? &ReconcileStatus::m_skippedCount : &ReconcileStatus::m_failedCount;
      job.summary = &RunSummary::refused;
      break;
    case StubAction::kRefuseNoAttributes:
      job.status = &ReconcileStatus::m_failedCount;
      job.summary = &RunSummary::refused;
      break;
    default:
      if (!m_run.makeDirs && isLostDirectory(decision)) job.lostDirectory = decision.parent.component;
      if (!job.lostDirectory.empty() || (m_run.makeDirs && decision.action == StubAction::kRecreate &&
                                         !bringBackDirectories(decision, alias, &job))) {
        job.status = &ReconcileStatus::m_failedCount;
        job.summary = &RunSummary::failed;
        break;
      }
      TRACE(TR_SMRECONCILE,
            "(%s): Object '%s' is not longer valid, need to recreate it on the file system!\n", kName,
            clShowable(alias).c_str());
      if (recreateFileStub(obj) == 1) {
        job.status = &ReconcileStatus::m_recreatedCount;
        job.summary = decision.action == StubAction::kRecreate ? &RunSummary::recreated : &RunSummary::replaced;
        job.recreated = true;
        obj->setFileMigrState(kMigStateMigrated);
        job.update = true;
      } else {
        job.status = &ReconcileStatus::m_failedCount;
        job.summary = decision.action == StubAction::kRefuseRecord ? &RunSummary::refused : &RunSummary::failed;
        TRACE(TR_SMRECONCILEDETAIL, "(%s): FAILURE -> Recreation of stub for object '%s' failed!\n", kName,
              clShowable(alias).c_str());
      }
      break;
  }
  work().stub.reset();
}

void ReconcileModeMigUndelete::finishObject(ObjectJob& job) {
  ReconcileStatus& st = *m_status;
  ++st.m_processedCount;
  ZefServerMigratedObject* obj = job.obj;
  if (job.namesDirectories) nameMadeDirectories(obj->getAlias());
  if (!job.output.empty()) nlReleaseOutput(job.output);
  for (const std::string& line : job.log) st.ReconcileLogMsg(line.c_str(), "");
  st.m_summary.directoriesMade += job.directoriesMade;
  if (!job.lostDirectory.empty()) ++m_lostDirectories[job.lostDirectory];
  if (job.status != nullptr) ++(st.*job.status);
  if (job.summary != nullptr) ++(st.m_summary.*job.summary);
  if (job.recreated) {
    std::lock_guard<std::mutex> lock(m_dirsMutex);
    m_madeDirs.recreated(obj->getAlias(), obj->getAttributes()->uid, obj->getAttributes()->gid);
  }
  if (job.update) sendUpdate(obj);
  if (!job.repairedPath.empty()) nlfprintf(stdout, kMsg9344, job.repairedPath.c_str());
  objectDone();
  // Only a run shows progress: a preview lists every object already.
  if (m_detail == 1 && st.m_processedCount % kProgressEvery == 0) {
    std::string count = std::to_string(st.m_processedCount);
    nlfprintf(stdout, kMsg1898, count.c_str());
  }
}

void ReconcileModeMigUndelete::reportDecision(const StubDecision& decision,
                                              const std::string& alias) {
  // The escaped copy only where a message or a trace shows it.
  const bool shows = decision.action != StubAction::kRecreate || TR_SMRECONCILEDETAIL;
  const std::string shown = shows ? clShowable(decision.path) : std::string();
  const char* path = shown.c_str();
  switch (decision.action) {
    case StubAction::kRefuseAlias: checkAlias(alias); return;
    case StubAction::kRefuseNoAttributes:
      TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, path);
      nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(EINVAL));
      return;
    default: break;
  }
  for (const DecisionReport& report : kDecisionReports) {
    if (report.action != decision.action) continue;
    TRACE(TR_SMRECONCILEDETAIL, report.trace, kName, path);
    if (report.detailMessage != 0 && m_detail == 1) nlfprintf(stdout, report.detailMessage, path);
  }
}

bool ReconcileModeMigUndelete::bringBackDirectories(const StubDecision& decision,
                                                    const std::string& alias, ObjectJob* job) {
  ParentProbe parent = decision.parent;
  if (parent.state == ParentState::kMissing) {
    // One worker at a time: a directory another worker made since this
    // object's decision is found and used, never made twice.
    std::lock_guard<std::mutex> lock(m_dirsMutex);
    if (!m_stagingFd) {
      m_stagingFd.reset(openDirectoryStaging(m_mountFd.get()));
      if (!m_stagingFd) parent = ParentProbe{ParentState::kError, "/.Tarnveld", errno};
    }
    if (parent.state == ParentState::kMissing)
      parent = makeLostDirectories(m_mountFd.get(), m_stagingFd.get(), alias, [this, job](const MadeDirectory& dir) {
        ++job->directoriesMade;
        m_madeDirs.made(dir);
        // The first moment a user sees the directory under its name.
        stubTestKillPoint("AFTERMKDIR");
      });
  }
  if (decision.parent.state == ParentState::kMissing) {
    // On the run's own thread every earlier object is done: this one names
    // them now, as it makes them; a worker's object when its turn comes.
    if (t_work == nullptr)
      nameMadeDirectories(alias);
    else
      job->namesDirectories = true;
  }
  const std::string where = clShowable(m_fileSystem + parent.component);
  const std::string path = clShowable(decision.path);
  switch (parent.state) {
    case ParentState::kPresent: return true;
    case ParentState::kNotDirectory: nlfprintf(stderr, kMsg9704, path.c_str(), where.c_str()); break;
    case ParentState::kSymlink: nlfprintf(stderr, kMsg9705, path.c_str(), where.c_str()); break;
    case ParentState::kOtherMount: nlfprintf(stderr, kMsg9706, path.c_str(), where.c_str()); break;
    case ParentState::kMissing:
    case ParentState::kError:
      nlfprintf(stderr, kMsg9707, where.c_str(), parent.err, strerror(parent.err));
      break;
  }
  return false;
}

void ReconcileModeMigUndelete::nameMadeDirectories(const std::string& alias) {
  std::unique_lock<std::mutex> lock(m_dirsMutex);
  std::vector<std::string> made = m_madeDirs.nameNew(alias);
  lock.unlock();
  for (const std::string& dir : made) nlfprintf(stdout, kMsg9703, clShowable(m_fileSystem + dir).c_str());
  if (!made.empty()) fflush(stdout);
}

void ReconcileModeMigUndelete::sendUpdate(ZefServerMigratedObject* obj) {
  ++m_status->m_updateAttempts;
  const uint64_t committedBefore = m_server->committedUpdates();
  int urc = m_server->updateMigrObjectOnServer(obj, 3);
  if (urc != 0) {
    reconcileProcessError(urc, __FILE__, __LINE__);
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> updateMigrObjectOnServer() returns with rc = %d!\n",
          kName, urc);
  }
  if (m_server->committedUpdates() != committedBefore) stubTestKillPoint("AFTERCOMMIT");
}

void ReconcileModeMigUndelete::reportEnd() {
  const ReconcileStatus& st = *m_status;
  nlfprintf(stdout, kMsg12609, static_cast<unsigned long long>(st.m_updatedCount));
  if (st.incomplete()) {
    uint64_t notCommitted = st.m_updateAttempts - st.m_updatedCount;
    nlfprintf(stderr, kMsg9346, m_fileSystem.c_str(), static_cast<unsigned long long>(st.m_recreatedCount),
              static_cast<unsigned long long>(st.m_skippedCount),
              static_cast<unsigned long long>(st.m_failedCount),
              static_cast<unsigned long long>(notCommitted));
  } else if (m_run.scope.wholeFileSystem()) {
    nlfprintf(stdout, kMsg9316, m_fileSystem.c_str());
  } else {
    nlfprintf(stdout, kMsg9702, clShowable(m_run.scope.alias()).c_str(), m_fileSystem.c_str());
  }
  fflush(stdout);
}

int ReconcileModeMigUndelete::checkAlias(const std::string& alias) {
  // The control directory holds the file system's state, configuration and
  // run lock: a record naming it would make the file system unmanaged.
  if (!mayHoldStub(alias)) {
    TRACE(TR_SMRECONCILE, "(%s) Wrong alias (%s) for migrated object. Skipping!\n", kName,
          clShowable(alias).c_str());
    nlfprintf(stderr, kMsg9334, clShowable(alias).c_str());
    return 0;
  }
  return 1;
}

int ReconcileModeMigUndelete::prepareStub(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  if (work().stub.isResolved() && work().stub.alias() == alias) return 0;
  if (obj->getExtObjID() == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (work().stub.open(m_fileSystem, alias, obj->getExtObjIDString(), &work().dirs) != 0) return -1;
  return work().stub.look(nullptr);
}

bool ReconcileModeMigUndelete::removeStaleTemporary(const std::string& path) {
  bool any = false;
  std::string name;
  while (work().stub.removeStaleTemporary(&name) == 1) {
    std::string temp = path.substr(0, path.rfind('/') + 1) + name;
    TRACE(TR_SMRECONCILE, "(%s): removed the temporary %s of an earlier run\n", kName, clShowable(temp).c_str());
    nlfprintf(stdout, kMsg9345, clShowable(temp).c_str());
    any = true;
  }
  return any;
}

int ReconcileModeMigUndelete::isRecreationRequired(ZefServerMigratedObject* obj) {
  // The local file alone decides here, as in a run without -RECOVER.
  return decide(obj, StubRules{/*expiring=*/1, /*recovery=*/0}).makesStub() ? 1 : 0;
}

int ReconcileModeMigUndelete::recreateFileStub(ZefServerMigratedObject* obj) {
  const std::string& alias = obj->getAlias();
  // A stub already resolved for this alias passed the check when it was
  // opened (by the decision, or by prepareStub below); once is enough.
  const bool checked = work().stub.isResolved() && work().stub.alias() == alias;
  if (!checked && checkAlias(alias) == 0) return 0;
  std::string& path = work().stubPath.assign(m_fileSystem).append(alias);
  Attrib* attr = obj->getAttributes();
  if (attr == nullptr || obj->getExtObjID() == nullptr) {
    // Nothing to build the stub from; report it like any failed step.
    TRACE(TR_SMRECONCILE, "(%s) could not get Attrib info for %s!\n", kName, clShowable(path).c_str());
    nlfprintf(stderr, kMsg9184, hsmWhoAmI(), strerror(EINVAL));
    return 0;
  }
  switch (refusedRecordMessage(*attr)) {
    case kMsg9340: {
      char mode[16];
      snprintf(mode, sizeof mode, "0%o", attr->mode);
      nlfprintf(stderr, kMsg9340, clShowable(path).c_str(), mode);
      return 0;
    }
    case kMsg9341: nlfprintf(stderr, kMsg9341, clShowable(path).c_str(), attr->uid, attr->gid); return 0;
    default: break;
  }
  if (prepareStub(obj) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot open %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "open", err);
    work().stub.reset();
    return 0;
  }
  if (work().stub.seen().directory) {
    removeStaleTemporary(path);
    TRACE(TR_SMRECONCILE, "(%s): %s is a directory\n", kName, clShowable(path).c_str());
    stubFailure(path, "open", EEXIST);
    return 0;
  }
  int ok = createFileForStub(path, attr->size);
  if (ok == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createFileForStub(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = updateFileStat(path, attr)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): updateFileStat(%s) failed.\n", kName, clShowable(path).c_str());
  } else if ((ok = createStubFromFile(obj, path)) == 0) {
    TRACE(TR_SMRECONCILE, "(%s): createStubFromFile(%s) failed.\n", kName, clShowable(path).c_str());
  } else {
    ok = putInPlace(obj, path);
  }
  if (ok == 0) {
    work().stub.discard();
    return 0;
  }

  TRACE(TR_SMRECONCILE, "(%s) - compressed(%d), encrypted(%d), alias(%s) restored as a stub.\n", kName,
        (attr->flags & kFlagCompressed) ? 1 : 0, (attr->flags & kFlagEncrypted) ? 1 : 0,
        clShowable(alias).c_str());
  if (m_detail == 1) {
    nlfprintf(stdout, kMsg9321, clShowable(path).c_str());
    fflush(stdout);
    logMessage(kMsg9321, clShowable(path).c_str());
  }
  bool scoutOff = m_options != nullptr && m_options->hsmDisableAutoMigDaemons != 0;
  if (m_recovery == 0 && !scoutOff) informScout(path);
  return 1;
}

int ReconcileModeMigUndelete::putInPlace(ZefServerMigratedObject* obj, const std::string& path) {
  stubTestKillPoint("BEFORERENAME");
  // kmrrecalld may have excused the new file from recall while it was made
  // (its sizing is an access it sees): it must have stopped before the stub
  // has a name, or a read could pass the mark and see holes.
  if (const int err = askRecallGate(m_fileSystem, work().stub.fd())) {
    stubFailure(path, "askRecallGate", err);
    return 0;
  }
  if (work().stub.commit() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot put %s in place: %s\n", kName, clShowable(path).c_str(), strerror(err));
    if (err == EEXIST || err == ESTALE)
      nlfprintf(stderr, kMsg9343, clShowable(path).c_str());
    else
      stubFailure(path, "rename", err);
    return 0;
  }
  // The stub has its name: from here on a failure loses nothing, so what
  // is left is recorded and reported, never undone.
  if (work().stub.unmark() != 0)
    TRACE(TR_SMRECONCILE, "(%s): marker stays on %s: %s\n", kName, clShowable(path).c_str(), strerror(errno));
  struct stat st {};
  if (fstat(work().stub.fd(), &st) != 0) {
    int err = errno;
    stubFailure(path, "fstat", err);
    return 0;
  }
  Attrib* attr = obj->getAttributes();
  attr->inode = static_cast<uint32_t>(st.st_ino);
  attr->ctime = static_cast<uint32_t>(st.st_ctime);
  if (work().stub.close() != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot close %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
  }
  return 1;
}

void ReconcileModeMigUndelete::informScout(const std::string& path) {
  // File system, directory and file name parts, as the scout keys its lists.
  if (path.size() <= m_fileSystem.size() || path.compare(0, m_fileSystem.size(), m_fileSystem) != 0)
    return;
  // The part below the file system, cut at its last "/" in place.
  std::string& rest = work().scoutParts.assign(path, m_fileSystem.size());
  size_t slash = rest.rfind('/');
  if (slash == std::string::npos) return;
  const char* dir = "/";
  if (slash != 0) {
    rest[slash] = '\0';
    dir = rest.c_str();
  }
  const char* name = rest.c_str() + slash + 1;
  TRACE(TR_SMRECONCILEDETAIL, "(%s): Informing scout about a stub undelete for file %s!\n", kName,
        clShowable(path).c_str());
  HSM_Comm_ChangeFileStatus(m_fileSystem.c_str(), dir, name, 1);
}

int ReconcileModeMigUndelete::createFileForStub(std::string& path, unsigned long long size) {
  if (!work().stub.isResolved()) errno = EBADF;
  // What an earlier run left for this object goes first (nothing to do when
  // the decision already removed it).
  if (work().stub.isResolved()) removeStaleTemporary(path);
  bool created = work().stub.isResolved() && work().stub.createTemporary() == 0;
  if (!created) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot open %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "open", err);
    return 0;
  }
  stubTestKillPoint("AFTERCREATE");
  // The stub gets its size without a data block (nothing to punch out
  // again later). Where that fails, and for a size that has no last byte,
  // the seek to the last byte and its write show which step fails, as a
  // stub made byte by byte would; a write that works there leaves a byte
  // that the punch frees.
  // A size whose last block would end past the largest file offset makes
  // no file anyone could read back; it fails as the write of its last byte
  // does where the file system cannot hold it.
  char zero = 0;
  if (size > kLargestStubSize) {
    work().stub.discard();
    stubFailure(path, "write", EFBIG);
    return 0;
  }
  if (size > 0 && ftruncate64(work().stub.fd(), static_cast<off64_t>(size)) == 0) return 1;
  if (lseek64(work().stub.fd(), static_cast<off64_t>(size) - 1, SEEK_SET) < 0) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot lseek %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    work().stub.discard();
    stubFailure(path, "lseek", err);
    return 0;
  }
  if (write(work().stub.fd(), &zero, 1) != 1) {
    int err = errno;
    TRACE(TR_SMRECONCILE, "(%s): Cannot write %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    work().stub.discard();
    stubFailure(path, "write", err);
    return 0;
  }
  return 1;
}

int ReconcileModeMigUndelete::updateFileStat(std::string& path, Attrib* attributes) {
  if (!work().stub.isOpen()) {
    errno = EBADF;
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chown %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chown", err);
    return 0;
  }
  if (fchown(work().stub.fd(), attributes->uid, attributes->gid) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chown %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chown", err);
    return 0;
  }
  const int restoreSetId = m_options != nullptr ? m_options->hsmRestoreSetId : 0;
  const unsigned bits = stubPermissionBits(attributes->mode, restoreSetId);
  if (fchmod(work().stub.fd(), bits) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not chmod %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "chmod", err);
    return 0;
  }
  if ((attributes->mode & 06000) != 0 && (bits & 06000) == 0) nlfprintf(stdout, kMsg9342, clShowable(path).c_str());
  struct timespec times[2] = {{static_cast<time_t>(recordTime(attributes->atime)), 0},
                              {static_cast<time_t>(recordTime(attributes->mtime)), 0}};
  if (futimens(work().stub.fd(), times) != 0) {
    int err = errno;
    TRACE(TR_SMRECONCILEDETAIL, "(%s): Could not utime %s: %s\n", kName, clShowable(path).c_str(), strerror(err));
    stubFailure(path, "utime", err);
    return 0;
  }
  return 1;
}
