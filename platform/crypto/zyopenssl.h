// OpenSSL objects owned by std::unique_ptr (each freed by its own OpenSSL function, on every path), the
// text of OpenSSL's last error and the client name a certificate proves: one copy for the certificate
// code and the TLS layer. Any thread.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace zycrypto {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using StoreCheck = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;
using BigNum = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;

// The text of the oldest error in OpenSSL's queue ("no detail" when it is empty); the queue is cleared.
inline std::string openSslErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "no detail";
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

// The client name `cert` proves (its subject's common name); "" for none or a null certificate.
inline std::string certificateCommonName(X509* cert) {
    char name[256] = {};
    if (cert == nullptr ||
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof(name)) <= 0)
        return std::string();
    return name;
}

}  // namespace zycrypto
