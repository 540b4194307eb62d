// Memory for the key table's arrays, straight from the kernel: a malloc'd
// block of a few megabytes usually stays in the process's heap once freed
// (measured: all 7 MB a read at 100,000 users allocates), and every server
// process must stay small. mmap'd memory goes back at once, comes zero-filled, and
// grows or shrinks by moving pages (mremap), never by copying them.
//
// Under AddressSanitizer it is malloc'd instead, so that the sanitizer
// sees every access past an array's end (an mmap'd array is rounded up to
// whole pages, where it sees nothing).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace vardun::key_index {

template <class T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T>, "moved as bytes");

 public:
  LargeArray() noexcept = default;
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  LargeArray(LargeArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  LargeArray& operator=(LargeArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  ~LargeArray() { release(); }

  T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) const noexcept { return data_[i]; }
  // What it holds from the system, in bytes.
  std::size_t bytes() const noexcept { return bytes_; }

  // Room for `count` elements, the first ones kept (new ones unspecified);
  // false, and nothing changed, when the system refuses.
  bool resize(std::size_t count) noexcept {
    if (count == 0) {
      release();
      return true;
    }
    if (count > (SIZE_MAX - page_size()) / sizeof(T)) return false;
    std::size_t bytes = rounded(count * sizeof(T));
    void* moved;
#if defined(__SANITIZE_ADDRESS__)
    moved = std::realloc(data_, bytes);
    if (moved == nullptr) return false;
#else
    moved = data_ == nullptr
                ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                : ::mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
#endif
    data_ = static_cast<T*>(moved);
    bytes_ = bytes;
    return true;
  }

  // Room for `count` elements, all bytes zero.
  bool assign_zeroed(std::size_t count) noexcept {
    release();
    if (!resize(count)) return false;
#if defined(__SANITIZE_ADDRESS__)
    std::memset(static_cast<void*>(data_), 0, bytes_);
#endif
    return true;
  }

  void release() noexcept {
    if (data_ == nullptr) return;
#if defined(__SANITIZE_ADDRESS__)
    std::free(data_);
#else
    ::munmap(data_, bytes_);
#endif
    data_ = nullptr;
    bytes_ = 0;
  }

 private:
  static std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
  }
  static std::size_t rounded(std::size_t bytes) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    return bytes;
#else
    return (bytes + page_size() - 1) / page_size() * page_size();
#endif
  }

  T* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace vardun::key_index
