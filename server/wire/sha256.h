// SHA-256 of object data. The client that sends a file, the server that
// stores it and kmrrecalld that reads it back must all compute the same
// digest, so they all use this one class. It is OpenSSL's EVP SHA-256, which
// uses the processor's SHA instructions where it has them: the digest runs
// over every byte that migration and recall move, on both ends, and a
// portable implementation was the slowest step of a migration.
//
// Contract
// - One object digests one stream of bytes; it is used by one thread at a
//   time. Objects are independent of each other.
// - ok() is false when OpenSSL could not start a digest (no memory for its
//   context); add() then does nothing and final() returns false.
// - final() gives the digest of everything added and returns true, or
//   returns false when OpenSSL failed at any step (the digest is then
//   zeros). After final() the object is spent: add() and final() do nothing
//   and final() returns false.
#ifndef KMR_SERVER_WIRE_SHA256_H
#define KMR_SERVER_WIRE_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  bool ok() const { return ctx_ != nullptr && good_; }
  void add(const void* p, size_t n);
  bool final(Sha256Digest* out);

 private:
  struct evp_md_ctx_st* ctx_;
  bool good_ = true;
};

#endif  // KMR_SERVER_WIRE_SHA256_H
