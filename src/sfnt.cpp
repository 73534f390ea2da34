#include "sfnt.h"

#include <algorithm>
#include <string>

#include "checksum.h"

namespace quillmark {

std::string tag_text(const Tag& tag) {
  std::string text;
  for (const std::uint8_t byte : tag) {
    if (byte < 0x80) {
      text += static_cast<char>(byte);
    } else {  // U+0080..U+00FF in two bytes of UTF-8
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

std::string box_name(const Tag& tag) {
  std::string name = tag_text(tag);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

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
  const std::uint16_t n = checked(reader.u16(kNumTablesField));
  if (!reader.contains(kOffsetTableSize, kTableRecordSize * std::uint64_t{n})) {
    return Error::invalid_font("table directory truncated");
  }
  font.tables.reserve(n);
  for (std::uint64_t slot = 0; slot < n; ++slot) {
    const std::uint64_t record = record_offset(slot);
    Table table;
    const ByteView tag = checked(reader.bytes(record + kRecordTagField, 4));
    std::copy(tag.begin(), tag.end(), table.tag.begin());
    table.offset = checked(reader.u32(record + kRecordOffsetField));
    const std::optional<ByteView> data = reader.bytes(table.offset, checked(reader.u32(record + kRecordLengthField)));
    if (!data) return Error::invalid_font("table " + tag_text(table.tag) + " extends past end of file");
    table.data = *data;
    font.tables.push_back(table);
  }
  return font;
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
  // file: take the field's bytes back out of the plain sum. The head need not start on a
  // multiple of 4, so each byte is taken out at its own place in its word.
  const std::uint64_t position = head->offset + kCheckSumAdjustmentOffset;
  const ByteView field = head->data.subspan(kCheckSumAdjustmentOffset, 4);
  std::uint32_t sum = checksum(bytes);
  for (std::size_t k = 0; k < 4; ++k) {
    sum -= std::uint32_t{field[k]} << (8 * (3 - (position + k) % 4));
  }
  return load_u32(field.data()) == static_cast<std::uint32_t>(kChecksumMagic - sum);
}

Result<std::vector<std::uint32_t>> table_checksums(ByteView bytes) {
  Result<SfntFont> font = SfntFont::parse(bytes);
  if (!font) return std::move(font).error();
  // At most 65535 tables of less than 2^32 bytes each: the total fits 64 bits.
  std::uint64_t total = 0;
  for (const Table& t : font->tables) total += t.data.size();
  if (total > 2 * std::uint64_t{bytes.size()} + 65536) {
    return Error::invalid_font("the tables overlap: " + std::to_string(total) + " bytes of tables in a " +
                               std::to_string(bytes.size()) + "-byte file");
  }
  std::vector<std::uint32_t> sums;
  sums.reserve(font->tables.size());
  for (const Table& t : font->tables) {
    // Every table is summed from its own first byte, so the field at offset 8 is a whole word.
    std::uint32_t sum = checksum(t.data);
    if (has_adjustment(t.tag, t.data.size())) sum -= load_u32(t.data.data() + kCheckSumAdjustmentOffset);
    sums.push_back(sum);
  }
  return sums;
}

}  // namespace quillmark
