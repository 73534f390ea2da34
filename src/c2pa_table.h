// The C2PA font table: a 20-byte header whose offsets point at an optional active manifest URI
// and an optional Manifest Store anywhere inside the table. Readers follow the offsets wherever
// they point; quillmark writes the URI right after the header and the store right after the URI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "buffer.h"
#include "error.h"

namespace quillmark {

// Header fields, all big-endian, offsets counted from the table's first byte:
//   majorVersion u16, minorVersion u16, activeManifestUriOffset u32, activeManifestUriLength u16,
//   reserved u16, manifestStoreOffset u32, manifestStoreLength u32.
inline constexpr std::size_t kC2paHeaderSize = 2 + 2 + 4 + 2 + 2 + 4 + 4;
inline constexpr std::size_t kMajorVersionField = 0;
inline constexpr std::size_t kMinorVersionField = 2;
inline constexpr std::size_t kUriOffsetField = 4;
inline constexpr std::size_t kUriLengthField = 8;
inline constexpr std::size_t kReservedField = 10;
inline constexpr std::size_t kStoreOffsetField = 12;
inline constexpr std::size_t kStoreLengthField = 16;
static_assert(kC2paHeaderSize == 20);

// What quillmark writes into every table it makes.
inline constexpr std::uint16_t kWrittenMajorVersion = 0;
inline constexpr std::uint16_t kWrittenMinorVersion = 1;

// The largest pieces the header can describe.
inline constexpr std::uint64_t kMaxUriLength = 0xFFFF;
inline constexpr std::uint64_t kMaxStoreLength = 0xFFFFFFFF;

// The header's fields as stored, read in one place for every reader of a C2PA table.
struct C2paHeader {
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::uint32_t uri_offset = 0;
  std::uint16_t uri_length = 0;
  std::uint32_t store_offset = 0;
  std::uint32_t store_length = 0;

  // The first 20 bytes of `table`; refused when the table is shorter.
  static Result<C2paHeader> read(ByteView table);

  // The Manifest Store the header places in `table`: nothing when its offset is zero, refused
  // when it does not lie inside the table. Offsets are followed wherever they point inside the
  // table, the header included.
  Result<std::optional<ByteView>> store(ByteView table) const;
};

// One C2PA table, decoded where it lies: the pieces are views into the table's bytes, which
// must outlive the value. Callers copy at most the one piece they hand back, straight into
// their result.
struct C2paTable {
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::optional<ByteView> active_manifest_uri;  // well-formed UTF-8; present and empty is possible
  std::optional<ByteView> manifest_store;       // present and empty is possible

  // Reads one table's bytes (without the font's padding). Offsets are followed wherever they
  // point inside the table; a zero offset alone means the piece is absent.
  static Result<C2paTable> decode(ByteView table);
};

// The length of the table quillmark writes for a URI of `uri_length` and a store of
// `store_length` bytes (the header, then the URI, then the store), or the InvalidC2paTable error
// naming the header field that cannot hold them.
Result<std::uint64_t> c2pa_table_size(std::uint64_t uri_length, std::uint64_t store_length);

// The header quillmark writes (version 0.1) for those lengths, which must be within the limits
// that c2pa_table_size() checks: the URI follows at byte 20, the store right after it, and an
// empty piece is written as absent.
void write_c2pa_header(std::uint8_t* header, std::uint64_t uri_length, std::uint64_t store_length) noexcept;

}  // namespace quillmark
