#include "buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quillmark {
namespace {

void release_heap(void* owner) noexcept { std::free(owner); }

Buffer adopt(void* storage, std::size_t size) {
  // malloc(0) may legitimately return null; an empty buffer needs no storage at all.
  if (storage == nullptr) {
    if (size != 0) throw std::bad_alloc();
    return Buffer();
  }
  return Buffer(static_cast<std::uint8_t*>(storage), size, storage, release_heap);
}

class HeapAllocator final : public Allocator {
 public:
  Buffer allocate(std::size_t size) const override { return Buffer::heap(size); }
};

}  // namespace

Buffer Buffer::heap(std::size_t size) { return adopt(size == 0 ? nullptr : std::malloc(size), size); }

Buffer Buffer::zeroed(std::size_t size) { return adopt(size == 0 ? nullptr : std::calloc(size, 1), size); }

Buffer Buffer::copy_of(ByteView bytes) {
  Buffer copy = heap(bytes.size());
  if (!bytes.empty()) std::memcpy(copy.data(), bytes.data(), bytes.size());
  return copy;
}

void Buffer::swap(Buffer& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(owner_, other.owner_);
  std::swap(release_, other.release_);
}

const Allocator& heap_allocator() noexcept {
  static const HeapAllocator allocator;
  return allocator;
}

}  // namespace quillmark
