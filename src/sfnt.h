// The SFNT container: a font's offset table and table directory, read without copying the
// tables, the names of tags, the whole-font checksum test and each table's checksum. Rebuilding
// a font is layout's business.
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

// The offset table (sfntVersion u32, numTables u16, searchRange u16, entrySelector u16,
// rangeShift u16) and one table record (tableTag, checksum u32, offset u32, length u32), with
// the byte offsets of their fields.
inline constexpr std::size_t kOffsetTableSize = 4 + 2 + 2 + 2 + 2;
inline constexpr std::size_t kNumTablesField = 4;
inline constexpr std::size_t kSearchRangeField = 6;
inline constexpr std::size_t kEntrySelectorField = 8;
inline constexpr std::size_t kRangeShiftField = 10;
inline constexpr std::size_t kTableRecordSize = 4 + 4 + 4 + 4;
inline constexpr std::size_t kRecordTagField = 0;
inline constexpr std::size_t kRecordChecksumField = 4;
inline constexpr std::size_t kRecordOffsetField = 8;
inline constexpr std::size_t kRecordLengthField = 12;
static_assert(kOffsetTableSize == 12 && kTableRecordSize == 16);

// Where the record of the table in directory slot `slot` starts in the file.
constexpr std::uint64_t record_offset(std::uint64_t slot) noexcept { return kOffsetTableSize + kTableRecordSize * slot; }

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
  std::uint64_t offset = 0;  // where `data` starts in the file it was parsed from
};

class SfntFont {
 public:
  std::uint32_t sfnt_version = 0;
  // In table-directory order (the table in slot i has its record at record_offset(i)); tags may
  // repeat.
  std::vector<Table> tables;

  // Reads a font file's offset table and directory: the one reader of a directory in quillmark,
  // so that one fault has one message whichever function meets it. Refuses what is not an SFNT
  // font, a directory past the end of `bytes` and a table past it. The font borrows the tables'
  // bytes from `bytes`, which must outlive it.
  static Result<SfntFont> parse(ByteView bytes);

  // The first table tagged `tag`, in directory order, or null.
  const Table* find(Tag tag) const noexcept;
  std::size_t count(Tag tag) const noexcept;
};

// Whether a table tagged `tag` of `length` bytes holds head.checkSumAdjustment, which its own
// checksum and the file's count as zero.
bool has_adjustment(const Tag& tag, std::uint64_t length) noexcept;

// How quillmark names a tag, in its messages and in box hashes: its four bytes decoded as
// Latin-1 (each byte the code point of the same value), as UTF-8. Every byte is one character,
// so two different tags never have the same text; the Python side (quillmark_c2pa.sfnt) names
// tags by the same rule, `tag.decode("latin-1")`.
std::string tag_text(const Tag& tag);

// The name of a table's box in a c2pa.hash.boxes assertion: tag_text() without its trailing
// spaces (U+0020 only), so `cvt ` is the box `cvt`. A tag is four bytes, so the name still
// tells it from every other tag: padding the name with spaces to four characters gives the tag
// back.
std::string box_name(const Tag& tag);

// Whether head.checkSumAdjustment of the first head table matches the whole file `bytes`, which
// `font` was parsed from. False for a font without a head table of at least 12 bytes.
bool checksum_adjustment_valid(ByteView bytes, const SfntFont& font) noexcept;

// The SFNT checksum of each table of `bytes` in directory order, with checkSumAdjustment taken
// as zero in every head table that holds one: what each record's checksum field should say.
// Refuses what parse() refuses, and a directory whose tables come to more than twice the file
// and 64 KiB: entries that share bytes would otherwise make the work grow with the square of
// the file's size.
Result<std::vector<std::uint32_t>> table_checksums(ByteView bytes);

}  // namespace quillmark
