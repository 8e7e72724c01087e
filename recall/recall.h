// One recall: bringing a stub's data back from the server into the file,
// through the descriptor the kernel handed over with the access event.
//
// The order is what keeps a stub whole or a stub: the data is written and
// made durable while the file still carries "VOQObj" (a crash leaves a stub
// that the next access recalls again); only then does the file become
// premigrated ("VOQPMig" written, "VOQObj" and the managed region removed).
// A recall that fails punches out whatever it wrote, so the stub never holds
// part of its data under the look of a whole file.
//
// Contract
// - RecallSource::read streams the whole object in order into the sink and
//   returns 0 only when the server confirmed it and `check` said its SHA-256
//   matched; else a client return code (common/rc.h) or the sink's own code.
//   One source serves one thread; the daemon gives each worker its own.
// - Recaller::recall runs on any thread; it takes a DMAPI token of its own
//   with the exclusive right for the file while it works, through the HSM
//   layer installed by the process (hsmfs/hsmenv.h).
#ifndef KMR_RECALL_RECALL_H
#define KMR_RECALL_RECALL_H

#include <cstdint>
#include <string>

#include "common/objectid.h"
#include "server/datainterface.h"

class RecallSource {
 public:
  virtual ~RecallSource() = default;
  // `fsName` is the managed file system (mount point) the object belongs to.
  virtual int read(const std::string& fsName, const midExtObjId_t& id, const DataSink& sink,
                   const DigestCheck& check) = 0;
};

enum class RecallResult {
  kRecalled,   // the data is back, the file is premigrated
  kNotStub,    // nothing to do: the file is premigrated or resident
  kEmptied,    // an open with O_TRUNC emptied the stub (the kernel announces
               // no such truncation): no data is wanted, the file is resident
  kServer,     // the server could not be reached, refused or has no data
  kDamaged,    // the data did not match its SHA-256 or its size
  kNoSpace,    // the file system is full
  kLocal,      // reading or writing the file or its attributes failed
};

struct RecallOutcome {
  RecallResult result = RecallResult::kLocal;
  int code = 0;  // the client return code or errno behind a failure
};

// The errno the access gets: 0 (go on), ENOSPC or EIO.
int accessErrno(RecallResult r);

class Recaller {
 public:
  explicit Recaller(RecallSource& source) : m_source(source) {}
  // Recalls the file open (read-write) at `fd`, a stub of `fsName`.
  RecallOutcome recall(int fd, const std::string& fsName);

 private:
  RecallSource& m_source;
};

// The migration state of the file open at `fd` (hsmfs/hsmattr.h's
// DMI_STATE_...), read through the HSM layer; DMI_STATE_ERROR on failure.
int recallFileState(int fd);
// TESTFLAGS KILLATSTEP:"<step>" ends the daemon at the named step, as
// SIGKILL or a power cut would; PAUSEATSTEP:"<step>" stops it there
// (SIGSTOP) so that a test can act while it waits. Steps: "RECALLCHUNK",
// after the first piece of a recall's data is in the file; "RECALLGATE",
// when a stub maker's question has arrived at the gate, before it is answered.
void recallTestPoint(const char* step);
// Makes the premigrated file open at `fd` resident (dmiResetFileMigStat):
// 0, or an errno value.
int recallMakeResident(int fd);

#endif
