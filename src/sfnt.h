// The SFNT container: parsing a font's table directory, rebuilding a font from its tables, and
// the checksums that tie a font together.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "buffer.h"
#include "error.h"

namespace quillmark {

// Four tag bytes exactly as stored. Ordered as unsigned bytes from the first on, which puts
// upper case before lower case and "C2PA" before "head".
using Tag = std::array<std::uint8_t, 4>;

inline constexpr Tag kC2paTag{'C', '2', 'P', 'A'};
inline constexpr Tag kHeadTag{'h', 'e', 'a', 'd'};

// The offset table (sfntVersion, numTables, searchRange, entrySelector, rangeShift) and one
// table record (tableTag, checksum, offset, length).
inline constexpr std::size_t kOffsetTableSize = 4 + 2 + 2 + 2 + 2;
inline constexpr std::size_t kTableRecordSize = 4 + 4 + 4 + 4;
static_assert(kOffsetTableSize == 12 && kTableRecordSize == 16);

// head.checkSumAdjustment: a u32 at bytes 8..12 of the head table.
inline constexpr std::size_t kCheckSumAdjustmentOffset = 8;
inline constexpr std::size_t kHeadMinimumLength = kCheckSumAdjustmentOffset + 4;
// What a whole font's checksum comes to once checkSumAdjustment is right.
inline constexpr std::uint32_t kChecksumMagic = 0xB1B0AFBA;

inline constexpr std::uint32_t kVersionTrueType = 0x00010000;
inline constexpr std::uint32_t kVersionCff = 0x4F54544F;      // 'OTTO'
inline constexpr std::uint32_t kVersionAppleTrue = 0x74727565;  // 'true'
inline constexpr std::uint32_t kVersionType1 = 0x74797031;      // 'typ1'
inline constexpr std::uint32_t kVersionCollection = 0x74746366;  // 'ttcf'
inline constexpr std::uint32_t kVersionWoff = 0x774F4646;        // 'wOFF'
inline constexpr std::uint32_t kVersionWoff2 = 0x774F4632;       // 'wOF2'

// One font table. Its bytes are exactly the table's, without the padding that follows it in a
// file.
//
// Tables that parse() reads borrow their bytes from the parsed input instead of copying them:
// every operation parses the caller's immutable bytes and is done with the font before the
// call returns, so the copy would buy nothing but time. `storage` owns the bytes of a table
// that set_table() put in; it is empty for a borrowed table.
struct Table {
  Tag tag{};
  ByteView data;
  Buffer storage;
};

// Where one table record and its table lie in a raw font.
struct TableLocation {
  Tag tag{};
  std::uint64_t entry_offset = 0;  // of the 16-byte record; its checksum field is 4 bytes on
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

class SfntFont {
 public:
  std::uint32_t sfnt_version = 0;
  // In table-directory order after parse(); tags may repeat.
  std::vector<Table> tables;

  // Reads a whole font file. The font borrows the tables' bytes from `bytes`, which must
  // outlive it.
  static Result<SfntFont> parse(ByteView bytes);

  // The font as a complete file: a directory sorted by tag, every table at a multiple of 4 with
  // zero padding, fresh table checksums and a fresh head.checkSumAdjustment. The layout is a
  // function of the tables' tags and lengths alone. Fails only for a font that the 16-bit table
  // count or the 32-bit offsets and lengths of the directory cannot describe; that is checked
  // before the output is allocated.
  Result<Buffer> serialize(const Allocator& allocator = heap_allocator()) const;

  // Replaces every table tagged `tag` by one table holding `data`, placed last.
  void set_table(Tag tag, Buffer data);

  // The directory limit that set_table(tag, <length bytes>) would make serialize() fail on, as
  // an error detail, or nothing when the font would still fit. Lets a writer refuse a request
  // before it allocates the new table.
  std::optional<std::string> set_table_limit(Tag tag, std::uint64_t length) const;

  // The first table tagged `tag`, in list order, or null.
  const Table* find(Tag tag) const noexcept;
  std::size_t count(Tag tag) const noexcept;
};

// The directory of a raw font, without copying anything. The version is not examined.
Result<std::vector<TableLocation>> locate_tables(ByteView bytes);

// The SFNT checksum: the sum modulo 2^32 of big-endian u32 words, a final partial word padded
// with zero bytes.
std::uint32_t checksum(ByteView bytes) noexcept;

// Whether head.checkSumAdjustment of the first head table matches the whole file. False for a
// font without a head table of at least 12 bytes; the errors are parse()'s.
Result<bool> checksum_adjustment_valid(ByteView bytes);

}  // namespace quillmark
