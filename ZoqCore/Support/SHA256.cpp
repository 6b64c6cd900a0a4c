#include "ZoqCore/Support/SHA256.h"

#include "ZoqCore/Support/CoreError.h"

#include <openssl/evp.h>

#include <utility>

namespace zoq {
namespace {

// Fetched once: implicit fetching on every init costs a lookup per digest.
const EVP_MD* algorithm() {
    static const EVP_MD* const md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched ? fetched : EVP_sha256();
    }();
    return md;
}

EVP_MD_CTX* newContext() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, algorithm(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        throw CoreError::io("sha256", 12);
    }
    return context;
}

EVP_MD_CTX* copyContext(const EVP_MD_CTX* source) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_MD_CTX_copy_ex(context, source) != 1) {
        EVP_MD_CTX_free(context);
        throw CoreError::io("sha256", 12);
    }
    return context;
}

} // namespace

SHA256::SHA256() : context_(newContext()) {}

SHA256::SHA256(const SHA256& other) : context_(copyContext(other.context_)) {}

SHA256& SHA256::operator=(const SHA256& other) {
    if (this != &other) {
        EVP_MD_CTX* copy = copyContext(other.context_);
        EVP_MD_CTX_free(context_);
        context_ = copy;
    }
    return *this;
}

SHA256::SHA256(SHA256&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}

SHA256& SHA256::operator=(SHA256&& other) noexcept {
    std::swap(context_, other.context_);
    return *this;
}

SHA256::~SHA256() { EVP_MD_CTX_free(context_); }

void SHA256::update(ByteView bytes) {
    if (context_ == nullptr) {
        context_ = newContext(); // a moved-from hasher starts again from empty
    }
    if (!bytes.empty() && EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1) {
        throw CoreError::io("sha256", 5);
    }
}

SHA256::Digest SHA256::digest() const {
    EVP_MD_CTX* finalising = context_ != nullptr ? copyContext(context_) : newContext();
    Digest out{};
    unsigned int length = 0;
    const int ok = EVP_DigestFinal_ex(finalising, out.data(), &length);
    EVP_MD_CTX_free(finalising);
    if (ok != 1 || length != out.size()) {
        throw CoreError::io("sha256", 5);
    }
    return out;
}

std::string SHA256::hexDigest() const {
    const Digest d = digest();
    return hexOf(d);
}

std::string SHA256::hex(ByteView bytes) {
    Digest out{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, algorithm(), nullptr) != 1) {
        throw CoreError::io("sha256", 5);
    }
    return hexOf(out);
}

std::string SHA256::hexOf(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

} // namespace zoq
