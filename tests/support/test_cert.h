// Test support: a throwaway TLS key and self-signed certificate, made by the
// openssl command in a directory of the test's own, and the fingerprint a
// client pins it by.
#ifndef KMR_TESTS_SUPPORT_TEST_CERT_H
#define KMR_TESTS_SUPPORT_TEST_CERT_H

#include <string>

#include "tests/support/zef_server.h"

namespace kmrtest {

struct TestCert {
  std::string key, cert;  // PEM files
  std::string pin;        // "SHA256:AB:CD:..."
};

// Makes `dir`/`name`.key and .crt (P-256, valid for two days). False when
// openssl failed; its output is then in `*output`.
inline bool makeTestCert(const std::string& dir, const std::string& name, TestCert* out,
                         std::string* output = nullptr) {
  out->key = dir + "/" + name + ".key";
  out->cert = dir + "/" + name + ".crt";
  std::string fp;
  if (runShell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" + name +
                   " -keyout " + out->key + " -out " + out->cert,
               output) != 0 ||
      runShell("openssl x509 -noout -fingerprint -sha256 -in " + out->cert, &fp) != 0)
    return false;
  auto eq = fp.find('=');
  if (eq == std::string::npos) return false;
  out->pin = "SHA256:" + fp.substr(eq + 1, fp.find_first_of("\r\n", eq) - eq - 1);
  return true;
}

}  // namespace kmrtest

#endif
