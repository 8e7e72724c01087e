// FileWriter: puts a recall's data into the file, in order, while the next
// data arrives. The receiving thread hands bytes over with add(); they are
// gathered into pieces of kPiece bytes, and for a file of more than two
// pieces a thread of the writer's own writes each full piece while the
// receiver takes (and checks) the next one, so the copy into the page cache
// no longer waits for the network and the other way round. The pieces
// already written are handed to the disk as the recall goes (write-behind),
// so the sync at the end finds little left.
//
// Contract
// - One receiving thread calls add() and finish(); the writer's own thread
//   never calls back. Memory: at most kPieces pieces, whatever the size.
// - add() returns 0, or 1 with error() set: EFBIG for bytes out of order or
//   beyond the size, ENOMEM, or the errno of a failed write (reported at
//   the first add() or finish() after it).
// - Every byte is hashed (SHA-256) where it is written, on the writer's
//   thread when there is one: the receiver's thread is left the receiving.
//   verify() hands over the last bytes, waits for every write and returns 0
//   when all `size` bytes came and hash to `sha256` (32 bytes), EBADMSG when
//   they hash otherwise, else the errno value of what failed.
// - finish() waits for every write, checks that `size` bytes came, and
//   fdatasyncs the file: 0 or an errno value (EFBIG when fewer bytes came).
// - drain() waits until nothing is being written: call it before touching
//   the file after a failure (a punch must not race a write). The
//   destructor drains as well.
#ifndef KMR_RECALL_FILEWRITER_H
#define KMR_RECALL_FILEWRITER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/wire/sha256.h"

class FileWriter {
 public:
  static constexpr size_t kPiece = 1 << 20;
  static constexpr size_t kPieces = 4;
  static constexpr uint64_t kWriteBehind = 8 << 20;

  FileWriter(int fd, uint64_t size);
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  int add(uint64_t offset, const uint8_t* data, size_t len);
  int verify(const uint8_t* sha256);
  int finish();
  void drain();
  int error();

 private:
  struct Piece {
    std::unique_ptr<uint8_t[]> buf;
    uint64_t at = 0;  // where in the file it goes
    size_t len = 0;
  };
  // Gives the piece being filled to the writer (or writes it here when
  // there is no writer thread) and takes an empty one: 0 or 1 (error set).
  int handOver();
  // Writes a piece and starts the write-back in steps: 0 or the errno.
  int write(const Piece& p);
  void run();

  const int m_fd;
  const uint64_t m_size;
  uint64_t m_received = 0;  // receiving thread only
  uint64_t m_synced = 0;    // the writing thread only
  bool m_wroteAny = false;  // the writing thread only
  Sha256Stream m_sha;       // the writing thread only
  Piece m_fill;             // the receiving thread's piece
  std::mutex m_mu;
  std::condition_variable m_cv;
  std::deque<Piece> m_queue;  // full pieces, oldest first
  std::vector<Piece> m_free;
  bool m_busy = false;  // the writer holds a piece
  bool m_stop = false;
  int m_err = 0;
  std::thread m_thread;
};

#endif
