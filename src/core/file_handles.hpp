// Owners of the two kernel resources the engine and the writer hold: a file descriptor and a
// memory mapping. Each releases what it owns exactly once, on every path out of its scope.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace rivezor {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A mapping of `size()` bytes at `data()`. A front part may be given back early
// (release_front); the rest goes when the owner does.
class Mapping {
public:
    Mapping() = default;
    ~Mapping() { reset(); }
    Mapping(Mapping&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          released_(std::exchange(other.released_, 0)) {}
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            reset();
            base_ = std::exchange(other.base_, nullptr);
            length_ = std::exchange(other.length_, 0);
            released_ = std::exchange(other.released_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // mmap(nullptr, length, prot, flags, fd, 0) into `out` (replacing what it held): 0, or
    // the errno of the refusal with `out` left empty. A length of 0 maps nothing and succeeds.
    static int create(Mapping& out, std::size_t length, int prot, int flags, int fd) {
        out.reset();
        if (length == 0) return 0;
        void* p = ::mmap(nullptr, length, prot, flags, fd, 0);
        if (p == MAP_FAILED) return errno;
        out.base_ = static_cast<unsigned char*>(p);
        out.length_ = length;
        return 0;
    }

    unsigned char* data() const { return base_; }
    std::size_t size() const { return length_; }
    explicit operator bool() const { return base_ != nullptr; }

    // Unmaps bytes [already released, end) of the mapping; `end` must lie on a page
    // boundary (or be size()). The caller must not touch those bytes again.
    void release_front(std::size_t end) {
        if (base_ == nullptr || end <= released_) return;
        if (end > length_) end = length_;
        ::munmap(base_ + released_, end - released_);
        released_ = end;
    }

    void reset() {
        if (base_ != nullptr && length_ > released_) ::munmap(base_ + released_, length_ - released_);
        base_ = nullptr;
        length_ = 0;
        released_ = 0;
    }

private:
    unsigned char* base_ = nullptr;
    std::size_t length_ = 0;
    std::size_t released_ = 0;
};

}  // namespace rivezor
