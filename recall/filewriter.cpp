#include "recall/filewriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "recall/recall.h"

FileWriter::FileWriter(int fd, uint64_t size) : m_fd(fd), m_size(size) {
  const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, size ? size : 1));
  m_fill.buf.reset(new (std::nothrow) uint8_t[piece]);
  if (!m_fill.buf || !m_sha.ok()) m_err = ENOMEM;
  // A small file is written at once by the receiver: a thread would cost
  // more than the overlap gains.
  if (!m_err && size > 2 * kPiece) {
    try {
      m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
}

FileWriter::~FileWriter() {
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_stop = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

int FileWriter::error() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_err;
}

int FileWriter::add(uint64_t offset, const uint8_t* data, size_t len) {
  if (offset != m_received || len > m_size - offset) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_err = EFBIG;
    return 1;
  }
  m_received += len;
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(kPiece, m_size));
  while (len > 0) {
    const size_t n = std::min(len, cap - m_fill.len);
    memcpy(m_fill.buf.get() + m_fill.len, data, n);
    m_fill.len += n, data += n, len -= n;
    if (m_fill.len == cap && handOver() != 0) return 1;
  }
  return 0;
}

int FileWriter::handOver() {
  if (!m_thread.joinable()) {
    const int err = write(m_fill);
    m_fill.at += m_fill.len, m_fill.len = 0;
    if (err) {
      std::lock_guard<std::mutex> lock(m_mu);
      m_err = err;
    }
    return err ? 1 : 0;
  }
  std::unique_lock<std::mutex> lock(m_mu);
  const uint64_t next = m_fill.at + m_fill.len;
  m_queue.push_back(std::move(m_fill));
  m_cv.notify_all();
  // An empty piece: one given back, or a new one while fewer than kPieces
  // exist (the one queued, those queued before it, the writer's own).
  const size_t pieces = m_queue.size() + m_free.size() + (m_busy ? 1 : 0);
  if (m_free.empty() && pieces < kPieces) {
    m_fill = Piece{};
    m_fill.buf.reset(new (std::nothrow) uint8_t[kPiece]);
    if (!m_fill.buf) return m_err = ENOMEM, 1;
  } else {
    m_cv.wait(lock, [this] { return !m_free.empty() || m_err; });
    if (m_err) return 1;
    m_fill = std::move(m_free.back());
    m_free.pop_back();
  }
  m_fill.at = next, m_fill.len = 0;
  return m_err ? 1 : 0;
}

void FileWriter::run() {
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    m_cv.wait(lock, [this] { return !m_queue.empty() || m_stop; });
    if (m_queue.empty()) return;
    Piece p = std::move(m_queue.front());
    m_queue.pop_front();
    m_busy = true;
    const bool failed = m_err != 0;
    lock.unlock();
    const int err = failed ? 0 : write(p);
    lock.lock();
    m_busy = false;
    if (err && !m_err) m_err = err;
    p.len = 0;
    m_free.push_back(std::move(p));
    m_cv.notify_all();
  }
}

int FileWriter::write(const Piece& p) {
  m_sha.add(p.buf.get(), p.len);
  for (size_t done = 0; done < p.len;) {
    ssize_t n = pwrite(m_fd, p.buf.get() + done, p.len - done, static_cast<off_t>(p.at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  if (!m_wroteAny && p.len > 0) {
    m_wroteAny = true;
    recallTestPoint("RECALLCHUNK");
  }
  const uint64_t written = p.at + p.len;
  if (written - m_synced >= kWriteBehind) {
    sync_file_range(m_fd, static_cast<off_t>(m_synced), static_cast<off_t>(written - m_synced), SYNC_FILE_RANGE_WRITE);
    m_synced = written;
  }
  return 0;
}

void FileWriter::drain() {
  std::unique_lock<std::mutex> lock(m_mu);
  m_cv.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

int FileWriter::verify(const uint8_t* sha256) {
  if (error() || (m_fill.len > 0 && handOver() != 0)) return drain(), error();
  drain();
  if (int err = error()) return err;
  if (m_received != m_size) return EFBIG;
  Sha256Digest got;
  if (!m_sha.final(&got)) return ENOMEM;
  return memcmp(got.data(), sha256, got.size()) == 0 ? 0 : EBADMSG;
}

int FileWriter::finish() {
  if (error()) return drain(), error();
  if (m_fill.len > 0 && handOver() != 0) return drain(), error();
  drain();
  if (int err = error()) return err;
  if (m_received != m_size) return EFBIG;
  return fdatasync(m_fd) == 0 ? 0 : errno;
}
