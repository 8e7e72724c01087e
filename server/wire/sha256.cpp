#include "server/wire/sha256.h"

#include <openssl/evp.h>

namespace {

// Fetched once: an implicit fetch on every init costs a provider look-up per
// object, which shows when thousands of small files go by.
const EVP_MD* sha256Method() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

Sha256Stream::Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
  const EVP_MD* md = sha256Method();
  good_ = ctx_ && md && EVP_DigestInit_ex2(ctx_, md, nullptr) == 1;
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(ctx_); }

void Sha256Stream::add(const void* p, size_t n) {
  if (ok() && n) good_ = EVP_DigestUpdate(ctx_, p, n) == 1;
}

bool Sha256Stream::final(Sha256Digest* out) {
  out->fill(0);
  if (!ok()) return false;
  unsigned int len = 0;
  good_ = EVP_DigestFinal_ex(ctx_, out->data(), &len) == 1 && len == out->size();
  bool done = good_;
  good_ = false;  // spent
  if (!done) out->fill(0);
  return done;
}
