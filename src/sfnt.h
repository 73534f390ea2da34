// The SFNT container: a font's offset table and table directory, read without copying the
// tables, and the whole-font checksum test. Rebuilding a font is layout's business.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// One font table: its tag and exactly its bytes, without the padding that follows it in a file.
// The bytes are borrowed from the parsed input: every operation parses the caller's immutable
// bytes and is done with the font before the call returns, so a copy would buy nothing but
// time.
struct Table {
  Tag tag{};
  ByteView data;
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
  // In table-directory order; tags may repeat.
  std::vector<Table> tables;

  // Reads a whole font file. The font borrows the tables' bytes from `bytes`, which must
  // outlive it.
  static Result<SfntFont> parse(ByteView bytes);

  // The first table tagged `tag`, in directory order, or null.
  const Table* find(Tag tag) const noexcept;
  std::size_t count(Tag tag) const noexcept;
};

// The directory of a raw font, without copying anything. The version is not examined.
Result<std::vector<TableLocation>> locate_tables(ByteView bytes);

// Whether a table tagged `tag` of `length` bytes holds head.checkSumAdjustment, which its own
// checksum and the file's count as zero.
bool has_adjustment(const Tag& tag, std::uint64_t length) noexcept;

// The tag as text for messages: its bytes decoded as UTF-8, each ill-formed part replaced.
std::string tag_text(const Tag& tag);

// Whether head.checkSumAdjustment of the first head table matches the whole file `bytes`, which
// `font` was parsed from. False for a font without a head table of at least 12 bytes.
bool checksum_adjustment_valid(ByteView bytes, const SfntFont& font) noexcept;

}  // namespace quillmark
