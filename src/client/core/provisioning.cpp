// The self-signed TLS certificate and its key, made once per server.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "client/core/agent.hpp"
#include "common/errors.hpp"
#include "common/fdio.hpp"
#include "common/fs.hpp"
#include "common/tls.hpp"
#include "common/host.hpp"

namespace vemo {
namespace {

constexpr long kValiditySeconds = 315360000;  // ten years
constexpr size_t kMinPemLength = 100;

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(len));
}

template <class Write>
std::string pem_of(Write write) {
    std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) throw TlsError(tls_error_text());
    return bio_text(bio.get());
}

// The key file exists, owner-only, before any byte of the key is written.
void prepare_private_file(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) throw IoError(errno);
    if (::fchmod(fd.get(), 0600) != 0) throw IoError(errno);
}

enum class Links { kFollow, kRefuse };

// Gives `path`, if it is there, exactly `mode`.  Opened without blocking
// and changed through that descriptor; a key file is never reached through
// a link (one left in its place is root's own doing and stays as it is).

void make_owner_only(const std::string& path, mode_t mode, Links links) {
    const int follow = links == Links::kFollow ? 0 : O_NOFOLLOW;
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | follow));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ELOOP) return;
        throw IoError(errno);
    }
    const struct stat st = fd.status();
    if ((st.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0) throw IoError(errno);
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

// Whoever reads the RSA public key can key a session, and a session can do
// anything root can: the key material and its directories are the owner's
// alone.  Done at every start, so a server set up by an older version is
// tightened by its next start.
void Agent::secure_key_material() {
    const std::string cert_file = class_attr_text("_cert"), key_file = class_attr_text("_key");
    for (const std::string& dir : {std::string("data"), parent_of(cert_file), parent_of(key_file)})
        if (!dir.empty()) make_owner_only(dir, 0700, Links::kFollow);
    for (const char* file : {"data/id_rsa.pub", "data/id_rsa"}) make_owner_only(file, 0600, Links::kRefuse);
    make_owner_only(key_file, 0600, Links::kRefuse);
}

bool Agent::create_ssl() {
    const std::string cert_file = class_attr_text("_cert"), key_file = class_attr_text("_key");
    if (fs::exists(cert_file)) return true;
    const std::string cert_dir = parent_of(cert_file);
    if (!cert_dir.empty()) fs::make_dirs(cert_dir);

    std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> key(EVP_RSA_gen(2048));
    std::unique_ptr<X509, Deleter<X509_free>> cert(X509_new());
    if (!key || !cert) throw TlsError(tls_error_text());
    const time_t now = std::time(nullptr);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0) != 1 ||
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("ZQ_VEMO_CLIENT"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), subject) != 1 ||
        !X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, const_cast<time_t*>(&now)) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0, kValiditySeconds, const_cast<time_t*>(&now)) ||
        X509_set_pubkey(cert.get(), key.get()) != 1 || X509_sign(cert.get(), key.get(), EVP_sha1()) == 0)
        throw TlsError(tls_error_text());

    const std::string cert_pem = pem_of([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
    const std::string key_pem = pem_of([&](BIO* b) {
        return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    if (cert_pem.size() <= kMinPemLength || key_pem.size() <= kMinPemLength) return false;

    const host::Public panel;
    panel.write_file(cert_file, py::bytes(cert_pem), "wb+");
    prepare_private_file(key_file);
    panel.write_file(key_file, py::bytes(key_pem), "wb+");
    return true;
}

}  // namespace vemo
