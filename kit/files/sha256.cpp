#include "files/sha256.h"

#include <openssl/evp.h>

namespace tessela {

Sha256::Sha256() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        context_.reset();
    }
}

bool Sha256::ready() const noexcept {
    return context_ != nullptr;
}

bool Sha256::add(const void* data, std::size_t size) {
    return context_ && EVP_DigestUpdate(context_.get(), data, size) == 1;
}

std::optional<std::string> Sha256::hexDigest() {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!context_ || EVP_DigestFinal_ex(context_.get(), hash, &length) != 1 || length != 32) {
        return std::nullopt;
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2U);
    for (unsigned int index = 0; index < length; ++index) {
        text += hex[hash[index] >> 4];
        text += hex[hash[index] & 0xF];
    }
    return text;
}

}  // namespace tessela
