#include "Certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace websim {

namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

std::optional<Credentials> make_self_signed(bool expired) {
    KeyPtr key(EVP_EC_gen("P-256"));
    CertPtr cert(X509_new());
    if (!key || !cert)
        return std::nullopt;
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof(serial)) != 1)
        return std::nullopt;
    serial[0] &= 0x7F;
    std::uint64_t value = 0;
    for (unsigned char b : serial)
        value = (value << 8) | b;
    if (X509_set_version(cert.get(), 2) != 1 ||
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), value) != 1)
        return std::nullopt;
    const long day = 24 * 60 * 60;
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -30 * day : -60 * 60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -day : 30 * day);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Orvix test provider"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    ExtPtr san(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"));
    if (!san || X509_add_ext(cert.get(), san.get(), -1) != 1)
        return std::nullopt;
    if (X509_set_pubkey(cert.get(), key.get()) != 1 ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return std::nullopt;

    BioPtr cert_bio(BIO_new(BIO_s_mem()));
    BioPtr key_bio(BIO_new(BIO_s_mem()));
    if (!cert_bio || !key_bio || PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1 ||
        PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1)
        return std::nullopt;
    return Credentials{bio_text(cert_bio.get()), bio_text(key_bio.get())};
}

} // namespace websim
