// FileMigrator: migrates the regular files of one managed file system. A
// file goes resident -> premigrated ("VOQPMig": its data and record
// committed on the server) -> migrated ("VOQObj", managed region, data
// punched out), and a file that changes on the way stays whole. Stores are
// pipelined: up to the data interface's window of files is sent before the
// first answer is read, so that the server makes them durable as one batch;
// each file's own steps after its store (the premigrated mark, the stub
// under the exclusive right) run only once the server acknowledged that
// file's store, in the order the files were sent.
//
// Contract
// - Main thread only. One migrator per file system per run; it owns two
//   server sessions (the data verbs' and the record changes', whose
//   transaction list gathers the stubs' record updates) and borrows the
//   process's DMAPI session and the mount point's descriptor. The records'
//   session signs on in a thread of its own while the first data streams
//   (each sign-on is a password check of most of a second on the server);
//   the main thread waits for it before the first stub, and a file whose
//   stub would need it while it failed stays premigrated and counts failed.
// - migrate() never leaves a file in another state than whole, premigrated
//   with its data on the server, or a stub whose data the server holds, and
//   never makes a stub of a file whose size, modification time, change time
//   or inode differ from what was read and sent (checked under the
//   exclusive DMAPI right). The outcome of a file is reported (the
//   messages are printed here) and counted when it is decided: at once for
//   a file that needs no store, else when its store's answer is taken (by a
//   later migrate() whose store needs room in the window, or by finish()).
// - finish() takes the answers of the stores still in flight and finishes
//   their files, then sends the record updates still gathered; 0 or the
//   server layer's code. Updates not committed leave records that name the file as
//   it was premigrated; kmrmigundelete repairs them on its next run.
#ifndef KMR_MIGRATE_FILEMIGRATOR_H
#define KMR_MIGRATE_FILEMIGRATOR_H

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "common/objectid.h"
#include "common/uniquefd.h"
#include "server/attrib.h"

class ZefServerCommInterface;
class ZefServerDataInterface;

enum class MigrateOutcome { kMigrated, kAlready, kEmpty, kChanged, kFailed, kPreview };

struct MigrateCounts {
  uint64_t migrated = 0, already = 0, empty = 0, changed = 0, failed = 0, previewed = 0;
  uint64_t bytesSent = 0;
};

class FileMigrator {
 public:
  // Signs the two sessions on for `mountPoint` (its server stanza). `rc`
  // receives 0 or the server layer's code; a migrator with rc != 0 is not used.
  FileMigrator(int& rc, const std::string& mountPoint, int mountFd, bool preview, int detail);
  ~FileMigrator();
  FileMigrator(const FileMigrator&) = delete;
  FileMigrator& operator=(const FileMigrator&) = delete;

  // Migrates the file at `rel` (relative to the mount point, no leading "/").
  void migrate(const std::string& rel);
  int finish();
  const MigrateCounts& counts() const { return counts_; }
  const std::string& mountPoint() const { return mount_; }

 private:
  struct Step;
  void count(MigrateOutcome o);
  // Everything up to the store: true with `*out` set when the file was
  // decided without one; false when it is to be sent.
  bool begin(Step& s, MigrateOutcome* out);
  // Sends the file's store, waiting first for room in the window; the file
  // joins the files in flight, or is decided when the store cannot go out.
  void sendStore(std::unique_ptr<Step> s);
  // Takes the oldest store's answer and finishes its file.
  void completeOldest();
  // Finishes every file in flight (before an exchange that needs the data
  // session to itself, and at the end).
  void drain();
  // A file's steps after its store answered `rc`.
  MigrateOutcome afterStore(Step& s, int rc);
  MigrateOutcome failed(Step& s, const char* what);
  MigrateOutcome changed(Step& s);
  // Whether a premigrated file still holds what the server has (its bytes
  // read again and compared by size and SHA-256).
  bool premigratedStillGood(Step& s);
  // Whether an earlier run was stopped between "VOQObj" and the end of the
  // stub, with the file's data still whole and on the server.
  bool interruptedStub(Step& s);
  MigrateOutcome makeStub(Step& s);
  void updateRecord(Step& s, uint64_t inode, int64_t ctime);
  void dropServerObject(const midExtObjId_t& id, const std::string& alias);
  // The records' interface once its sign-on ended: 0, or the sign-on's code
  // (reported once; the interface is then not used).
  int recordsReady();

  std::string mount_;
  int mountFd_;
  bool preview_;
  int detail_;
  std::unique_ptr<ZefServerDataInterface> data_;
  std::unique_ptr<ZefServerCommInterface> records_;
  std::thread recordsSignOn_;
  int recordsRc_ = 0;
  bool recordsReported_ = false;
  MigrateCounts counts_;
  std::deque<std::unique_ptr<Step>> inFlight_;  // sent, oldest first
};

#endif
