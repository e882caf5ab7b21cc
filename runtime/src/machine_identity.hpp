// A machine's identity for migrations: each state directory is one machine, with its own key
// pair and self-signed certificate, kept together in machine.pem inside the state directory.
// Peers know each other by the certificate's fingerprint (the SHA-256 of its DER form), as ssh
// hosts know each other by their host keys; nothing else of the certificate (names, dates,
// issuer) is relied on.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace zor {

using PrivateKey = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;
using Certificate = std::unique_ptr<X509, void (*)(X509 *)>;

struct MachineIdentity {
    PrivateKey key{nullptr, EVP_PKEY_free};
    Certificate certificate{nullptr, X509_free};
};

// The identity of the machine whose state directory is directory (which exists), made on
// first use: a P-256 key and a certificate for it, written at once whole (a file made apart
// and linked into place, so that two commands that start together agree on one identity).
// The file is the owner's alone (0600); one that others may read or write, that another user
// owns, or that is a symbolic link is refused with kStateFailure.
MachineIdentity machine_identity(const std::string &directory);

// "SHA256:" and the 64 lowercase hex digits of the SHA-256 of certificate in DER form.
std::string fingerprint_of(X509 *certificate);

}  // namespace zor
