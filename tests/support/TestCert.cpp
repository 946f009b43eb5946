#include "tests/support/TestCert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace testsupport {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

bool AddExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool WritePem(const std::string& path, bool key, EVP_PKEY* k, X509* c) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool ok = key ? PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr) == 1
                        : PEM_write_X509(f, c) == 1;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

TestCert MakeTestCert(const std::string& dir, const std::string& stem) {
    Key key(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert) return {};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string cn = "localhost " + stem;  // distinct subjects for distinct authorities
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!AddExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") ||
        !AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return {};
    TestCert out{dir + "/" + stem + "-cert.pem", dir + "/" + stem + "-key.pem"};
    if (!WritePem(out.certFile, false, nullptr, cert.get()) ||
        !WritePem(out.keyFile, true, key.get(), nullptr))
        return {};
    return out;
}

std::string HashedName(const std::string& certFile) {
    FILE* f = std::fopen(certFile.c_str(), "r");
    if (!f) return {};
    Cert cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!cert) return {};
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert.get()));
    return name;
}

}  // namespace testsupport
