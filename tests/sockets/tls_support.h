// Test helpers for TLS on the TCP socket: certificates made with the openssl tool in a
// temporary folder, the openssl tool run as a peer, and a plain TLS peer that drives a
// secure-transport session over a descriptor of its own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/secure_transport/secure_transport.h"
#include "support/openssl_test_server.h"
#include "support/test_certificates.h"
#include "tcp_support.h"

namespace corvane::tls_test {

using namespace tcp_test;
namespace st = platform::secure_transport;
using test_support::readFile;
using test_support::TestCertificates;

// A child process with its standard input and output on pipes; killed (by its id) and
// reaped on destruction.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    // A child that ended makes writes to its input fail instead of ending the tests.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = UniqueFd(in[1]);
    stdout_ = UniqueFd(out[0]);
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(stdin_.get(), text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads the child's output until it contains `text` (bounded); everything read so far is
  // kept in output().
  bool waitForOutput(const std::string& text, double seconds = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[4096];
    // Only the part that is new (and what a match could start in) is searched again.
    size_t searchFrom = 0;
    while (output_.find(text, searchFrom) == std::string::npos) {
      searchFrom = output_.size() >= text.size() ? output_.size() - text.size() + 1 : 0;
      const auto left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !waitReadable(stdout_.get(), left)) return false;
      const ssize_t n = ::read(stdout_.get(), buf, sizeof buf);
      if (n <= 0) return false;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Reads the child's output until at least `size` bytes were read in all (bounded).
  bool waitForOutputSize(size_t size, double seconds = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[65536];
    while (output_.size() < size) {
      const auto left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !waitReadable(stdout_.get(), left)) return false;
      const ssize_t n = ::read(stdout_.get(), buf, std::min(sizeof buf, size - output_.size()));
      if (n <= 0) return false;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
  std::string output_;
};

// A TLS peer on a plain blocking descriptor, driven step by step by the test through the
// secure-transport layer. With `capture` on, the bytes the session sends are kept in
// `captured` instead of being sent.
struct PlainTlsPeer {
  UniqueFd fd;
  std::shared_ptr<st::SSLContext> ctx;
  bool capture = false;
  Bytes captured;

  PlainTlsPeer(UniqueFd socket, st::SSLProtocolSide side) : fd(std::move(socket)) {
    ctx = st::SSLContext::create(side, st::SSLConnectionType::kSSLStreamType);
    ctx->setIOFuncs(&readFunc, &writeFunc);
    ctx->setConnection(this);
  }

  // Runs handshake steps until done or failed, waiting (bounded) for the peer's bytes.
  st::OSStatus handshake(double seconds = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      const st::OSStatus status = ctx->handshake();
      if (status != st::errSSLWouldBlock) return status;
      const auto left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !waitReadable(fd.get(), left)) return status;
    }
  }
  bool send(const Bytes& data) {
    size_t processed = 0;
    return ctx->write(data.data(), data.size(), &processed) == st::noErr;
  }
  // Receives exactly `n` bytes (bounded).
  bool receive(size_t n, Bytes* out, double seconds = kWait) {
    out->assign(n, 0);
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (done < n) {
      size_t processed = 0;
      const st::OSStatus status = ctx->read(out->data() + done, n - done, &processed);
      done += processed;
      if (status == st::noErr) continue;
      if (status != st::errSSLWouldBlock) return false;
      const auto left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !waitReadable(fd.get(), left)) return false;
    }
    return true;
  }

 private:
  static st::OSStatus readFunc(st::SSLConnectionRef c, void* data, size_t* length) {
    auto* self = static_cast<PlainTlsPeer*>(const_cast<void*>(c));
    const ssize_t n = ::recv(self->fd.get(), data, *length, MSG_DONTWAIT);
    if (n < 0) {
      *length = 0;
      return errno == EAGAIN || errno == EWOULDBLOCK ? st::errSSLWouldBlock : st::errSSLClosedAbort;
    }
    if (n == 0) {
      *length = 0;
      return st::errSSLClosedGraceful;
    }
    const bool all = static_cast<size_t>(n) == *length;
    *length = static_cast<size_t>(n);
    return all ? st::noErr : st::errSSLWouldBlock;
  }
  static st::OSStatus writeFunc(st::SSLConnectionRef c, const void* data, size_t* length) {
    auto* self = static_cast<PlainTlsPeer*>(const_cast<void*>(c));
    const auto* p = static_cast<const uint8_t*>(data);
    if (self->capture) {
      self->captured.insert(self->captured.end(), p, p + *length);
      return st::noErr;
    }
    return writeAll(self->fd.get(), Bytes(p, p + *length)) ? st::noErr : st::errSSLClosedAbort;
  }
};

// A TLS 1.2 server on a blocking descriptor, driven through OpenSSL itself so that it can ask
// for a renegotiation.
class RenegotiatingServer {
 public:
  explicit RenegotiatingServer(int fd) {
    ctx_ = test_support::newTls12ServerContext();
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd);
  }
  ~RenegotiatingServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  RenegotiatingServer(const RenegotiatingServer&) = delete;
  RenegotiatingServer& operator=(const RenegotiatingServer&) = delete;

  bool accept() { return SSL_accept(ssl_) == 1; }
  // Sends the request for a new handshake (without waiting for the answer).
  bool renegotiate() { return SSL_renegotiate(ssl_) == 1 && SSL_do_handshake(ssl_) == 1; }
  bool write(const std::string& text) {
    size_t written = 0;
    return SSL_write_ex(ssl_, text.data(), text.size(), &written) == 1;
  }

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace corvane::tls_test
