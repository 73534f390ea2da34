#include "sfnt.h"

#include <algorithm>
#include <string>

#include "checksum.h"
#include "utf8.h"

namespace quillmark {
namespace {

TableLocation read_record(const Reader& reader, std::uint64_t index) {
  TableLocation loc;
  loc.entry_offset = kOffsetTableSize + kTableRecordSize * index;
  // The caller has checked that the whole directory lies inside the input.
  const ByteView tag = checked(reader.bytes(loc.entry_offset, 4));
  std::copy(tag.begin(), tag.end(), loc.tag.begin());
  loc.offset = checked(reader.u32(loc.entry_offset + 8));
  loc.length = checked(reader.u32(loc.entry_offset + 12));
  return loc;
}

// Reads numTables and checks that the directory fits. The input has at least 12 bytes.
Result<std::uint16_t> read_table_count(const Reader& reader) {
  const std::uint16_t n = checked(reader.u16(4));
  if (!reader.contains(kOffsetTableSize, kTableRecordSize * std::uint64_t{n})) {
    return Error::invalid_font("table directory truncated");
  }
  return n;
}

}  // namespace

std::string tag_text(const Tag& tag) { return utf8_lossy(ByteView(tag)); }

bool has_adjustment(const Tag& tag, std::uint64_t length) noexcept {
  return tag == kHeadTag && length >= kHeadMinimumLength;
}

Result<SfntFont> SfntFont::parse(ByteView bytes) {
  const Reader reader(bytes);
  if (reader.size() < kOffsetTableSize) return Error::not_sfnt();
  SfntFont font;
  font.sfnt_version = checked(reader.u32(0));
  switch (font.sfnt_version) {
    case kVersionTrueType:
    case kVersionCff:
    case kVersionAppleTrue:
    case kVersionType1:
      break;
    case kVersionCollection:
      return Error::font_collection();
    case kVersionWoff:
    case kVersionWoff2:
      return Error::woff_unsupported();
    default:
      return Error::not_sfnt();
  }
  Result<std::uint16_t> n = read_table_count(reader);
  if (!n) return std::move(n).error();
  font.tables.reserve(*n);
  for (std::uint64_t i = 0; i < *n; ++i) {
    const TableLocation loc = read_record(reader, i);
    const std::optional<ByteView> data = reader.bytes(loc.offset, loc.length);
    if (!data) return Error::invalid_font("table " + tag_text(loc.tag) + " extends past end of file");
    font.tables.push_back(Table{loc.tag, *data});
  }
  return font;
}

Result<std::vector<TableLocation>> locate_tables(ByteView bytes) {
  const Reader reader(bytes);
  if (reader.size() < kOffsetTableSize) return Error::not_sfnt();
  Result<std::uint16_t> n = read_table_count(reader);
  if (!n) return std::move(n).error();
  std::vector<TableLocation> locations;
  locations.reserve(*n);
  for (std::uint64_t i = 0; i < *n; ++i) {
    const TableLocation loc = read_record(reader, i);
    if (!reader.contains(loc.offset, loc.length)) {
      return Error::invalid_font("table extends past end of file");
    }
    locations.push_back(loc);
  }
  return locations;
}

const Table* SfntFont::find(Tag tag) const noexcept {
  for (const Table& t : tables) {
    if (t.tag == tag) return &t;
  }
  return nullptr;
}

std::size_t SfntFont::count(Tag tag) const noexcept {
  return static_cast<std::size_t>(
      std::count_if(tables.begin(), tables.end(), [&](const Table& t) { return t.tag == tag; }));
}

bool checksum_adjustment_valid(ByteView bytes, const SfntFont& font) noexcept {
  const Table* head = font.find(kHeadTag);
  if (head == nullptr || !has_adjustment(head->tag, head->data.size())) return false;
  // The sum of the file with the first head's checkSumAdjustment zeroed, without copying the
  // file: take the field's bytes back out of the plain sum. The table borrows from `bytes`, so
  // its position in the file is known, and it need not start on a multiple of 4.
  const ByteView field = head->data.subspan(kCheckSumAdjustmentOffset, 4);
  const std::size_t position = static_cast<std::size_t>(field.data() - bytes.data());
  std::uint32_t sum = checksum(bytes);
  for (std::size_t k = 0; k < 4; ++k) {
    sum -= std::uint32_t{field[k]} << (8 * (3 - (position + k) % 4));
  }
  return load_u32(field.data()) == static_cast<std::uint32_t>(kChecksumMagic - sum);
}

}  // namespace quillmark
