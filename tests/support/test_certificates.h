// Certificates for TLS tests, made with the openssl tool in a temporary folder once per test
// program: a certificate authority, a server certificate for "localhost" / 127.0.0.1 signed
// by it, and Diffie-Hellman parameters.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/secure_transport/secure_transport.h"

namespace corvane::test_support {

namespace st = platform::secure_transport;
using Bytes = std::vector<uint8_t>;

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command; true when it exits with 0.
inline bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// A certificate authority, a server certificate for "localhost" / 127.0.0.1 signed by it, and
// Diffie-Hellman parameters, made once per test program.
struct TestCertificates {
  std::string dir;
  std::string caPem, serverPem, serverKey, dhPem;
  std::shared_ptr<st::SecCertificate> ca;
  std::shared_ptr<st::SecIdentity> server;
  std::string error;  // why making them failed
  std::shared_ptr<void> removeFolder;  // removes the folder when the last copy goes

  static const TestCertificates& get() {
    static const TestCertificates certs = make();
    return certs;
  }

  // The server side's certificate list: identity, then the authority.
  st::SecItemList serverList() const { return {server, ca}; }

 private:
  static TestCertificates make() {
    TestCertificates c;
    char templ[] = "/tmp/corvane-tls-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
      c.error = "no temporary folder";
      return c;
    }
    c.dir = templ;
    c.removeFolder = std::shared_ptr<void>(nullptr, [dir = c.dir](void*) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    c.caPem = c.dir + "/ca.pem";
    c.serverPem = c.dir + "/server.pem";
    c.serverKey = c.dir + "/server.key";
    c.dhPem = c.dir + "/dh.pem";
    const std::string d = c.dir;
    const std::string quiet = " >/dev/null 2>&1";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    {
      std::ofstream ext(d + "/ext.cnf");
      ext << "subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";
    }
    const bool ok =
        run("openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + c.caPem +
            " -days 2 -subj '/CN=Corvane Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign" +
            quiet) &&
        run("openssl req" + ec + " -keyout " + c.serverKey + " -out " + d +
            "/server.csr -subj /CN=localhost" + quiet) &&
        run("openssl x509 -req -in " + d + "/server.csr -CA " + c.caPem + " -CAkey " + d +
            "/ca.key -CAcreateserial -out " + c.serverPem + " -days 2 -extfile " + d + "/ext.cnf" +
            quiet) &&
        run("openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out " + c.dhPem +
            quiet);
    if (!ok) {
      c.error = "the openssl tool failed to make test certificates";
      return c;
    }
    c.ca = st::SecCertificate::create(readFile(c.caPem));
    c.server = st::SecIdentity::create(readFile(c.serverPem), readFile(c.serverKey));
    if (!c.ca || !c.server) c.error = "the test certificates do not load";
    return c;
  }
};

}  // namespace corvane::test_support
