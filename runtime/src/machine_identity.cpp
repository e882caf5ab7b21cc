// Key pair and certificate with OpenSSL's libcrypto, kept as PEM in one file.
#include "machine_identity.hpp"

#include "refusal.hpp"
#include "scope_guard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace zor {

namespace {

constexpr char kIdentityFile[] = "/machine.pem";
// The certificate says nothing that is checked; its name only helps a person who reads it.
constexpr char kCommonName[] = "zor-runtime machine";
// Peers trust the fingerprint, not the dates; a certificate that expired would only break
// tools that read its dates, so it lasts as long as X.509 allows to say.
constexpr long kValiditySeconds = 100L * 365 * 24 * 3600;

using Bio = std::unique_ptr<BIO, void (*)(BIO *)>;

[[noreturn]] void fail(const std::string &what) {
    throw Refusal(kStateFailure, what);
}

std::string errno_text() {
    return std::generic_category().message(errno);
}

PrivateKey new_key() {
    // What EVP_EC_gen expands to, without its cast of a constant string.
    char curve[] = "P-256";
    PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve), EVP_PKEY_free);
    if (!key) {
        fail("cannot make a key pair for this machine");
    }
    return key;
}

Certificate new_certificate(EVP_PKEY *key) {
    Certificate certificate(X509_new(), X509_free);
    std::array<unsigned char, 16> serial{};
    if (!certificate || RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1) {
        fail("cannot make a certificate for this machine");
    }
    serial[0] &= 0x7FU;  // a positive serial number
    const std::unique_ptr<BIGNUM, void (*)(BIGNUM *)> number(
        BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    const bool made =
        number && X509_set_version(certificate.get(), 2) == 1 &&
        BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())) != nullptr &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds) != nullptr &&
        X509_set_pubkey(certificate.get(), key) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>(kCommonName), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(certificate.get(), name) == 1 &&
        X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    if (!made) {
        fail("cannot make a certificate for this machine");
    }
    return certificate;
}

std::string pem_of(EVP_PKEY *key, X509 *certificate) {
    Bio memory(BIO_new(BIO_s_mem()), BIO_free_all);
    if (!memory ||
        PEM_write_bio_PrivateKey(memory.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(memory.get(), certificate) != 1) {
        fail("cannot write this machine's identity");
    }
    char *data = nullptr;
    const long size = BIO_get_mem_data(memory.get(), &data);
    return {data, static_cast<std::size_t>(size)};
}

void write_whole(int fd, const std::string &text, const std::string &path) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            fail("cannot write " + path + ": " + errno_text());
        }
        done += static_cast<std::size_t>(wrote);
    }
}

// Makes a new identity in a file of its own and links it into place; a file that another
// command linked first wins, and both then read that one.
void make_identity(const std::string &directory) {
    const std::string path = directory + kIdentityFile;
    const std::string apart = path + ".new." + std::to_string(getpid());
    unlink(apart.c_str());
    const PrivateKey key = new_key();
    const Certificate certificate = new_certificate(key.get());
    const std::string text = pem_of(key.get(), certificate.get());
    const int fd = open(apart.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("cannot make " + apart + ": " + errno_text());
    }
    // The copy apart goes whatever happens: linked into place by then, or half written.
    const ScopeGuard removed([&apart] { unlink(apart.c_str()); });
    {
        const ScopeGuard closed([fd] { close(fd); });
        write_whole(fd, text, apart);
        if (fsync(fd) != 0) {
            fail("cannot write " + apart + ": " + errno_text());
        }
    }
    const int linked = link(apart.c_str(), path.c_str());
    const int error = errno;
    if (linked != 0 && error != EEXIST) {
        errno = error;
        fail("cannot make " + path + ": " + errno_text());
    }
}

// The identity file's text, or "" when there is none yet.
std::string read_identity(const std::string &directory) {
    const std::string path = directory + kIdentityFile;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return "";
        }
        fail("cannot read " + path + ": " + errno_text());
    }
    struct stat status {};
    std::string text;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
        (status.st_mode & 077) == 0 && status.st_size < 65536) {
        text.resize(static_cast<std::size_t>(status.st_size));
        const ssize_t got = read(fd, text.data(), text.size());
        close(fd);
        if (got != status.st_size || text.empty()) {
            fail("cannot read " + path);
        }
        return text;
    }
    close(fd);
    fail(path +
         " is not a file of this user's alone (mode 0600); remove it to make a new "
         "identity, which every peer must then trust anew");
}

}  // namespace

MachineIdentity machine_identity(const std::string &directory) {
    std::string text = read_identity(directory);
    if (text.empty()) {
        make_identity(directory);
        text = read_identity(directory);
    }
    const Bio memory(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free_all);
    MachineIdentity identity;
    if (memory) {
        identity.key.reset(PEM_read_bio_PrivateKey(memory.get(), nullptr, nullptr, nullptr));
        identity.certificate.reset(PEM_read_bio_X509(memory.get(), nullptr, nullptr, nullptr));
    }
    if (!identity.key || !identity.certificate ||
        X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        fail(directory + kIdentityFile + " is damaged; remove it to make a new identity");
    }
    return identity;
}

std::string fingerprint_of(X509 *certificate) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest.data(), &size) != 1 || size != 32) {
        throw Refusal(kStateFailure, "cannot take a certificate's fingerprint");
    }
    std::string text = "SHA256:";
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int at = 0; at < size; ++at) {
        text.push_back(kHex[digest[at] >> 4U]);
        text.push_back(kHex[digest[at] & 0xFU]);
    }
    return text;
}

}  // namespace zor
