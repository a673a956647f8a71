#include "clash/padded_buffer.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarq {
namespace {

// Giving back less than this is not worth a pass over the C library's heaps.
constexpr size_t kReleaseBytes = size_t{1} << 20;

}  // namespace

PaddedBuffer::PaddedBuffer(size_t padding, size_t floor) : padding_(padding), floor_(floor) {}

PaddedBuffer::~PaddedBuffer() {
  std::free(bytes_);
}

void PaddedBuffer::resize(size_t capacity) {
  // realloc keeps the content (never more than the new capacity here); for
  // large blocks it moves pages instead of bytes. An empty buffer has nothing
  // to keep: a new block spares the copy of the old one.
  if (size_ == 0) {
    std::free(bytes_);
    bytes_ = nullptr;
    capacity_ = 0;
  }
  void* moved = std::realloc(bytes_, capacity + padding_);
  if (moved == nullptr) {
    throw std::bad_alloc();
  }
  bytes_ = static_cast<char*>(moved);
  capacity_ = capacity;
  std::memset(bytes_ + size_, 0, padding_);
}

void PaddedBuffer::reserve(size_t total) {
  if (total > capacity_) {
    resize(std::max(total, floor_));
  }
}

void PaddedBuffer::append(const char* bytes, size_t count) {
  // Even an empty first append allocates: view() must point at readable
  // padding, never at null.
  if (count > capacity_ - size_ || bytes_ == nullptr) {
    if (count > SIZE_MAX / 2 - size_) {
      throw std::bad_alloc();
    }
    resize(std::max({size_ + count, 2 * capacity_, floor_}));
  }
  if (count > 0) {  // `bytes` may be null then
    std::memcpy(bytes_ + size_, bytes, count);
  }
  size_ += count;
  std::memset(bytes_ + size_, 0, padding_);
}

void PaddedBuffer::fitTo(size_t recent, size_t factor) noexcept {
  const size_t wanted = std::max({recent, size_, floor_});
  if (bytes_ == nullptr || capacity_ / factor <= wanted) {
    return;
  }
  // A shrinking realloc that fails leaves the block as it was: keep it.
  if (void* moved = std::realloc(bytes_, wanted + padding_)) {
    bytes_ = static_cast<char*>(moved);
    const size_t released = capacity_ - wanted;
    capacity_ = wanted;
    if (released >= kReleaseBytes) {
      releaseFreedMemory();
    }
  }
}

void releaseFreedMemory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace tarq
