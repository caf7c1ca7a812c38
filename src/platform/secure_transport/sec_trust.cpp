// Certificates, identities, the process's additional anchors and trust evaluation.
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/secure_transport/openssl_support.h"
#include "platform/secure_transport/secure_transport.h"

namespace corvane::platform::secure_transport {

namespace detail {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr memoryBio(const std::vector<uint8_t>& bytes) {
  if (bytes.empty() || bytes.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

bool looksLikePem(const std::vector<uint8_t>& bytes) {
  static constexpr std::string_view kDashes = "-----BEGIN";
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return text.find(kDashes) != std::string_view::npos;
}

X509Ptr parseCertificate(const std::vector<uint8_t>& bytes) {
  BioPtr bio = memoryBio(bytes);
  if (!bio) return nullptr;
  if (looksLikePem(bytes)) return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  return X509Ptr(d2i_X509_bio(bio.get(), nullptr));
}

PKeyPtr parsePrivateKey(const std::vector<uint8_t>& bytes) {
  BioPtr bio = memoryBio(bytes);
  if (!bio) return nullptr;
  if (looksLikePem(bytes)) {
    return PKeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  return PKeyPtr(d2i_PrivateKey_bio(bio.get(), nullptr));
}

// Never destroyed, like the library itself (see initialiseLibrary).
std::mutex& anchorsMutex() {
  static auto* m = new std::mutex;
  return *m;
}

std::vector<std::shared_ptr<SecCertificate>>& additionalAnchors() {
  static auto* anchors = new std::vector<std::shared_ptr<SecCertificate>>;
  return *anchors;
}

}  // namespace

void initialiseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_ssl(
        OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
        nullptr);
  });
}

X509Ptr retain(X509* x) {
  if (x == nullptr) return nullptr;
  X509_up_ref(x);
  return X509Ptr(x);
}

void addSystemAnchors(X509_STORE* store) {
  X509_STORE_set_default_paths(store);
  std::lock_guard<std::mutex> lock(anchorsMutex());
  for (const auto& anchor : additionalAnchors())
    X509_STORE_add_cert(store, anchor->impl().x509.get());
}

StorePtr systemTrustStore() {
  StorePtr store(X509_STORE_new());
  if (store) addSystemAnchors(store.get());
  return store;
}

OSStatus statusForVerifyError(long verifyError) {
  switch (verifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
      return errSSLHostNameMismatch;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return errSSLCertExpired;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return errSSLUnknownRootCert;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      return errSSLNoRootCert;
    default:
      return errSSLXCertChainInvalid;
  }
}

std::string verifyErrorText(long verifyError) {
  const char* text = X509_verify_cert_error_string(verifyError);
  return text != nullptr ? text : "certificate verification failed";
}

}  // namespace detail

// ---- SecCertificate

SecCertificate::SecCertificate(std::unique_ptr<detail::CertificateData> impl)
    : impl_(std::move(impl)) {}

SecCertificate::~SecCertificate() = default;

std::shared_ptr<SecCertificate> SecCertificate::create(const std::vector<uint8_t>& pemOrDer) {
  detail::initialiseLibrary();
  detail::X509Ptr x509 = detail::parseCertificate(pemOrDer);
  if (!x509) return nullptr;
  auto data = std::make_unique<detail::CertificateData>();
  data->x509 = std::move(x509);
  return std::make_shared<SecCertificate>(std::move(data));
}

std::string SecCertificate::subjectSummary() const {
  X509_NAME* name = X509_get_subject_name(impl_->x509.get());
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) return {};
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string result(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return result;
}

std::vector<uint8_t> SecCertificate::data() const {
  unsigned char* der = nullptr;
  const int length = i2d_X509(impl_->x509.get(), &der);
  if (length <= 0) return {};
  std::vector<uint8_t> result(der, der + length);
  OPENSSL_free(der);
  return result;
}

// ---- SecIdentity

SecIdentity::SecIdentity(std::unique_ptr<detail::IdentityData> impl,
                         std::shared_ptr<SecCertificate> certificate)
    : impl_(std::move(impl)), certificate_(std::move(certificate)) {}

SecIdentity::~SecIdentity() = default;

std::shared_ptr<SecIdentity> SecIdentity::create(const std::vector<uint8_t>& certificate,
                                                 const std::vector<uint8_t>& privateKey) {
  detail::initialiseLibrary();
  auto cert = SecCertificate::create(certificate);
  detail::PKeyPtr key = detail::parsePrivateKey(privateKey);
  if (!cert || !key) return nullptr;
  if (X509_check_private_key(cert->impl().x509.get(), key.get()) != 1) return nullptr;
  auto data = std::make_unique<detail::IdentityData>();
  data->x509 = detail::retain(cert->impl().x509.get());
  data->key = std::move(key);
  return std::make_shared<SecIdentity>(std::move(data), std::move(cert));
}

void setAdditionalSystemAnchors(std::vector<std::shared_ptr<SecCertificate>> anchors) {
  detail::initialiseLibrary();
  std::lock_guard<std::mutex> lock(detail::anchorsMutex());
  detail::additionalAnchors() = std::move(anchors);
}

// ---- SecTrust

SecTrust::SecTrust(std::unique_ptr<detail::TrustData> impl) : impl_(std::move(impl)) {}

SecTrust::~SecTrust() = default;

size_t SecTrust::certificateCount() const { return impl_->chain.size(); }

std::shared_ptr<SecCertificate> SecTrust::certificateAtIndex(size_t index) const {
  if (index >= impl_->chain.size()) return nullptr;
  auto data = std::make_unique<detail::CertificateData>();
  data->x509 = detail::retain(impl_->chain[index].get());
  return std::make_shared<SecCertificate>(std::move(data));
}

void SecTrust::setAnchorCertificates(std::vector<std::shared_ptr<SecCertificate>> anchors) {
  impl_->anchorsSet = true;
  impl_->anchors = std::move(anchors);
}

bool SecTrust::evaluate(std::string* reason) const {
  auto fail = [reason](std::string why) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  };
  if (impl_->chain.empty()) return fail("no certificate");
  detail::StorePtr store(X509_STORE_new());
  if (!store) return fail("out of memory");
  if (impl_->anchorsSet) {
    for (const auto& anchor : impl_->anchors) {
      if (anchor) X509_STORE_add_cert(store.get(), anchor->impl().x509.get());
    }
  } else {
    detail::addSystemAnchors(store.get());
  }
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (size_t i = 1; i < impl_->chain.size(); ++i) sk_X509_push(untrusted, impl_->chain[i].get());
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  bool ok = false;
  long error = X509_V_ERR_UNSPECIFIED;
  if (ctx != nullptr &&
      X509_STORE_CTX_init(ctx, store.get(), impl_->chain.front().get(), untrusted) == 1) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (!impl_->hostName.empty()) X509_VERIFY_PARAM_set1_host(param, impl_->hostName.c_str(), 0);
    ok = X509_verify_cert(ctx) == 1;
    error = X509_STORE_CTX_get_error(ctx);
  }
  X509_STORE_CTX_free(ctx);
  sk_X509_free(untrusted);
  if (!ok) return fail(detail::verifyErrorText(error));
  if (reason != nullptr) reason->clear();
  return true;
}

}  // namespace corvane::platform::secure_transport
