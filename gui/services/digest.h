// SHA-256 (FIPS 180-4) of the cryptographic library, held for a caller that
// hashes data as it arrives: the HTTP client digests each response body
// chunk by chunk and reports the digest as 64 upper-case hexadecimal digits.
//
// A holder owns at most one context and belongs to one thread at a time.
// pk_sha256_new and pk_sha256_update return 0 on success and -1 on failure;
// pk_sha256_hex returns the empty text when no digest can be made.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

struct PkSha256Holder {
    PkSha256Holder() = default;
    PkSha256Holder(const PkSha256Holder &) = delete;
    PkSha256Holder &operator=(const PkSha256Holder &) = delete;
    ~PkSha256Holder();

    evp_md_ctx_st *context = nullptr;  // empty until pk_sha256_new
};

// Replaces the holder's context with a fresh, initialised one. -1 when the
// allocation fails (the holder is then empty) or the initialisation fails
// (the context stays in the holder).
int pk_sha256_new(PkSha256Holder *holder);

// Feeds `length` bytes; -1 when the holder is empty or the library fails.
int pk_sha256_update(PkSha256Holder *holder, const void *data, size_t length);

// The digest of everything fed so far. The context is left as it was, so
// feeding may go on and a second call gives the same text.
std::string pk_sha256_hex(PkSha256Holder *holder);

// Frees the context, if any, and empties the holder.
void pk_sha256_free(PkSha256Holder *holder);
