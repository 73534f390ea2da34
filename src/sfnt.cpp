#include "sfnt.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "utf8.h"

namespace quillmark {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxTables = std::numeric_limits<std::uint16_t>::max();

constexpr std::uint64_t pad4(std::uint64_t n) noexcept { return (n + 3) & ~std::uint64_t{3}; }

std::string tag_text(const Tag& tag) { return utf8_lossy(ByteView(tag)); }

// Loads a u32 in host order from possibly unaligned memory and turns it big-endian.
inline std::uint32_t word_at(const std::uint8_t* p) noexcept {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
  return w;
}

// The checksum of the last 1 to 3 bytes of a run, completed with zeros.
inline std::uint32_t tail_word(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint8_t last[4] = {0, 0, 0, 0};
  std::memcpy(last, p, n);
  return load_u32(last);
}

// Copies `n` bytes and the zero padding up to the next multiple of 4, and returns the checksum
// of what it wrote: one pass over the table instead of a copy and then a sum.
std::uint32_t copy_with_checksum(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
  std::uint32_t sum = 0;
  const std::size_t whole = n & ~std::size_t{3};
  for (std::size_t i = 0; i < whole; i += 4) {
    std::memcpy(dst + i, src + i, 4);
    sum += word_at(src + i);
  }
  if (const std::size_t rest = n - whole; rest != 0) {
    std::uint8_t last[4] = {0, 0, 0, 0};
    std::memcpy(last, src + whole, rest);
    std::memcpy(dst + whole, last, 4);
    sum += load_u32(last);
  }
  return sum;
}

// What a table tagged head with at least 12 bytes contributes to its own checksum through
// checkSumAdjustment; the OpenType rules sum head with that field taken as zero.
bool has_adjustment(const Tag& tag, std::uint64_t length) noexcept {
  return tag == kHeadTag && length >= kHeadMinimumLength;
}

// The tags and lengths that decide a rebuilt font's layout.
struct Shape {
  Tag tag;
  std::uint64_t length;
};

struct Layout {
  std::vector<std::size_t> order;     // indices into the shapes, in output order
  std::vector<std::uint64_t> offset;  // per shape index
  std::uint64_t size = 0;
};

// Sorts by tag (stable: equal tags keep their relative order) and assigns offsets from the
// lengths alone. Returns the detail of the first directory limit passed, if any.
std::optional<std::string> plan(const std::vector<Shape>& shapes, Layout& layout) {
  const std::size_t n = shapes.size();
  if (n > kMaxTables) {
    return "font would have " + std::to_string(n) + " tables; at most 65535 fit the table directory";
  }
  layout.order.resize(n);
  for (std::size_t i = 0; i < n; ++i) layout.order[i] = i;
  std::stable_sort(layout.order.begin(), layout.order.end(),
                   [&](std::size_t a, std::size_t b) { return shapes[a].tag < shapes[b].tag; });
  layout.offset.assign(n, 0);
  // No overflow here: at most 65535 tables of at most 2^32 bytes each.
  std::uint64_t at = kOffsetTableSize + kTableRecordSize * std::uint64_t{n};
  for (const std::size_t i : layout.order) {
    const Shape& s = shapes[i];
    if (s.length > kMaxU32) {
      return "table " + tag_text(s.tag) + " would be " + std::to_string(s.length) +
             " bytes; at most 4294967295 fit the table directory";
    }
    if (at > kMaxU32) {
      return "table " + tag_text(s.tag) + " would start at offset " + std::to_string(at) +
             "; at most 4294967295 fit the table directory";
    }
    layout.offset[i] = at;
    at += pad4(s.length);
  }
  layout.size = at;
  return std::nullopt;
}

std::vector<Shape> shapes_of(const std::vector<Table>& tables) {
  std::vector<Shape> shapes;
  shapes.reserve(tables.size());
  for (const Table& t : tables) shapes.push_back({t.tag, t.data.size()});
  return shapes;
}

TableLocation read_record(const Reader& reader, std::uint64_t index) noexcept {
  TableLocation loc;
  loc.entry_offset = kOffsetTableSize + kTableRecordSize * index;
  // The caller has checked that the whole directory lies inside the input.
  const ByteView tag = *reader.bytes(loc.entry_offset, 4);
  std::copy(tag.begin(), tag.end(), loc.tag.begin());
  loc.offset = *reader.u32(loc.entry_offset + 8);
  loc.length = *reader.u32(loc.entry_offset + 12);
  return loc;
}

// Reads numTables and checks that the directory fits.
Result<std::uint16_t> read_table_count(const Reader& reader) {
  const std::uint16_t n = *reader.u16(4);
  if (!reader.contains(kOffsetTableSize, kTableRecordSize * std::uint64_t{n})) {
    return Error::invalid_font("table directory truncated");
  }
  return n;
}

}  // namespace

std::uint32_t checksum(ByteView bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::size_t whole = bytes.size() & ~std::size_t{3};
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < whole; i += 4) sum += word_at(p + i);
  if (whole != bytes.size()) sum += tail_word(p + whole, bytes.size() - whole);
  return sum;
}

Result<SfntFont> SfntFont::parse(ByteView bytes) {
  const Reader reader(bytes);
  if (reader.size() < kOffsetTableSize) return Error::not_sfnt();
  SfntFont font;
  font.sfnt_version = *reader.u32(0);
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
    font.tables.push_back(Table{loc.tag, *data, Buffer()});
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

Result<Buffer> SfntFont::serialize(const Allocator& allocator) const {
  const std::size_t n = tables.size();
  Layout layout;
  if (std::optional<std::string> limit = plan(shapes_of(tables), layout)) {
    return Error::invalid_font(std::move(*limit));
  }
  // Everything is written below, padding included, so the storage need not start zeroed.
  Buffer out = allocator.allocate(static_cast<std::size_t>(layout.size));
  std::uint8_t* const file = out.data();

  // The file's checksum is built from the parts: the offset table and directory, plus each
  // table's own sum over its padded bytes (every table starts at a multiple of 4).
  std::uint32_t tables_sum = 0;
  std::optional<std::size_t> adjusted;  // the last head table in output order
  for (std::size_t slot = 0; slot < n; ++slot) {
    const std::size_t i = layout.order[slot];
    const Table& t = tables[i];
    const std::uint64_t offset = layout.offset[i];
    const std::size_t length = t.data.size();
    std::uint32_t sum = copy_with_checksum(file + offset, t.data.data(), length);
    tables_sum += sum;
    if (has_adjustment(t.tag, length)) sum -= load_u32(t.data.data() + kCheckSumAdjustmentOffset);
    if (t.tag == kHeadTag) adjusted = i;

    std::uint8_t* record = file + kOffsetTableSize + kTableRecordSize * slot;
    std::memcpy(record, t.tag.data(), 4);
    store_u32(record + 4, sum);
    store_u32(record + 8, static_cast<std::uint32_t>(offset));
    store_u32(record + 12, static_cast<std::uint32_t>(length));
  }

  // searchRange = 16 * 2^e with 2^e the largest power of two not above n (e = 0 for n = 0);
  // both it and rangeShift are 16-bit fields and wrap as such.
  const unsigned e = n == 0 ? 0u : static_cast<unsigned>(std::bit_width(n) - 1);
  const std::uint32_t search_range = 16u << e;
  store_u32(file, sfnt_version);
  store_u16(file + 4, static_cast<std::uint16_t>(n));
  store_u16(file + 6, static_cast<std::uint16_t>(search_range));
  store_u16(file + 8, static_cast<std::uint16_t>(e));
  store_u16(file + 10, static_cast<std::uint16_t>(16 * n - search_range));

  if (adjusted && has_adjustment(kHeadTag, tables[*adjusted].data.size())) {
    const Table& head = tables[*adjusted];
    std::uint8_t* field = file + layout.offset[*adjusted] + kCheckSumAdjustmentOffset;
    const std::uint32_t without_field = tables_sum - load_u32(head.data.data() + kCheckSumAdjustmentOffset);
    const std::uint32_t directory_sum = checksum(ByteView(file, kOffsetTableSize + kTableRecordSize * n));
    store_u32(field, kChecksumMagic - (directory_sum + without_field));
  }
  return out;
}

void SfntFont::set_table(Tag tag, Buffer data) {
  std::erase_if(tables, [&](const Table& t) { return t.tag == tag; });
  const ByteView view = data.view();
  tables.push_back(Table{tag, view, std::move(data)});
}

std::optional<std::string> SfntFont::set_table_limit(Tag tag, std::uint64_t length) const {
  std::vector<Shape> shapes;
  shapes.reserve(tables.size() + 1);
  for (const Table& t : tables) {
    if (t.tag != tag) shapes.push_back({t.tag, t.data.size()});
  }
  shapes.push_back({tag, length});
  Layout layout;
  return plan(shapes, layout);
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

Result<bool> checksum_adjustment_valid(ByteView bytes) {
  Result<SfntFont> font = SfntFont::parse(bytes);
  if (!font) return std::move(font).error();
  const Table* head = font->find(kHeadTag);
  if (head == nullptr || head->data.size() < kHeadMinimumLength) return false;
  // The sum of the file with the first head's checkSumAdjustment zeroed, without copying the
  // file: take the field's bytes back out of the plain sum. The table borrows from `bytes`, so
  // its position in the file is known, and it need not start on a multiple of 4.
  const std::uint8_t* field = head->data.data() + kCheckSumAdjustmentOffset;
  const std::size_t position = static_cast<std::size_t>(field - bytes.data());
  std::uint32_t sum = checksum(bytes);
  for (std::size_t k = 0; k < 4; ++k) {
    sum -= std::uint32_t{field[k]} << (8 * (3 - (position + k) % 4));
  }
  const std::uint32_t stored = load_u32(field);
  return stored == static_cast<std::uint32_t>(kChecksumMagic - sum);
}

}  // namespace quillmark
