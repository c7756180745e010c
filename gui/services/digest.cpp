#include "services/digest.h"

#include <openssl/evp.h>

PkSha256Holder::~PkSha256Holder()
{
    pk_sha256_free(this);
}

int pk_sha256_new(PkSha256Holder *holder)
{
    pk_sha256_free(holder);
    holder->context = EVP_MD_CTX_new();
    if (holder->context == nullptr) return -1;
    return EVP_DigestInit_ex(holder->context, EVP_sha256(), nullptr) == 1 ? 0 : -1;
}

int pk_sha256_update(PkSha256Holder *holder, const void *data, size_t length)
{
    if (holder->context == nullptr) return -1;
    return EVP_DigestUpdate(holder->context, data, length) == 1 ? 0 : -1;
}

std::string pk_sha256_hex(PkSha256Holder *holder)
{
    if (holder->context == nullptr) return {};
    // Finishing a copy keeps the held context usable: finishing the context
    // itself would leave it in a state the library does not define for a
    // second call.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    if (copy == nullptr) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = EVP_MD_CTX_copy_ex(copy, holder->context) == 1 && EVP_DigestFinal_ex(copy, digest, &size) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok || size != 32) return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * size);
    for (unsigned int i = 0; i < size; i++) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

void pk_sha256_free(PkSha256Holder *holder)
{
    EVP_MD_CTX_free(holder->context);
    holder->context = nullptr;
}
