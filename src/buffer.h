// Byte views, owned byte buffers, big-endian access and the one bounds-checked reader of font
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace quillmark {

// A borrowed, read-only run of bytes. It never outlives the call that lent it.
using ByteView = std::span<const std::uint8_t>;

// The bytes of a string (UTF-8 text, in quillmark).
inline ByteView bytes_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Big-endian stores into memory the caller has sized; `p` need not be aligned.
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
// Big-endian loads from memory the caller has already bounds-checked (through Reader, or its
// own layout).
inline std::uint16_t load_u16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>((std::uint16_t{p[0]} << 8) | p[1]);
}
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
    return load_u16(bytes_.data() + offset);
  }
  std::optional<std::uint32_t> u32(std::uint64_t offset) const noexcept {
    if (!contains(offset, 4)) return std::nullopt;
    return load_u32(bytes_.data() + offset);
  }

 private:
  ByteView bytes_;
};

// An owned, fixed-size byte buffer from the C library's heap.
class Buffer {
 public:
  Buffer() noexcept = default;

  // Uninitialised bytes; throws std::bad_alloc when the memory is not there.
  static Buffer heap(std::size_t size);
  static Buffer copy_of(ByteView bytes);

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  ByteView view() const noexcept { return {data_.get(), size_}; }
  std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace quillmark
