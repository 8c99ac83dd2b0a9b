// The image checks' digests with Windows' own CNG (bcrypt.dll): Debian carries no OpenSSL for
// MinGW, and Windows needs none.
#include <stdexcept>
#include <vector>

#include "burner/ImageCheck.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>

struct TDigest::Impl {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    DWORD length = 0;
};

TDigest::TDigest(TDigestKind Kind) : impl_(std::make_unique<Impl>())
{
    const wchar_t* id = Kind == TDigestKind::Sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_MD5_ALGORITHM;
    DWORD got = 0;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&impl_->algorithm, id, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptGetProperty(impl_->algorithm, BCRYPT_HASH_LENGTH,
                                            reinterpret_cast<PUCHAR>(&impl_->length), sizeof impl_->length, &got, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(impl_->algorithm, &impl_->hash, nullptr, 0, nullptr, 0, 0))) {
        if (impl_->algorithm)
            ::BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
        throw std::runtime_error("the hash function is not available");
    }
}

TDigest::~TDigest()
{
    if (impl_->hash)
        ::BCryptDestroyHash(impl_->hash);
    if (impl_->algorithm)
        ::BCryptCloseAlgorithmProvider(impl_->algorithm, 0);
}

void TDigest::Update(const void* Data, std::size_t Length)
{
    // BCryptHashData takes at most 4 GiB - 1 per call.
    const auto* p = static_cast<const unsigned char*>(Data);
    while (Length > 0) {
        const ULONG piece = static_cast<ULONG>(Length > 0x40000000u ? 0x40000000u : Length);
        ::BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), piece, 0);
        p += piece;
        Length -= piece;
    }
}

std::string TDigest::FinalHex()
{
    std::vector<unsigned char> md(impl_->length);
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(impl_->hash, md.data(), impl_->length, 0)))
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : md) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}
