// Byte views, owned byte buffers and the one bounds-checked reader of font bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace quillmark {

// A borrowed, read-only run of bytes. It never outlives the call that lent it.
using ByteView = std::span<const std::uint8_t>;

// Big-endian stores into a buffer the caller has sized; `p` need not be aligned.
inline void store_u16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void store_u32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
// Big-endian load from memory the caller has already bounds-checked (through Reader).
inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Every read of a font or table goes through a Reader: a read of n bytes at an offset either
// lies inside the buffer or fails. The checks are written so that they cannot wrap, whatever
// 32-bit (or 64-bit) numbers the font supplies.
class Reader {
 public:
  explicit Reader(ByteView bytes) noexcept : bytes_(bytes) {}

  std::uint64_t size() const noexcept { return bytes_.size(); }
  bool contains(std::uint64_t offset, std::uint64_t length) const noexcept {
    return offset <= size() && length <= size() - offset;
  }
  std::optional<ByteView> bytes(std::uint64_t offset, std::uint64_t length) const noexcept {
    if (!contains(offset, length)) return std::nullopt;
    return bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  }
  std::optional<std::uint16_t> u16(std::uint64_t offset) const noexcept {
    if (!contains(offset, 2)) return std::nullopt;
    const std::uint8_t* p = bytes_.data() + offset;
    return static_cast<std::uint16_t>((std::uint16_t{p[0]} << 8) | p[1]);
  }
  std::optional<std::uint32_t> u32(std::uint64_t offset) const noexcept {
    if (!contains(offset, 4)) return std::nullopt;
    return load_u32(bytes_.data() + offset);
  }

 private:
  ByteView bytes_;
};

// An owned, fixed-size byte buffer. Its storage comes from an Allocator and goes back through
// the release function that came with it, so that the Python frame can lend the storage of the
// bytes object it is about to return and a rebuilt font is written exactly once.
class Buffer {
 public:
  using Release = void (*)(void* owner) noexcept;

  Buffer() noexcept = default;
  Buffer(std::uint8_t* data, std::size_t size, void* owner, Release release) noexcept
      : data_(data), size_(size), owner_(owner), release_(release) {}
  Buffer(Buffer&& other) noexcept { swap(other); }
  Buffer& operator=(Buffer&& other) noexcept {
    Buffer(std::move(other)).swap(*this);
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (release_ != nullptr) release_(owner_);
  }

  // From the C library's heap. `heap` leaves the bytes uninitialised, `zeroed` sets them to
  // zero (for large sizes the kernel's zero pages, untouched until written). Both throw
  // std::bad_alloc when the memory is not there.
  static Buffer heap(std::size_t size);
  static Buffer zeroed(std::size_t size);
  static Buffer copy_of(ByteView bytes);

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  ByteView view() const noexcept { return {data_, size_}; }

  // Whether the storage goes back through `release`: tells the Python frame that this buffer
  // lives inside a bytes object it handed out.
  bool released_by(Release release) const noexcept { return release_ == release; }
  // Gives up the storage without releasing it; the caller now answers for the owner.
  void* take_owner() && noexcept {
    void* owner = owner_;
    data_ = nullptr;
    size_ = 0;
    owner_ = nullptr;
    release_ = nullptr;
    return owner;
  }

 private:
  void swap(Buffer& other) noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  void* owner_ = nullptr;
  Release release_ = nullptr;
};

// Where a result's storage comes from. `allocate` returns a buffer of exactly `size` bytes
// whose content is unspecified, or throws std::bad_alloc.
class Allocator {
 public:
  virtual Buffer allocate(std::size_t size) const = 0;

 protected:
  ~Allocator() = default;
};

// The C library's heap.
const Allocator& heap_allocator() noexcept;

}  // namespace quillmark
