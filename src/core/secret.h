// Owned UTF-8 bytes for passwords and connection strings: no view leaves
// this type except by explicit request, and the bytes are wiped on release.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <string.h>  // explicit_bzero

namespace vantorel {

// explicit_bzero is not elided by the optimiser, unlike a plain memset.
inline void wipe(void* data, std::size_t size) noexcept {
    if (size != 0) ::explicit_bzero(data, size);
}

class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string_view text) : bytes_(text) {}
    SecretString(const SecretString& other) : bytes_(other.bytes_) {}
    SecretString(SecretString&& other) noexcept : bytes_(std::move(other.bytes_)) { other.clear(); }
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            clear();
            bytes_ = other.bytes_;
        }
        return *this;
    }
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            clear();
            bytes_ = std::move(other.bytes_);
            other.clear();
        }
        return *this;
    }
    ~SecretString() { clear(); }

    // The whole capacity is wiped: a short string keeps its bytes in the
    // object itself, a long one on the heap, and both may hold old secrets.
    void clear() noexcept {
        wipe(bytes_.data(), bytes_.capacity());
        bytes_.clear();
    }
    void append(std::string_view text) {
        if (bytes_.size() + text.size() > bytes_.capacity()) {
            std::string grown;
            grown.reserve((bytes_.size() + text.size()) * 2);
            grown = bytes_;
            clear();
            bytes_ = std::move(grown);
        }
        bytes_.append(text);
    }

    bool empty() const noexcept { return bytes_.empty(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    // Deliberately named: callers that read the secret say so.
    std::string_view expose() const noexcept { return bytes_; }

private:
    std::string bytes_;
};

}  // namespace vantorel
