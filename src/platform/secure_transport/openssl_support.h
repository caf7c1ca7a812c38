// Internals shared by the secure-transport sources: the OpenSSL objects behind the public
// types, and the trust store. Not part of the layer's interface.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/secure_transport/secure_transport.h"

namespace corvane::platform::secure_transport::detail {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

struct CertificateData {
  X509Ptr x509;
};

struct IdentityData {
  X509Ptr x509;
  PKeyPtr key;
};

struct TrustData {
  std::vector<X509Ptr> chain;  // leaf first
  std::string hostName;        // empty: any host
  bool anchorsSet = false;
  std::vector<std::shared_ptr<SecCertificate>> anchors;
};

// Initialises the TLS library once, without its clean-up at process exit: worker threads
// that never end may still be inside the library while exit handlers run, and the clean-up
// would free global state under them.
void initialiseLibrary();
// A new reference to `x`.
X509Ptr retain(X509* x);
// The system's store (default locations) plus the process's additional anchors.
StorePtr systemTrustStore();
// Adds the system's default locations and the process's additional anchors to `store`.
void addSystemAnchors(X509_STORE* store);
// The status for a failed chain verification (X509_V_ERR_...).
OSStatus statusForVerifyError(long verifyError);
// The text of a chain verification error.
std::string verifyErrorText(long verifyError);

}  // namespace corvane::platform::secure_transport::detail
