// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/tls_transport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "net/openssl_library.h"

namespace kestrel::net {

namespace {

// Room for OpenSSL's error text.
constexpr std::size_t kErrorText = 256;

// Only ever called once the library is loaded: a context exists.
const OpenSslLibrary& Ssl() {
  return *OpenSsl();
}

struct ContextFree {
  void operator()(SSL_CTX* context) const { Ssl().SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { Ssl().SSL_free(ssl); }
};

std::string LastOpenSslError() {
  const unsigned long code = Ssl().ERR_get_error();
  if (code == 0) return "no further detail";
  char text[kErrorText];
  Ssl().ERR_error_string_n(code, text, sizeof text);
  Ssl().ERR_clear_error();
  return text;
}

// TLS records leave through send() with MSG_NOSIGNAL: a peer that went away
// fails the write instead of raising SIGPIPE, and no process-wide signal
// setting is needed. Reads keep OpenSSL's own socket BIO.
int SendWithoutSignal(BIO* bio, const char* data, int size) {
  Ssl().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  const int socket = static_cast<int>(reinterpret_cast<std::intptr_t>(Ssl().BIO_get_data(bio)));
  const ssize_t sent = ::send(socket, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && Ssl().BIO_sock_non_fatal_error(errno)) {
    Ssl().BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
  }
  return static_cast<int>(sent);
}

long ControlWriter(BIO*, int command, long, void*) {
  // Nothing is buffered here: a flush always succeeds; nothing else is known.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* WriterMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = Ssl().BIO_meth_new(Ssl().BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                          "socket writer without SIGPIPE");
    if (made) {
      Ssl().BIO_meth_set_write(made, SendWithoutSignal);
      Ssl().BIO_meth_set_ctrl(made, ControlWriter);
    }
    return made;
  }();
  return method;
}

// A BIO that writes to `socket` (not closed with it); null on failure.
BIO* NewSocketWriter(int socket) {
  const BIO_METHOD* method = WriterMethod();
  BIO* bio = method ? Ssl().BIO_new(method) : nullptr;
  if (!bio) return nullptr;
  Ssl().BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket)));
  Ssl().BIO_set_init(bio, 1);
  return bio;
}

bool IsAddress(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

struct TlsTransport::State {
  std::unique_ptr<SSL_CTX, ContextFree> context;
  std::unique_ptr<SSL, SslFree> ssl;
  std::string failure;
};

TlsTransport::TlsTransport(int socket, std::unique_ptr<State> state)
    : socket_(socket), state_(std::move(state)) {}

TlsTransport::~TlsTransport() {
  // A quiet close: one attempt, no waiting for the peer's answer.
  if (state_ && state_->ssl) Ssl().SSL_shutdown(state_->ssl.get());
}

std::unique_ptr<TlsTransport> TlsTransport::Create(int socket, const std::string& host,
                                                   const std::string& ca_file, std::string& error) {
  if (!OpenSsl()) {
    error = "cannot load OpenSSL: " + LoadFailure();
    return nullptr;
  }
  const OpenSslLibrary& lib = Ssl();
  auto state = std::make_unique<State>();
  state->context.reset(lib.SSL_CTX_new(lib.TLS_client_method()));
  if (!state->context) {
    error = "cannot create TLS context: " + LastOpenSslError();
    return nullptr;
  }
  SSL_CTX* context = state->context.get();
  if (lib.SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1) {
    error = "cannot require TLS 1.2 or later: " + LastOpenSslError();
    return nullptr;
  }
  lib.SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (lib.SSL_CTX_set_default_verify_paths(context) != 1) {
    // Without the system's store only a CA file can vouch for the server.
    if (ca_file.empty()) {
      error = "cannot load the system's trusted certificates: " + LastOpenSslError();
      return nullptr;
    }
    lib.ERR_clear_error();
  }
  if (!ca_file.empty() &&
      lib.SSL_CTX_load_verify_locations(context, ca_file.c_str(), nullptr) != 1) {
    error = "cannot load CA file " + ca_file + ": " + LastOpenSslError();
    return nullptr;
  }
  state->ssl.reset(lib.SSL_new(context));
  BIO* reader = state->ssl ? lib.BIO_new_socket(socket, BIO_NOCLOSE) : nullptr;
  BIO* writer = reader ? NewSocketWriter(socket) : nullptr;
  if (!writer) {
    lib.BIO_free(reader);
    error = "cannot set up TLS: " + LastOpenSslError();
    return nullptr;
  }
  SSL* ssl = state->ssl.get();
  lib.SSL_set_bio(ssl, reader, writer);
  constexpr long kModes = SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;
  if ((lib.SSL_ctrl(ssl, SSL_CTRL_MODE, kModes, nullptr) & kModes) != kModes) {
    error = "cannot set up TLS writes: " + LastOpenSslError();
    return nullptr;
  }
  // The certificate must name the host we asked for; a check that cannot be
  // set up ends the connection rather than letting any certificate pass.
  if (host.empty()) {
    error = "no host name to verify";
    return nullptr;
  }
  if (IsAddress(host)) {
    if (lib.X509_VERIFY_PARAM_set1_ip_asc(lib.SSL_get0_param(ssl), host.c_str()) != 1) {
      error = "cannot verify the address " + host + ": " + LastOpenSslError();
      return nullptr;
    }
  } else {
    if (lib.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(host.c_str())) != 1) {
      error = "cannot name the server " + host + ": " + LastOpenSslError();
      return nullptr;
    }
    if (lib.SSL_set1_host(ssl, host.c_str()) != 1) {
      error = "cannot verify the host name " + host + ": " + LastOpenSslError();
      return nullptr;
    }
  }
  lib.SSL_set_connect_state(ssl);
  return std::unique_ptr<TlsTransport>(new TlsTransport(socket, std::move(state)));
}

IoResult TlsTransport::Translate(int result) {
  if (result > 0) return {IoResult::Status::Done, static_cast<std::size_t>(result), 0, 0};
  const int code = Ssl().SSL_get_error(state_->ssl.get(), result);
  switch (code) {
    case SSL_ERROR_WANT_READ:
      return {IoResult::Status::WouldBlock, 0, POLLIN, 0};
    case SSL_ERROR_WANT_WRITE:
      return {IoResult::Status::WouldBlock, 0, POLLOUT, 0};
    case SSL_ERROR_ZERO_RETURN:
      return {IoResult::Status::Closed, 0, 0, 0};
    case SSL_ERROR_SYSCALL: {
      const int saved = errno;
      Ssl().ERR_clear_error();
      if (saved == 0 || saved == ECONNRESET) return {IoResult::Status::Closed, 0, 0, 0};
      state_->failure = "connection error " + std::to_string(saved);
      return {IoResult::Status::Failed, 0, 0, saved};
    }
    default:
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
      // A server that drops the connection without TLS's own goodbye has
      // closed it all the same; what it said before stays read.
      if (ERR_GET_REASON(Ssl().ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        Ssl().ERR_clear_error();
        return {IoResult::Status::Closed, 0, 0, 0};
      }
#endif
      state_->failure = LastOpenSslError();
      return {IoResult::Status::Failed, 0, 0, EPROTO};
  }
}

IoResult TlsTransport::Handshake() {
  Ssl().ERR_clear_error();
  const int result = Ssl().SSL_do_handshake(state_->ssl.get());
  if (result == 1) return {IoResult::Status::Done, 1, 0, 0};
  IoResult outcome = Translate(result);
  // An unexpected end during the handshake is a failure, not a quiet close.
  if (outcome.status == IoResult::Status::Closed) {
    state_->failure = "the server closed the connection";
    outcome.status = IoResult::Status::Failed;
  }
  return outcome;
}

std::string TlsTransport::FailureText() const {
  const long verify = Ssl().SSL_get_verify_result(state_->ssl.get());
  if (verify != X509_V_OK) {
    return std::string("certificate not trusted: ") + Ssl().X509_verify_cert_error_string(verify);
  }
  return state_->failure.empty() ? "handshake failed" : state_->failure;
}

std::string TlsTransport::Description() const {
  SSL* ssl = state_->ssl.get();
  return std::string(Ssl().SSL_get_version(ssl)) + " " +
         Ssl().SSL_CIPHER_get_name(Ssl().SSL_get_current_cipher(ssl));
}

IoResult TlsTransport::Send(const char* data, std::size_t size) {
  Ssl().ERR_clear_error();
  const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  return Translate(Ssl().SSL_write(state_->ssl.get(), data, chunk));
}

IoResult TlsTransport::Receive(char* data, std::size_t size) {
  Ssl().ERR_clear_error();
  const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  return Translate(Ssl().SSL_read(state_->ssl.get(), data, chunk));
}

bool TlsTransport::HasPendingInput() const {
  return Ssl().SSL_pending(state_->ssl.get()) > 0;
}

}  // namespace kestrel::net
