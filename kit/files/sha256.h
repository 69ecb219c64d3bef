#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

struct evp_md_ctx_st;

namespace tessela {

// SHA-256 through OpenSSL, given in 64 lower-case hexadecimal digits. Every step reports whether
// it worked: a failure unchecked would give two equal, empty digests, and a copy that was never
// compared would pass as verified. A value used on one thread.
class Sha256 {
  public:
    Sha256();
    // Whether the hashing could be set up.
    [[nodiscard]] bool ready() const noexcept;
    // Adds bytes; false when hashing failed.
    [[nodiscard]] bool add(const void* data, std::size_t size);
    // The digest of everything added; none when hashing failed. Call once.
    [[nodiscard]] std::optional<std::string> hexDigest();

  private:
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> context_;
};

}  // namespace tessela
