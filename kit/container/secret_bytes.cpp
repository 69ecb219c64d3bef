#include "container/secret_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include <openssl/crypto.h>

namespace tessela {

SecretBytes::SecretBytes(std::size_t size) : size_(size) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    mapped_ = (std::max<std::size_t>(size, 1) + page - 1) / page * page;
    void* pages =
        ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        throw std::bad_alloc();
    }
    data_ = static_cast<unsigned char*>(pages);
    // Both are best efforts: a system that refuses them still gets a key wiped after use.
    (void)::madvise(pages, mapped_, MADV_DONTDUMP);
    (void)::mlock(pages, mapped_);
}

SecretBytes::~SecretBytes() {
    release();
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void SecretBytes::release() noexcept {
    if (data_ != nullptr) {
        OPENSSL_cleanse(data_, mapped_);
        (void)::munlock(data_, mapped_);
        (void)::munmap(data_, mapped_);
        data_ = nullptr;
    }
}

}  // namespace tessela
