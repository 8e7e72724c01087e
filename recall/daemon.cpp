#include "recall/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "hsmfs/fstable.h"
#include "hsmfs/hsmattr.h"
#include "hsmfs/recallgate.h"
#include "recall/fanotify_seam.h"

namespace {

const char kName[] = "RecallDaemon";

// The file system type as the kernel names it, for the refusal message.
std::string fsTypeName(const std::string& mountPoint) {
  struct statfs sf;
  if (statfs(mountPoint.c_str(), &sf) != 0) return "unknown";
  switch (static_cast<unsigned long>(sf.f_type)) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext2/3/4";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    default: {
      char hex[32];
      snprintf(hex, sizeof hex, "0x%lX", static_cast<unsigned long>(sf.f_type));
      return hex;
    }
  }
}

void logRecallFailure(const std::string& path, const RecallOutcome& o) {
  const char* who = hsmWhoAmI();
  switch (o.result) {
    case RecallResult::kServer:
      nlfprintf(stderr, kMsg9853, who, path.c_str(), o.code);
      break;
    case RecallResult::kDamaged:
      nlfprintf(stderr, kMsg9854, who, path.c_str());
      break;
    case RecallResult::kNoSpace:
      nlfprintf(stderr, kMsg9855, who, path.c_str());
      break;
    default:
      nlfprintf(stderr, kMsg9856, who, path.c_str(), strerror(o.code));
      break;
  }
}

// The process holding the stub-making lock of the file open at `fd`
// (hsmattr.h, kStubMakingLockOffset), or 0 when no one holds it.
pid_t stubMaker(int fd) {
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = kStubMakingLockOffset;
  l.l_len = 1;
  return fcntl(fd, F_GETLK, &l) == 0 && l.l_type != F_UNLCK ? l.l_pid : 0;
}

void putStatus(char* at, uint32_t v) {
  at[0] = static_cast<char>(v >> 24), at[1] = static_cast<char>(v >> 16);
  at[2] = static_cast<char>(v >> 8), at[3] = static_cast<char>(v);
}

// The path of an open descriptor, for messages only.
std::string pathOf(int fd) {
  char link[64], buf[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("?");
}

}  // namespace

RecallDaemon::RecallDaemon(SourceFactory makeSource, unsigned workers)
    : m_makeSource(std::move(makeSource)), m_workerCount(workers ? workers : 1) {}

RecallDaemon::~RecallDaemon() {
  stopWorkers();
  for (auto& [name, w] : m_watched) closeGate(w);
  for (int c : m_askers) close(c);
  if (m_access >= 0) close(m_access);
  if (m_attrib >= 0) close(m_attrib);
}

int RecallDaemon::open() {
  if (int err = fan::initAccessGroup(&m_access)) {
    nlfprintf(stderr, kMsg9857, hsmWhoAmI(), strerror(err));
    return err;
  }
  if (int err = fan::initAttribGroup(&m_attrib)) {
    nlfprintf(stderr, kMsg9857, hsmWhoAmI(), strerror(err));
    return err;
  }
  for (unsigned i = 0; i < m_workerCount; ++i) m_workers.emplace_back([this] { worker(); });
  return 0;
}

size_t RecallDaemon::rescan() {
  TREnterExit<char> ee(__FILE__, __LINE__, "RecallDaemon::rescan");
  HsmFsTable::the().updateManagedTable(1, 1);
  std::set<std::string> present;
  managedFsTable table;
  HsmFsEntry entry;
  while (table.getEntry(entry, 0, 1) == 1) {
    const std::string& fs = entry.m_fsName;
    present.insert(fs);
    if (m_watched.count(fs) || m_refused.count(fs)) continue;
    struct stat st;
    int err = stat(fs.c_str(), &st) == 0 ? 0 : errno;
    if (!err) err = fan::markFileSystem(m_access, fs.c_str(), fan::kAccessMask);
    if (err == EOPNOTSUPP || err == EINVAL) {
      nlfprintf(stderr, kMsg9851, hsmWhoAmI(), fs.c_str(), fsTypeName(fs).c_str());
      m_refused.insert(fs);
      continue;
    }
    if (!err && (err = fan::markFileSystem(m_attrib, fs.c_str(), fan::kAttribMask)) != 0)
      fan::unmarkFileSystem(m_access, fs.c_str(), fan::kAccessMask);
    if (err) {
      nlfprintf(stderr, kMsg9852, hsmWhoAmI(), fs.c_str(), strerror(err));
      m_refused.insert(fs);
      continue;
    }
    Watched& w = m_watched[fs] = Watched{fs, st.st_dev};
    openGate(w);
    nlfprintf(stdout, kMsg9850, hsmWhoAmI(), fs.c_str());
  }
  // A file system that is gone takes its marks with it; one no longer
  // managed gives them back. A refused one is looked at again when it
  // comes back.
  for (auto it = m_watched.begin(); it != m_watched.end();) {
    if (present.count(it->first)) {
      ++it;
      continue;
    }
    fan::unmarkFileSystem(m_access, it->first.c_str(), fan::kAccessMask);
    fan::unmarkFileSystem(m_attrib, it->first.c_str(), fan::kAttribMask);
    closeGate(it->second);
    it = m_watched.erase(it);
  }
  for (auto it = m_refused.begin(); it != m_refused.end();) it = present.count(*it) ? std::next(it) : m_refused.erase(it);
  // A journal or a test reading the output sees the lines now.
  fflush(stdout);
  return m_watched.size();
}

int RecallDaemon::run(int signalFd, int rescanSeconds) {
  for (;;) {
    // The kernel's groups and the signals, then each gate, then each
    // connection of a gate waiting for its question.
    std::vector<struct pollfd> p = {{m_access, POLLIN, 0}, {m_attrib, POLLIN, 0}, {signalFd, POLLIN, 0}};
    for (const auto& [name, w] : m_watched)
      if (w.gate >= 0) p.push_back({w.gate, POLLIN, 0});
    const size_t firstAsker = p.size();
    for (int c : m_askers) p.push_back({c, POLLIN, 0});
    int n = poll(p.data(), p.size(), rescanSeconds > 0 ? rescanSeconds * 1000 : -1);
    if (n < 0 && errno != EINTR) break;
    if (n == 0) rescan();
    if (n <= 0) continue;
    for (size_t i = firstAsker; i < p.size(); ++i)
      if (p[i].revents) answerAsker(p[i].fd);
    for (size_t i = 3; i < firstAsker; ++i)
      if (p[i].revents & POLLIN) acceptAsker(p[i].fd);
    // Attribute changes first: a mark dropped now keeps the accesses read
    // below from slipping past a file that has just become a stub.
    if (p[1].revents & POLLIN) readAttribEvents();
    if (p[0].revents & POLLIN) readAccessEvents();
    if (p[2].revents & POLLIN) {
      struct signalfd_siginfo si;
      if (read(signalFd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) continue;
      if (si.ssi_signo == SIGHUP) {
        rescan();
        continue;
      }
      nlfprintf(stdout, kMsg9858, hsmWhoAmI());
      break;
    }
  }
  stopWorkers();
  return 0;
}

void RecallDaemon::readAccessEvents() {
  alignas(fanotify_event_metadata) char buf[64 * 1024];
  ssize_t len = read(m_access, buf, sizeof buf);
  if (len <= 0) return;
  fan::forEachEvent(buf, len, [this](const fanotify_event_metadata* m) {
    if (m->vers != FANOTIFY_METADATA_VERSION || m->fd < 0) return;
    TRACE(TR_SMRECALLDETAIL, "%s: access event 0x%llx on %s\n", kName, static_cast<unsigned long long>(m->mask),
          pathOf(m->fd).c_str());
    Event e;
    e.fd = m->fd;
    e.permission = fan::isPermission(m->mask);
    e.write = (m->mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) != 0;
    e.pid = m->pid;
    dispatch(e);
  });
}

void RecallDaemon::dispatch(const Event& e) {
  struct stat st;
  std::string fsName;
  if (fstat(e.fd, &st) == 0) {
    for (const auto& [name, w] : m_watched)
      if (w.dev == st.st_dev) fsName = name;
  }
  if (fsName.empty() || !S_ISREG(st.st_mode)) {
    // Not a file of ours (a mark that outlived its table entry): let it be.
    if (e.permission) fan::respond(m_access, e.fd, FAN_ALLOW);
    close(e.fd);
    return;
  }
  if (e.permission) {
    // A program making this file a stub in place: its own steps go on, any
    // other access waits for the end (hsmattr.h, kStubMakingLockOffset).
    if (const pid_t maker = stubMaker(e.fd)) {
      fan::respond(m_access, e.fd, maker == e.pid ? FAN_ALLOW : fan::denyErrno(EBUSY));
      close(e.fd);
      return;
    }
  }
  const Key key{st.st_dev, st.st_ino};
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_jobs.find(key);
  if (it != m_jobs.end()) {
    it->second.events.push_back(e);
    return;
  }
  m_jobs[key] = Job{fsName, {e}};
  m_queue.push_back(key);
  m_wake.notify_one();
}

void RecallDaemon::readAttribEvents() {
  alignas(fanotify_event_metadata) char buf[16 * 1024];
  for (;;) {
    ssize_t len = read(m_attrib, buf, sizeof buf);
    if (len <= 0) return;
    fan::forEachEvent(buf, len, [this](const fanotify_event_metadata* m) { attribEvent(m); });
  }
}

void RecallDaemon::attribEvent(const fanotify_event_metadata* m) {
  const struct file_handle* h = fan::fidHandle(m);
  TRACE(TR_SMRECALL, "%s: attribute event 0x%llx%s\n", kName, static_cast<unsigned long long>(m->mask),
        h ? "" : " without a handle");
  if (!h) return;
  // The daemon's own changes (a recall's "VOQPMig", "VOQObj" and region,
  // times) are followed by the marks that the file's new state calls for;
  // dropping them again would only cost the file another event.
  if (m->pid == getpid()) return;
  // The handle says which file; any watched mount opens it.
  for (const auto& [name, w] : m_watched) {
    int dir = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) continue;
    const bool modified = (m->mask & FAN_MODIFY) != 0;
    // A change of attributes only touches the marks; a write needs the
    // file's state, read through a read-write descriptor. (fanotify_mark
    // does not take O_PATH descriptors.) Opening reads no data.
    int fd = open_by_handle_at(dir, const_cast<struct file_handle*>(h),
                               (modified ? O_RDWR : O_RDONLY) | O_NOATIME | O_CLOEXEC);
    close(dir);
    if (fd < 0) {
      TRACE(TR_SMRECALL, "%s: the file of an attribute event cannot be opened: errno %d\n", kName, errno);
      continue;
    }
    if (m->mask & FAN_ATTRIB) {
      const int err = fan::dropIgnore(m_access, fd, fan::kAccessMask);
      TRACE(TR_SMRECALLDETAIL, "%s: ignore mark dropped: %d\n", kName, err);
      fan::dropIgnore(m_attrib, fd, FAN_MODIFY);
    }
    if (modified) attribWrite(fd);
    close(fd);
    return;
  }
}

// A write the access group cannot see (truncate by name): a premigrated
// file becomes resident; a resident one is excused from further reports.
void RecallDaemon::attribWrite(int fd) {
  int state = recallFileState(fd);
  if (state == DMI_STATE_PREMIGRATED) {
    if (const int err = recallMakeResident(fd)) {
      nlfprintf(stderr, kMsg9856, hsmWhoAmI(), pathOf(fd).c_str(), strerror(err));
      return;
    }
    state = DMI_STATE_RESIDENT;
  }
  if (state == DMI_STATE_RESIDENT) fan::addIgnore(m_attrib, fd, FAN_MODIFY);
}

void RecallDaemon::worker() {
  std::unique_ptr<RecallSource> source = m_makeSource();
  for (;;) {
    Key key;
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
      if (m_queue.empty()) return;
      key = m_queue.front();
      m_queue.pop_front();
      job = m_jobs[key];
    }
    handle(*source, key, job);
  }
}

void RecallDaemon::handle(RecallSource& source, Key key, Job& job) {
  Recaller recaller(source);
  int state = DMI_STATE_ERROR;
  bool recalled = false;
  const uint32_t answer = decide(recaller, job, &state, &recalled);
  bool waits = false;
  for (const Event& e : job.events) waits = waits || e.permission;
  finish(key, answer, state, recalled, waits);
}

// The answer for the job's accesses; *state receives the file's state after,
// *recalled whether this job brought the data back.
uint32_t RecallDaemon::decide(Recaller& recaller, const Job& job, int* state, bool* recalled) {
  const int fd = job.events.front().fd;
  *state = recallFileState(fd);
  // Only an access that waits is worth a recall. Writes reported of a stub
  // are the stub maker's own (it punches the data out); anyone else's write
  // waits in an access first.
  bool waits = false;
  for (const Event& e : job.events) waits = waits || e.permission;
  if (*state == DMI_STATE_RESIDENT && excuse(fd, DMI_STATE_RESIDENT, state)) return FAN_ALLOW;
  if (*state == DMI_STATE_MIGRATED && !waits) return FAN_ALLOW;
  // A stub in the making: "VOQObj" is written after the maker took its lock,
  // so a state read as migrated while the lock is held is the maker's, and a
  // recall now would bring the data back under a file being punched (and take
  // its "VOQObj" away). Accesses that got past the check at their arrival
  // (dispatch) wait like the others would.
  if (*state == DMI_STATE_MIGRATED && stubMaker(fd) != 0) return fan::denyErrno(EBUSY);
  if (*state == DMI_STATE_ERROR) {
    const RecallOutcome o{RecallResult::kLocal, errno ? errno : EIO};
    logRecallFailure(pathOf(fd), o);
    return fan::denyErrno(EIO);
  }
  if (*state != DMI_STATE_PREMIGRATED) {
    TRACE(TR_SMRECALL, "%s: recalling %s\n", kName, pathOf(fd).c_str());
    const RecallOutcome o = recaller.recall(fd, job.fsName);
    if (const int err = accessErrno(o.result)) {
      logRecallFailure(pathOf(fd), o);
      return fan::denyErrno(err);
    }
    *recalled = o.result == RecallResult::kRecalled;
    *state = *recalled ? DMI_STATE_PREMIGRATED : recallFileState(fd);
  }
  return FAN_ALLOW;
}

// Excuses a file in `state` from the events that state needs no answer to.
// The state is read again once the marks are on: a migration that wrote
// "VOQObj" before is seen here, one after drops the marks when its report is
// read (readAttribEvents), so no mark the daemon sets outlives that report.
// A migration in place does not wait for that: it asks the gate before it
// punches (answerAsker). *now receives the state read; false if it was no
// longer `state` (the marks are off again).
bool RecallDaemon::excuse(int fd, int state, int* now) {
  const bool resident = state == DMI_STATE_RESIDENT;
  {
    // A file being made a stub is excused from nothing: its maker has asked
    // the gate to drop the marks (or will), and one set after that would
    // outlive the punch.
    std::lock_guard<std::mutex> lock(m_markMutex);
    if (stubMaker(fd) != 0) {
      *now = recallFileState(fd);
      return false;
    }
    fan::addIgnore(m_access, fd, resident ? fan::kResidentIgnore : fan::kPremigratedIgnore);
    if (resident) fan::addIgnore(m_attrib, fd, FAN_MODIFY);
  }
  if ((*now = recallFileState(fd)) == state) return true;
  fan::dropIgnore(m_attrib, fd, FAN_MODIFY);
  fan::dropIgnore(m_access, fd, fan::kAccessMask);
  return false;
}

void RecallDaemon::finish(Key key, uint32_t answer, int state, bool recalled, bool decidedForAccess) {
  std::vector<Event> events;
  std::vector<int> waiters;  // gate questions about this file
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    Job& job = m_jobs[key];
    events = std::move(job.events);
    job.events.clear();
    // An access that joined a job decided for reports alone (a write or a
    // truncation already done) was not decided for: it makes a job of its own.
    if (!decidedForAccess) {
      auto access = std::stable_partition(events.begin(), events.end(), [](const Event& e) { return !e.permission; });
      job.events.assign(access, events.end());
      events.erase(access, events.end());
    }
    if (job.events.empty()) {
      m_jobs.erase(key);
      if (auto w = m_waiting.find(key); w != m_waiting.end()) {
        waiters = std::move(w->second);
        m_waiting.erase(w);
      }
    } else {
      m_queue.push_back(key);
      m_wake.notify_one();
    }
  }
  const int fd = events.front().fd;
  // Writes reported with a recall came before it (every other writer waits
  // for this job's answer): the stub maker's punch and close. Only a write to
  // a file that was already premigrated ends its server copy.
  bool written = false;
  for (const Event& e : events) written = written || (e.write && !recalled);
  if (state == DMI_STATE_PREMIGRATED && answer == FAN_ALLOW) {
    if (written) {
      // The server's copy is no longer the file's content.
      const int err = recallMakeResident(fd);
      if (err) nlfprintf(stderr, kMsg9856, hsmWhoAmI(), pathOf(fd).c_str(), strerror(err));
      else excuse(fd, DMI_STATE_RESIDENT, &state);
    } else {
      excuse(fd, DMI_STATE_PREMIGRATED, &state);
    }
  }
  for (const Event& e : events) {
    if (e.permission) fan::respond(m_access, e.fd, answer);
    close(e.fd);
  }
  for (int c : waiters) answerGate(c, 0);
}

// The gate of one watched file system: a socket only root may reach, made
// anew at each start (a stale one of a daemon that died is removed).
void RecallDaemon::openGate(Watched& w) {
  std::string address;
  const std::string shown = recallGatePath(w.fsName);
  w.gateDir = recallGateDir(w.fsName, &address);
  int err = w.gateDir < 0 ? errno : 0;
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (!err && address.size() >= sizeof sa.sun_path) err = ENAMETOOLONG;
  if (!err) {
    memcpy(sa.sun_path, address.c_str(), address.size() + 1);
    unlinkat(w.gateDir, kRecallGateName, 0);
    w.gate = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (w.gate < 0 || bind(w.gate, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        fchmodat(w.gateDir, kRecallGateName, 0600, 0) != 0 || listen(w.gate, 64) != 0)
      err = errno;
  }
  if (!err) return;
  nlfprintf(stderr, kMsg9860, hsmWhoAmI(), shown.c_str(), strerror(err));
  closeGate(w);
}

void RecallDaemon::closeGate(Watched& w) {
  if (w.gate >= 0) {
    close(w.gate);
    unlinkat(w.gateDir, kRecallGateName, 0);
  }
  if (w.gateDir >= 0) close(w.gateDir);
  w.gate = w.gateDir = -1;
}

void RecallDaemon::acceptAsker(int gate) {
  for (;;) {
    const int c = accept4(gate, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) return;
    // Only root may make the daemon stop to listen; anyone else is hung up on.
    struct ucred peer {};
    socklen_t len = sizeof peer;
    if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != 0) {
      close(c);
      continue;
    }
    m_askers.push_back(c);
  }
}

// A stub maker's question: the attribute reports the kernel holds are read
// (so every mark they drop is gone) and the marks of the file it sent are
// dropped; then the answer. The maker punches only after it.
void RecallDaemon::answerAsker(int conn) {
  RecallGateMessage m;
  const ssize_t got = recvmsg(conn, &m.header, MSG_CMSG_CLOEXEC);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  int fd = -1;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&m.header); c; c = CMSG_NXTHDR(&m.header, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)))
      memcpy(&fd, CMSG_DATA(c), sizeof fd);
  m_askers.erase(std::find(m_askers.begin(), m_askers.end(), conn));
  if (got == static_cast<ssize_t>(sizeof m.bytes) && memcmp(m.bytes, kRecallGateAsk, sizeof kRecallGateAsk) == 0 &&
      !(m.header.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
    recallTestPoint("RECALLGATE");
    const int status = fd >= 0 ? dropMarksFor(fd) : EBADF;
    struct stat st {};
    if (status == 0 && fstat(fd, &st) == 0) {
      // The accesses the kernel reported before the question are worked on
      // first: the asker then finds the file as they leave it.
      for (struct pollfd p{m_access, POLLIN, 0}; poll(&p, 1, 0) > 0;) readAccessEvents();
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_jobs.count(Key{st.st_dev, st.st_ino})) {
        m_waiting[Key{st.st_dev, st.st_ino}].push_back(conn);  // answered by finish
        close(fd);
        return;
      }
    }
    answerGate(conn, status);
  } else {
    close(conn);
  }
  if (fd >= 0) close(fd);
}

void RecallDaemon::answerGate(int conn, int status) {
  char reply[kRecallGateMsgLen];
  memcpy(reply, kRecallGateDone, sizeof kRecallGateDone);
  putStatus(reply + 4, static_cast<uint32_t>(status));
  send(conn, reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
  close(conn);
}

// 0, or EXDEV for a file of no watched file system.
int RecallDaemon::dropMarksFor(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  bool ours = false;
  for (const auto& [name, w] : m_watched) ours = ours || w.dev == st.st_dev;
  if (!ours) return EXDEV;
  std::lock_guard<std::mutex> lock(m_markMutex);
  readAttribEvents();
  fan::dropIgnore(m_access, fd, fan::kAccessMask);
  fan::dropIgnore(m_attrib, fd, FAN_MODIFY);
  TRACE(TR_SMRECALL, "%s: marks dropped for a stub maker\n", kName);
  return 0;
}

void RecallDaemon::stopWorkers() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& t : m_workers) t.join();
  m_workers.clear();
  // Accesses still waiting get an error, never the holes of a stub; gate
  // questions still waiting get no answer (the asker does not punch).
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& [key, conns] : m_waiting)
    for (int c : conns) close(c);
  m_waiting.clear();
  for (auto& [key, job] : m_jobs)
    for (const Event& e : job.events) {
      if (e.permission) fan::respond(m_access, e.fd, fan::denyErrno(EIO));
      close(e.fd);
    }
  m_jobs.clear();
  m_queue.clear();
}
