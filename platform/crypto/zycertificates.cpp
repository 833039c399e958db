#include "platform/crypto/zycertificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/crypto/zyopenssl.h"

namespace zycrypto {
namespace {

std::string openSslError(const char* what) {
    return std::string(what) + ": " + openSslErrorText();
}

Key newKey() {
    return Key(EVP_EC_gen("P-256"));
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;  // the certificate keeps a copy
}

// A certificate for `key` named `name`, to be signed by the caller; `issuer` null for a self-signed one.
Cert newCertificate(EVP_PKEY* key, const std::string& name, int days, X509* issuer) {
    Cert cert(X509_new());
    if (!cert) return nullptr;
    // A random 64-bit serial: certificates of one authority never share one in practice.
    unsigned char serial[8];
    if (RAND_bytes(serial, sizeof(serial)) != 1) return nullptr;
    serial[0] &= 0x7f;
    const BigNum bn(BN_bin2bn(serial, sizeof(serial), nullptr));
    const bool serialSet = bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) != nullptr;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (!serialSet || X509_set_version(cert.get(), 2) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24L * 3600 * days) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1 ||
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) != 1)
        return nullptr;
    X509* signer = issuer ? issuer : cert.get();
    const bool extended =
        issuer == nullptr
            ? addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
                  addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash")
            : addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
                  addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
                  addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth,clientAuth") &&
                  addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    return extended ? std::move(cert) : nullptr;
}

bool toPem(X509* cert, EVP_PKEY* key, TPemPair& out) {
    Bio certBio(BIO_new(BIO_s_mem()));
    Bio keyBio(BIO_new(BIO_s_mem()));
    if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert) != 1 ||
        PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    const auto text = [](BIO* bio) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        return std::string(data, static_cast<size_t>(size));
    };
    out.certificate = text(certBio.get());
    out.key = text(keyBio.get());
    return true;
}

Bio readBio(const std::string& text) {
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

bool createAuthority(const std::string& name, int days, TPemPair& authority, std::string& error) {
    if (!validName(name)) {
        error = "not a valid authority name";
        return false;
    }
    Key key = newKey();
    if (!key) return error = openSslError("authority key"), false;
    Cert cert = newCertificate(key.get(), name, days, nullptr);
    if (!cert || X509_sign(cert.get(), key.get(), EVP_sha256()) == 0 ||
        !toPem(cert.get(), key.get(), authority))
        return error = openSslError("authority certificate"), false;
    return true;
}

bool issueCertificate(const TPemPair& authority, const std::string& clientName, int days, TPemPair& issued,
                      std::string& error) {
    if (!validName(clientName)) {
        error = "not a valid client name for a certificate: [" + clientName + "]";
        return false;
    }
    Bio certBio = readBio(authority.certificate);
    Bio keyBio = readBio(authority.key);
    Cert caCert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    Key caKey(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!caCert || !caKey || X509_check_private_key(caCert.get(), caKey.get()) != 1)
        return error = openSslError("the authority's certificate and key"), false;
    Key key = newKey();
    if (!key) return error = openSslError("machine key"), false;
    Cert cert = newCertificate(key.get(), clientName, days, caCert.get());
    if (!cert || X509_sign(cert.get(), caKey.get(), EVP_sha256()) == 0 ||
        !toPem(cert.get(), key.get(), issued))
        return error = openSslError("machine certificate"), false;
    return true;
}

std::string certificateName(const std::string& certificatePem) {
    Bio bio = readBio(certificatePem);
    Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) {
        ERR_clear_error();
        return std::string();
    }
    return certificateCommonName(cert.get());
}

}  // namespace zycrypto
