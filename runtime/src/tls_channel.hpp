// Mutual TLS 1.3 over a migration's channel (OpenSSL's libssl). Both sides present their
// machine's certificate (machine_identity.hpp); each accepts the other only when the peer's
// fingerprint is in its own trust list (trust_list.hpp), and otherwise ends the handshake
// with an alert, so that a stranger learns nothing but that it is refused. Certificates are
// not checked against any authority: the fingerprint is the whole of a machine's name, and
// TLS 1.3's CertificateVerify proves that the peer holds the key behind it.
#pragma once

#include "machine_identity.hpp"
#include "stream_socket.hpp"

#include <string>
#include <vector>

namespace zor {

enum class TlsRole {
    kSender,    // connected: the TLS client
    kReceiver,  // accepted: the TLS server
};

// Runs the handshake on channel within deadline and turns the channel's reads and writes
// into the session's. Refuses with kMigrationFailure when the peer does not speak TLS 1.3,
// presents no certificate or one whose fingerprint is not in trusted, refuses this machine,
// or does not finish in time; the refusal names the peer's fingerprint when it had one.
// A TLS 1.3 client finishes before the server has judged its certificate: a receiver that
// refuses the sender says so with an alert that the sender reads as its first answer.
void secure_channel(Channel &channel, TlsRole role, const MachineIdentity &identity,
                    const std::vector<std::string> &trusted, Deadline deadline);

// What OpenSSL says of the last failure of a session call that returned ssl_error.
std::string tls_error_text(int ssl_error);

}  // namespace zor
