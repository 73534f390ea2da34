// The C2PA font table: a 20-byte header that points at an optional active manifest URI and an
// optional Manifest Store stored behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "buffer.h"
#include "error.h"

namespace quillmark {

// Header fields, all big-endian, offsets counted from the table's first byte:
//   majorVersion u16, minorVersion u16, activeManifestUriOffset u32, activeManifestUriLength u16,
//   reserved u16, manifestStoreOffset u32, manifestStoreLength u32.
inline constexpr std::size_t kC2paHeaderSize = 2 + 2 + 4 + 2 + 2 + 4 + 4;
inline constexpr std::size_t kUriOffsetField = 4;
inline constexpr std::size_t kUriLengthField = 8;
inline constexpr std::size_t kStoreOffsetField = 12;
inline constexpr std::size_t kStoreLengthField = 16;
static_assert(kC2paHeaderSize == 20);

// What quillmark writes into every table it makes.
inline constexpr std::uint16_t kWrittenMajorVersion = 0;
inline constexpr std::uint16_t kWrittenMinorVersion = 1;

// The largest pieces the header can describe.
inline constexpr std::uint64_t kMaxUriLength = 0xFFFF;
inline constexpr std::uint64_t kMaxStoreLength = 0xFFFFFFFF;

// The pieces of one C2PA table where they lie in its bytes, checked as decode() checks them.
// decode() copies both pieces; the readers that hand back at most one piece, or only ask
// whether a piece is there, take this view instead and copy that piece once, straight into
// their result. The views live as long as the table bytes that they were decoded from.
struct C2paTableView {
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::optional<ByteView> active_manifest_uri;  // valid UTF-8
  std::optional<ByteView> manifest_store;

  static Result<C2paTableView> decode(ByteView table);
};

struct C2paTable {
  std::uint16_t major_version = kWrittenMajorVersion;
  std::uint16_t minor_version = kWrittenMinorVersion;
  std::optional<std::string> active_manifest_uri;  // UTF-8; present and empty is possible
  std::optional<Buffer> manifest_store;            // present and empty is possible

  // Reads one table's bytes (without the font's padding). Offsets are followed wherever they
  // point inside the table; a zero offset alone means the piece is absent. The result copies
  // both pieces.
  static Result<C2paTable> decode(ByteView table);

  // The bytes encode() would write for a URI of `uri_length` and a store of `store_length`
  // bytes, or the InvalidC2paTable error naming the header field that cannot hold them.
  static Result<std::uint64_t> encoded_size(std::uint64_t uri_length, std::uint64_t store_length);

  // Header, then the URI, then the store; an empty piece is written as absent. The value must
  // be within the limits that encoded_size() checks.
  Buffer encode() const;

  // What encode() writes for `uri` and a store of `store_length` bytes that begins with
  // `store` and goes on with zeros. Reserving and filling write their stores this way, straight
  // into the table, instead of building a zero-filled store of the reserved size and copying it.
  static Buffer encode_padded(const std::optional<std::string>& uri, ByteView store, std::size_t store_length);
};

}  // namespace quillmark
