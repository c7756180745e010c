#include "core/crypto.h"

#include <atomic>
#include <cstring>
#include <new>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "core/log.h"
#include "core/thread.h"

namespace {

// Contexts a key keeps between calls, per direction. More threads than this
// sealing with one key at the same moment still work: the extra calls make
// and free a context of their own.
constexpr int kIdleContexts = 8;

// EVP_CipherUpdate counts in int; longer buffers go in whole-block pieces.
constexpr uint64_t kUpdatePiece = uint64_t(1) << 30;

enum Direction { kDecrypt = 0, kEncrypt = 1 };

// One idle context per cache line: threads start their search at a slot of
// their own, so threads sealing with one key do not bounce a line between
// cores on every datagram.
struct alignas(64) IdleSlot {
    std::atomic<EVP_CIPHER_CTX *> context{nullptr};
};

}  // namespace

// The cipher contexts carry the key schedules; the key bytes are kept to
// make more of them when several threads use the key at once.
struct CoreAesKey {
    uint32_t bits;
    uint8_t key[32];
    const EVP_CIPHER *cipher;
    IdleSlot idle[2][kIdleContexts];
};

namespace {

EVP_CIPHER_CTX *make_context(const CoreAesKey *key, Direction direction)
{
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    if (context == nullptr) return nullptr;
    if (EVP_CipherInit_ex(context, key->cipher, nullptr, key->key, nullptr, direction) != 1 ||
        EVP_CIPHER_CTX_set_padding(context, 0) != 1) {
        EVP_CIPHER_CTX_free(context);
        return nullptr;
    }
    return context;
}

unsigned first_slot()
{
    thread_local const unsigned slot = static_cast<unsigned>(core_thread_current_id() % kIdleContexts);
    return slot;
}

// Takes an idle context or makes one. The exchange hands each context to
// exactly one caller; acquire pairs with the release of the caller that
// gave it back, so its key schedule and state are seen whole.
EVP_CIPHER_CTX *borrow_context(CoreAesKey *key, Direction direction)
{
    const unsigned first = first_slot();
    for (unsigned i = 0; i < kIdleContexts; ++i) {
        std::atomic<EVP_CIPHER_CTX *> &slot = key->idle[direction][(first + i) % kIdleContexts].context;
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        EVP_CIPHER_CTX *context = slot.exchange(nullptr, std::memory_order_acquire);
        if (context != nullptr) return context;
    }
    return make_context(key, direction);
}

void return_context(CoreAesKey *key, Direction direction, EVP_CIPHER_CTX *context)
{
    const unsigned first = first_slot();
    for (unsigned i = 0; i < kIdleContexts; ++i) {
        std::atomic<EVP_CIPHER_CTX *> &slot = key->idle[direction][(first + i) % kIdleContexts].context;
        EVP_CIPHER_CTX *expected = nullptr;
        if (slot.compare_exchange_strong(expected, context, std::memory_order_release, std::memory_order_relaxed))
            return;
    }
    EVP_CIPHER_CTX_free(context);
}

CoreResult aes_run(CoreAesKey *key, Direction direction, uint8_t *output, const uint8_t *input, uint64_t length)
{
    if (key == nullptr || length % CORE_AES_BLOCK != 0) return CORE_ERR;
    if (length == 0) return CORE_OK;
    if (output == nullptr || input == nullptr) return CORE_ERR;
    EVP_CIPHER_CTX *context = borrow_context(key, direction);
    if (context == nullptr) return CORE_ERR;
    // ECB without padding keeps no state between whole blocks, so a context
    // goes from one call to the next without being initialised again.
    CoreResult result = CORE_OK;
    for (uint64_t done = 0; done < length;) {
        uint64_t piece = length - done < kUpdatePiece ? length - done : kUpdatePiece;
        int written = 0;
        if (EVP_CipherUpdate(context, output + done, &written, input + done, static_cast<int>(piece)) != 1 ||
            static_cast<uint64_t>(written) != piece) {
            result = CORE_ERR;
            break;
        }
        done += piece;
    }
    if (result == CORE_OK) {
        return_context(key, direction, context);
    } else {
        // A context whose update failed may hold a partial state; drop it.
        EVP_CIPHER_CTX_free(context);
    }
    return result;
}

const EVP_CIPHER *ecb_cipher(uint64_t key_length)
{
    switch (key_length) {
    case 16: return EVP_aes_128_ecb();
    case 24: return EVP_aes_192_ecb();
    case 32: return EVP_aes_256_ecb();
    default: return nullptr;
    }
}

}  // namespace

EVP_PKEY *core_rsa_generate(void)
{
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM *exponent = BN_new();
    bool ok = context != nullptr && exponent != nullptr && BN_set_word(exponent, CORE_RSA_EXPONENT) == 1 &&
              EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(context, CORE_RSA_BITS) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, exponent) == 1 && EVP_PKEY_generate(context, &key) == 1;
    BN_free(exponent);
    EVP_PKEY_CTX_free(context);
    if (!ok) {
        EVP_PKEY_free(key);
        core_log(CORE_LOG_ERROR, "crypto", "RSA-%d key generation failed", CORE_RSA_BITS);
        return nullptr;
    }
    return key;
}

CoreResult core_rsa_encrypt(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length)
{
    if (output_length == nullptr) return CORE_ERR;
    uint64_t capacity = *output_length;
    *output_length = 0;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return CORE_ERR;
    if (input_length == 0) return CORE_OK;
    if (output == nullptr || input == nullptr) return CORE_ERR;

    const int size = EVP_PKEY_get_size(key);
    if (size <= CORE_RSA_CHUNK_MARGIN) return CORE_ERR;
    const uint64_t block = static_cast<uint64_t>(size);
    const uint64_t chunk = block - CORE_RSA_CHUNK_MARGIN;
    const uint64_t chunks = input_length / chunk + (input_length % chunk != 0);
    if (chunks > capacity / block) return CORE_ERR;

    // A context per call: the key may be shared, its contexts may not.
    // OAEP keeps SHA-1 for both digests, which peers expect.
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    bool ok = context != nullptr && EVP_PKEY_encrypt_init(context) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha1()) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha1()) == 1;
    for (uint64_t i = 0; ok && i < chunks; ++i) {
        uint64_t offset = i * chunk;
        uint64_t n = input_length - offset < chunk ? input_length - offset : chunk;
        size_t written = static_cast<size_t>(block);
        ok = EVP_PKEY_encrypt(context, output + i * block, &written, input + offset, static_cast<size_t>(n)) == 1 &&
             written == block;
    }
    EVP_PKEY_CTX_free(context);
    if (!ok) return CORE_ERR;
    *output_length = chunks * block;
    return CORE_OK;
}

namespace {

// libcrypto's upper bound on RSA moduli (OPENSSL_RSA_MAX_MODULUS_BITS):
// one recovered or decrypted block always fits this scratch.
constexpr int kMaxModulusBytes = 16384 / 8;

// Input bytes per signed block below the modulus size; PKCS#1 v1.5 needs
// 11, the rest is headroom that keeps pieces the same on every key size.
constexpr uint64_t kSignMargin = 16;

enum class RsaOp { kSign, kRecover, kDecrypt };

bool is_rsa(EVP_PKEY *key) { return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA; }

// A context per call, as in core_rsa_encrypt: the key may be shared, its
// contexts may not.
EVP_PKEY_CTX *rsa_context(EVP_PKEY *key, RsaOp op)
{
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    if (context == nullptr) return nullptr;
    bool ok = false;
    switch (op) {
    case RsaOp::kSign:
        ok = EVP_PKEY_sign_init(context) == 1 && EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1;
        break;
    case RsaOp::kRecover:
        ok = EVP_PKEY_verify_recover_init(context) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1;
        break;
    case RsaOp::kDecrypt:
        ok = EVP_PKEY_decrypt_init(context) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha1()) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha1()) == 1;
        break;
    }
    if (!ok) {
        EVP_PKEY_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Recover or decrypt: whole blocks in, variable pieces out. Each block
// lands in a modulus-sized scratch first, so a peer's block can never make
// libcrypto write past the caller's buffer; only what fits is copied.
CoreResult rsa_open_blocks(EVP_PKEY *key, RsaOp op, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                           uint64_t input_length)
{
    if (output_length == nullptr) return CORE_ERR;
    const uint64_t capacity = *output_length;
    *output_length = 0;
    if (!is_rsa(key)) return CORE_ERR;
    if (input_length == 0) return CORE_OK;
    const int size = EVP_PKEY_get_size(key);
    if (size <= 0 || size > kMaxModulusBytes || input == nullptr) return CORE_ERR;
    const uint64_t block = static_cast<uint64_t>(size);
    if (input_length % block != 0) return CORE_ERR;
    if (output == nullptr && capacity > 0) return CORE_ERR;

    EVP_PKEY_CTX *context = rsa_context(key, op);
    if (context == nullptr) return CORE_ERR;
    uint8_t scratch[kMaxModulusBytes];
    uint64_t done = 0;
    bool ok = true;
    for (uint64_t offset = 0; ok && offset < input_length; offset += block) {
        size_t written = sizeof(scratch);
        ok = (op == RsaOp::kRecover
                  ? EVP_PKEY_verify_recover(context, scratch, &written, input + offset, static_cast<size_t>(block))
                  : EVP_PKEY_decrypt(context, scratch, &written, input + offset, static_cast<size_t>(block))) == 1 &&
             written <= block && written <= capacity - done;
        if (ok && written > 0) {
            memcpy(output + done, scratch, written);
            done += written;
        }
    }
    OPENSSL_cleanse(scratch, sizeof(scratch));
    EVP_PKEY_CTX_free(context);
    if (!ok) {
        if (op == RsaOp::kDecrypt && done > 0) OPENSSL_cleanse(output, static_cast<size_t>(done));
        return CORE_ERR;
    }
    *output_length = done;
    return CORE_OK;
}

}  // namespace

CoreResult core_rsa_sign(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                         uint64_t input_length)
{
    if (output_length == nullptr) return CORE_ERR;
    const uint64_t capacity = *output_length;
    *output_length = 0;
    if (!is_rsa(key)) return CORE_ERR;
    if (input_length == 0) return CORE_OK;
    if (output == nullptr || input == nullptr) return CORE_ERR;

    const int size = EVP_PKEY_get_size(key);
    if (size <= static_cast<int>(kSignMargin)) return CORE_ERR;
    const uint64_t block = static_cast<uint64_t>(size);
    const uint64_t chunk = block - kSignMargin;
    const uint64_t chunks = input_length / chunk + (input_length % chunk != 0);
    if (chunks > capacity / block) return CORE_ERR;

    EVP_PKEY_CTX *context = rsa_context(key, RsaOp::kSign);
    bool ok = context != nullptr;
    for (uint64_t i = 0; ok && i < chunks; ++i) {
        uint64_t offset = i * chunk;
        uint64_t n = input_length - offset < chunk ? input_length - offset : chunk;
        size_t written = static_cast<size_t>(block);
        ok = EVP_PKEY_sign(context, output + i * block, &written, input + offset, static_cast<size_t>(n)) == 1 &&
             written == block;
    }
    EVP_PKEY_CTX_free(context);
    if (!ok) return CORE_ERR;
    *output_length = chunks * block;
    return CORE_OK;
}

CoreResult core_rsa_recover(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length)
{
    return rsa_open_blocks(key, RsaOp::kRecover, output, output_length, input, input_length);
}

CoreResult core_rsa_decrypt(EVP_PKEY *key, uint8_t *output, uint64_t *output_length, const uint8_t *input,
                            uint64_t input_length)
{
    return rsa_open_blocks(key, RsaOp::kDecrypt, output, output_length, input, input_length);
}

CoreResult core_rsa_public_to_der(EVP_PKEY *key, uint8_t *output, uint64_t *output_length)
{
    if (output_length == nullptr) return CORE_ERR;
    const uint64_t capacity = *output_length;
    *output_length = 0;
    if (!is_rsa(key) || output == nullptr) return CORE_ERR;
    // Measured first, so the encoder never writes into a buffer too small.
    const int length = i2d_PublicKey(key, nullptr);
    if (length <= 0 || static_cast<uint64_t>(length) > capacity) return CORE_ERR;
    unsigned char *cursor = output;
    if (i2d_PublicKey(key, &cursor) != length) return CORE_ERR;
    *output_length = static_cast<uint64_t>(length);
    return CORE_OK;
}

EVP_PKEY *core_rsa_public_from_der(const uint8_t *input, uint64_t input_length)
{
    if (input == nullptr || input_length == 0 || input_length > 0x7FFFFFFF) return nullptr;
    const unsigned char *cursor = input;
    return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(input_length));
}

CoreAesKey *core_aes_create(const uint8_t *key, uint64_t key_length)
{
    const EVP_CIPHER *cipher = ecb_cipher(key_length);
    if (cipher == nullptr || key == nullptr) return nullptr;
    auto *aes = new (std::nothrow) CoreAesKey();
    if (aes == nullptr) return nullptr;
    aes->bits = static_cast<uint32_t>(key_length * 8);
    memcpy(aes->key, key, static_cast<size_t>(key_length));
    aes->cipher = cipher;
    // One context of each direction now, so a key that cannot be used at all
    // is refused here rather than on the first datagram.
    for (Direction direction : {kDecrypt, kEncrypt}) {
        EVP_CIPHER_CTX *context = make_context(aes, direction);
        if (context == nullptr) {
            core_aes_destroy(&aes);
            return nullptr;
        }
        aes->idle[direction][0].context.store(context, std::memory_order_relaxed);
    }
    return aes;
}

void core_aes_destroy(CoreAesKey **key)
{
    if (key == nullptr || *key == nullptr) return;
    for (auto &direction : (*key)->idle)
        for (IdleSlot &slot : direction) EVP_CIPHER_CTX_free(slot.context.exchange(nullptr));
    OPENSSL_cleanse((*key)->key, sizeof((*key)->key));
    delete *key;
    *key = nullptr;
}

CoreResult core_aes_encrypt(CoreAesKey *key, uint8_t *output, const uint8_t *input, uint64_t length)
{
    return aes_run(key, kEncrypt, output, input, length);
}

CoreResult core_aes_decrypt(CoreAesKey *key, uint8_t *output, const uint8_t *input, uint64_t length)
{
    return aes_run(key, kDecrypt, output, input, length);
}

CoreResult core_random_key(uint8_t *buffer, uint64_t length)
{
    if (buffer == nullptr || (length != 16 && length != 24 && length != 32)) return CORE_ERR;
    return RAND_bytes(buffer, static_cast<int>(length)) == 1 ? CORE_OK : CORE_ERR;
}
