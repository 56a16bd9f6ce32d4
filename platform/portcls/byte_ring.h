// A fixed-capacity FIFO of bytes, the client-side queue of a pin. Sized when
// the pin opens (or changes format); pushing and popping never allocate.
// Not locked: the pin that owns it holds its own lock around every call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::portcls {

class ByteRing {
 public:
  void Reset(size_t capacity) {
    storage_.assign(capacity, 0);
    head_ = count_ = 0;
  }
  void Clear() { head_ = count_ = 0; }
  size_t capacity() const { return storage_.size(); }
  size_t size() const { return count_; }
  size_t space() const { return storage_.size() - count_; }

  // Appends as much as fits; returns the bytes taken.
  size_t Push(const uint8_t* data, size_t bytes) {
    bytes = std::min(bytes, space());
    AppendWith(bytes, [&](uint8_t* to, size_t n) {
      std::copy(data, data + n, to);
      data += n;
    });
    return bytes;
  }
  size_t Pop(uint8_t* data, size_t bytes) {
    bytes = std::min(bytes, count_);
    VisitFrom(0, bytes, [&](const uint8_t* from, size_t n) {
      std::copy(from, from + n, data);
      data += n;
    });
    Discard(bytes);
    return bytes;
  }
  void Discard(size_t bytes) {
    bytes = std::min(bytes, count_);
    if (storage_.empty()) return;
    head_ = (head_ + bytes) % storage_.size();
    count_ -= bytes;
  }

  // Calls visit(pointer, length) for the contiguous pieces of the `bytes`
  // queued bytes that start `offset` bytes after the head.
  template <typename Visit>
  void VisitFrom(size_t offset, size_t bytes, Visit visit) const {
    size_t at = storage_.empty() ? 0 : (head_ + offset) % storage_.size();
    while (bytes > 0) {
      size_t piece = std::min(bytes, storage_.size() - at);
      visit(storage_.data() + at, piece);
      bytes -= piece;
      at = 0;
    }
  }
  // Appends `bytes` (at most space()) by letting fill(pointer, length) write
  // the contiguous pieces.
  template <typename Fill>
  void AppendWith(size_t bytes, Fill fill) {
    bytes = std::min(bytes, space());
    size_t at = storage_.empty() ? 0 : (head_ + count_) % storage_.size();
    count_ += bytes;
    while (bytes > 0) {
      size_t piece = std::min(bytes, storage_.size() - at);
      fill(storage_.data() + at, piece);
      bytes -= piece;
      at = 0;
    }
  }

 private:
  std::vector<uint8_t> storage_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace sim::portcls
