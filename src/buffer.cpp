#include "buffer.h"

#include <cstring>
#include <new>

namespace quillmark {

Buffer Buffer::heap(std::size_t size) {
  Buffer buffer;
  // malloc(0) may legitimately return null; an empty buffer needs no storage at all.
  if (size == 0) return buffer;
  buffer.data_.reset(static_cast<std::uint8_t*>(std::malloc(size)));
  if (!buffer.data_) throw std::bad_alloc();
  buffer.size_ = size;
  return buffer;
}

Buffer Buffer::copy_of(ByteView bytes) {
  Buffer copy = heap(bytes.size());
  if (!bytes.empty()) std::memcpy(copy.data(), bytes.data(), bytes.size());
  return copy;
}

}  // namespace quillmark
