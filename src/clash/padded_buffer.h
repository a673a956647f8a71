// A growable byte buffer that keeps a number of readable bytes past its end,
// for parsers that read ahead in blocks (simdjson's padding).
//
// Its cost follows its content: growth goes through realloc (large blocks
// are remapped, not copied), reserve() sizes it once when the final size is
// known, and fitTo() gives memory back once the content has become much
// smaller than the capacity, so that one huge reply is not paid for as long
// as the buffer lives.
//
// Thread safety: none; the owner serialises its use.
#ifndef TARQ_CLASH_PADDED_BUFFER_H_
#define TARQ_CLASH_PADDED_BUFFER_H_

#include <cstddef>
#include <string_view>

namespace tarq {

class PaddedBuffer {
 public:
  // A buffer whose capacity is kept at least `floor` (besides the padding)
  // once anything has been stored.
  PaddedBuffer(size_t padding, size_t floor);
  ~PaddedBuffer();
  PaddedBuffer(const PaddedBuffer&) = delete;
  PaddedBuffer& operator=(const PaddedBuffer&) = delete;

  // The content; once anything (even nothing) has been appended, followed by
  // the readable padding.
  std::string_view view() const { return {bytes_, size_}; }
  size_t size() const { return size_; }
  // Bytes of content the buffer holds room for, padding not counted.
  size_t capacity() const { return capacity_; }

  // Empties the buffer; its memory stays.
  void clear() { size_ = 0; }
  // Makes room for `total` bytes of content in one allocation. Throws
  // std::bad_alloc.
  void reserve(size_t total);
  // Appends, growing to at least twice the capacity when it must grow. The
  // padding after the content reads as zeros. Throws std::bad_alloc.
  void append(const char* bytes, size_t count);
  // Gives memory back when the capacity exceeds `factor` times what `recent`
  // bytes need (and the floor): the capacity becomes max(recent, floor).
  void fitTo(size_t recent, size_t factor) noexcept;

 private:
  void resize(size_t capacity);

  const size_t padding_;
  const size_t floor_;
  char* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Hands memory that the process has freed back to the system where the C
// library would keep it for later (glibc keeps freed blocks below 32 MiB in
// its heaps); called after a large buffer has been given back.
void releaseFreedMemory() noexcept;

}  // namespace tarq

#endif  // TARQ_CLASH_PADDED_BUFFER_H_
