#pragma once

#include <unistd.h>

#include <memory>
#include <utility>

// Owners for resources of C libraries and the kernel, one template each instead of a deleter struct
// per type: `UniqueCPtr<GHashTable, g_hash_table_unref>` frees with the library's own function, and
// `UniqueFd` closes a file descriptor exactly once.
namespace parlomatic {

template <auto free> struct CFree {
    template <typename T> void operator()(T* pointer) const
    {
        if (pointer != nullptr) {
            free(pointer);
        }
    }
};

template <typename T, auto free> using UniqueCPtr = std::unique_ptr<T, CFree<free>>;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return m_fd; }
    [[nodiscard]] bool valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() noexcept { return std::exchange(m_fd, -1); }

    void reset(int fd = -1) noexcept
    {
        if (m_fd >= 0 && m_fd != fd) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

} // namespace parlomatic
