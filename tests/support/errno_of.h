// Test support: a failed call and its errno as one value to compare.
#ifndef KMR_TESTS_SUPPORT_ERRNO_OF_H
#define KMR_TESTS_SUPPORT_ERRNO_OF_H

#include <errno.h>

namespace kmrtest {

// Runs `call` with errno cleared. Returns the errno it left when it returned
// `failed` (-1 for the C library and the DMAPI library, 0 for calls that
// report failure with 0), and 0 when it returned anything else: a call that
// wrongly succeeds, or fails without setting errno, never compares equal to
// an expected errno.
template <typename Call>
int errnoOf(Call&& call, long failed = -1) {
  errno = 0;
  const long rc = static_cast<long>(call());
  return rc == failed ? errno : 0;
}

}  // namespace kmrtest

#endif
