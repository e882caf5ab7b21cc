// The handshake, driven on the channel's non-blocking socket, and the check of the peer's
// certificate against the trust list in place of OpenSSL's chain check.
#include "tls_channel.hpp"

#include "refusal.hpp"

#include <openssl/err.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

namespace zor {

namespace {

using TlsContext = std::unique_ptr<SSL_CTX, void (*)(SSL_CTX *)>;

[[noreturn]] void fail(const std::string &what) {
    throw Refusal(kMigrationFailure, what);
}

// What the check of the peer saw, for the refusal's message.
struct PeerCheck {
    const std::vector<std::string> *trusted;
    std::string fingerprint;  // of the peer's certificate, "" when it sent none
};

// Called by OpenSSL instead of its chain check. It must not throw: OpenSSL is C.
int check_peer(X509_STORE_CTX *store, void *argument) {
    auto *check = static_cast<PeerCheck *>(argument);
    X509 *certificate = X509_STORE_CTX_get0_cert(store);
    try {
        if (certificate != nullptr) {
            check->fingerprint = fingerprint_of(certificate);
            if (std::find(check->trusted->begin(), check->trusted->end(), check->fingerprint) !=
                check->trusted->end()) {
                return 1;
            }
        }
    } catch (const std::exception &) {
        check->fingerprint.clear();
    }
    // Sent to the peer as a bad_certificate alert.
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

// OpenSSL's socket BIO writes with write(2), and a write to a peer that has gone raises
// SIGPIPE, which would end the command before it puts the container back. This one sends
// with MSG_NOSIGNAL and is otherwise the plain socket: the channel owns the descriptor.
int send_quietly(BIO *bio, const char *data, std::size_t size, std::size_t *sent) {
    BIO_clear_retry_flags(bio);
    const ssize_t done = send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, size, MSG_NOSIGNAL);
    if (done >= 0) {
        *sent = static_cast<std::size_t>(done);
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        BIO_set_retry_write(bio);
    }
    return 0;
}

int receive_plainly(BIO *bio, char *data, std::size_t size, std::size_t *got) {
    BIO_clear_retry_flags(bio);
    const ssize_t done = recv(static_cast<int>(BIO_get_fd(bio, nullptr)), data, size, 0);
    if (done > 0) {
        *got = static_cast<std::size_t>(done);
        return 1;
    }
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    } else if (done == 0) {
        BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    }
    return 0;
}

// The socket BIO's own control calls (its descriptor, flush, EOF) serve this one unchanged.
long control_plainly(BIO *bio, int command, long number, void *pointer) {
    return BIO_meth_get_ctrl(BIO_s_socket())(bio, command, number, pointer);
}

const BIO_METHOD *quiet_socket_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_TYPE_SOCKET, "zor socket without SIGPIPE");
        if (made != nullptr) {
            BIO_meth_set_write_ex(made, send_quietly);
            BIO_meth_set_read_ex(made, receive_plainly);
            BIO_meth_set_ctrl(made, control_plainly);
            BIO_meth_set_create(made, BIO_meth_get_create(BIO_s_socket()));
            BIO_meth_set_destroy(made, BIO_meth_get_destroy(BIO_s_socket()));
        }
        return made;
    }();
    return method;
}

TlsContext new_context(TlsRole role, const MachineIdentity &identity, PeerCheck &check) {
    TlsContext context(
        SSL_CTX_new(role == TlsRole::kSender ? TLS_client_method() : TLS_server_method()),
        SSL_CTX_free);
    const bool made = context &&
                      SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION) == 1 &&
                      SSL_CTX_set_max_proto_version(context.get(), TLS1_3_VERSION) == 1 &&
                      SSL_CTX_use_certificate(context.get(), identity.certificate.get()) == 1 &&
                      SSL_CTX_use_PrivateKey(context.get(), identity.key.get()) == 1 &&
                      SSL_CTX_check_private_key(context.get()) == 1;
    if (!made) {
        fail("cannot set TLS up: " + tls_error_text(SSL_ERROR_SSL));
    }
    // A receiver asks for the sender's certificate and refuses a sender without one.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(context.get(), check_peer, &check);
    // One connection, one session: no tickets to resume it by, so nothing arrives from the
    // receiver between the handshake and its first answer. A stream cut short is caught by
    // the frames' end digest, so a missing close_notify is no error of its own.
    SSL_CTX_set_num_tickets(context.get(), 0);
    SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    return context;
}

}  // namespace

std::string tls_error_text(int ssl_error) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (ssl_error == SSL_ERROR_SYSCALL && code == 0) {
        return errno != 0 ? std::generic_category().message(errno)
                          : std::string("the peer closed the connection");
    }
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    const std::string text =
        reason != nullptr ? reason : "TLS failure " + std::to_string(ssl_error);
    if (text.find("alert") != std::string::npos) {
        return "the peer ended TLS with an alert (" + text + ")";
    }
    return "TLS: " + text;
}

void secure_channel(Channel &channel, TlsRole role, const MachineIdentity &identity,
                    const std::vector<std::string> &trusted, Deadline deadline) {
    PeerCheck check{&trusted, ""};
    const TlsContext context = new_context(role, identity, check);
    TlsSession session(SSL_new(context.get()), SSL_free);
    BIO *socket = quiet_socket_method() != nullptr ? BIO_new(quiet_socket_method()) : nullptr;
    if (!session || socket == nullptr) {
        BIO_free(socket);
        fail("cannot set TLS up: " + tls_error_text(SSL_ERROR_SSL));
    }
    BIO_set_fd(socket, channel.fd(), BIO_NOCLOSE);
    SSL_set_bio(session.get(), socket, socket);
    channel.set_deadline(deadline, "no answer from the peer within the TLS handshake's time limit");
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int done =
            role == TlsRole::kSender ? SSL_connect(session.get()) : SSL_accept(session.get());
        if (done == 1) {
            break;
        }
        const int error = SSL_get_error(session.get(), done);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            channel.wait(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN);
            continue;
        }
        const std::string why = tls_error_text(error);
        if (SSL_get_verify_result(session.get()) != X509_V_OK) {
            fail(check.fingerprint.empty() ? "the peer presented no usable certificate"
                                           : "the peer's certificate " + check.fingerprint +
                                                 " is not among the machines trusted here");
        }
        fail("TLS handshake failed: " + why);
    }
    // The check above ran for this handshake; a session without a peer certificate would
    // have skipped it.
    if (SSL_get0_peer_certificate(session.get()) == nullptr ||
        SSL_get_verify_result(session.get()) != X509_V_OK) {
        fail("the peer presented no certificate");
    }
    channel.set_deadline(Deadline::max(), "");
    channel.use_tls(std::move(session));
}

}  // namespace zor
