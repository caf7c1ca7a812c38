// An OpenSSL server context for tests that drive the server side through OpenSSL itself.
#pragma once

#include <openssl/ssl.h>

#include "support/test_certificates.h"

namespace corvane::test_support {

// A new TLS 1.2 server context with the test server's certificate chain and key; the caller
// frees it with SSL_CTX_free.
inline SSL_CTX* newTls12ServerContext() {
  const TestCertificates& certs = TestCertificates::get();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_use_certificate_chain_file(ctx, certs.serverPem.c_str());
  SSL_CTX_use_PrivateKey_file(ctx, certs.serverKey.c_str(), SSL_FILETYPE_PEM);
  return ctx;
}

}  // namespace corvane::test_support
