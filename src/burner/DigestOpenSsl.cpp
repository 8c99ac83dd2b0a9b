// The image checks' digests with OpenSSL's libcrypto (Linux).
#include <openssl/evp.h>

#include <stdexcept>

#include "burner/ImageCheck.h"

struct TDigest::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

TDigest::TDigest(TDigestKind Kind) : impl_(std::make_unique<Impl>())
{
    impl_->ctx = EVP_MD_CTX_new();
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, Kind == TDigestKind::Sha256 ? EVP_sha256() : EVP_md5(), nullptr) != 1)
        throw std::runtime_error("the hash function is not available");
}

TDigest::~TDigest() { EVP_MD_CTX_free(impl_->ctx); }

void TDigest::Update(const void* Data, std::size_t Length)
{
    if (Length > 0)
        EVP_DigestUpdate(impl_->ctx, Data, Length);
}

std::string TDigest::FinalHex()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(impl_->ctx, md, &n);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}
