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

// The SFNT checksum, summed so that the compiler vectorises it. A sum of big-endian words is
// the same as summing the bytes of each position within a word apart and weighting the four
// sums by 2^24, 2^16, 2^8 and 1 at the end, and that needs no byte swapping: every 8-byte word
// is split into its even and its odd bytes, each in its own 16-bit lane, and the lanes are
// added as plain 64-bit integers. A lane holds at most 255 * 257 without overflowing, so the
// lanes are folded into 64-bit totals every kBlockWords words. The plain loop over swapped
// words ran at a third of memory speed and made checksums the larger part of every operation
// on a large font.
constexpr std::size_t kBlockWords = 256;
constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FF;

// Sums (and, with kCopy, copies to `dst`) the whole 8-byte words of `n` bytes; returns how many
// bytes that was. `totals[k]` gathers the bytes at positions k mod 4.
template <bool kCopy>
[[gnu::always_inline]] inline std::size_t add_words(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                                                    std::uint64_t (&totals)[4]) noexcept {
  const std::size_t words = n / 8;
  for (std::size_t i = 0; i < words;) {
    const std::size_t end = std::min(words, i + kBlockWords);
    std::uint64_t even = 0;  // bytes 0, 2, 4, 6 of each word in 16-bit lanes
    std::uint64_t odd = 0;   // bytes 1, 3, 5, 7
    for (; i < end; ++i) {
      std::uint64_t w;
      std::memcpy(&w, src + 8 * i, 8);
      if constexpr (kCopy) std::memcpy(dst + 8 * i, &w, 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
      even += w & kEvenBytes;
      odd += (w >> 8) & kEvenBytes;
    }
    // Lanes 0 and 2 of `even` hold positions 0 mod 4 (bytes 0 and 4), lanes 1 and 3 positions
    // 2 mod 4; likewise `odd` for positions 1 and 3.
    totals[0] += (even & 0xFFFF) + ((even >> 32) & 0xFFFF);
    totals[2] += ((even >> 16) & 0xFFFF) + (even >> 48);
    totals[1] += (odd & 0xFFFF) + ((odd >> 32) & 0xFFFF);
    totals[3] += ((odd >> 16) & 0xFFFF) + (odd >> 48);
  }
  return words * 8;
}

// The checksum of `n` bytes of `src` as if followed by zeros to a multiple of 4; with kCopy it
// also copies them to `dst` followed by those zeros, so that the copy ends on a multiple of 4.
template <bool kCopy>
[[gnu::always_inline]] inline std::uint32_t sum_bytes(std::uint8_t* dst, const std::uint8_t* src,
                                                      std::size_t n) noexcept {
  std::uint64_t totals[4] = {0, 0, 0, 0};
  std::size_t done = add_words<kCopy>(dst, src, n, totals);
  std::uint32_t sum = static_cast<std::uint32_t>((totals[0] << 24) + (totals[1] << 16) + (totals[2] << 8) + totals[3]);
  // At most 7 bytes are left: a whole word, then 1 to 3 bytes completed with zeros.
  if (n - done >= 4) {
    if constexpr (kCopy) std::memcpy(dst + done, src + done, 4);
    sum += load_u32(src + done);
    done += 4;
  }
  if (const std::size_t rest = n - done; rest != 0) {
    std::uint8_t last[4] = {0, 0, 0, 0};
    std::memcpy(last, src + done, rest);
    if constexpr (kCopy) std::memcpy(dst + done, last, 4);
    sum += load_u32(last);
  }
  return sum;
}

std::uint32_t sum_baseline(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, bool copy) noexcept {
  return copy ? sum_bytes<true>(dst, src, n) : sum_bytes<false>(dst, src, n);
}

// The same loops in 256-bit vectors where the CPU has them, chosen at run time, so that one
// build runs on every x86-64 CPU and is up to twice as fast on those made since 2013.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
[[gnu::target("avx2")]] std::uint32_t sum_avx2(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                                             bool copy) noexcept {
  return copy ? sum_bytes<true>(dst, src, n) : sum_bytes<false>(dst, src, n);
}

// Chosen at the first sum rather than by a static initialiser, which could run after another
// one that already needs a checksum.
std::uint32_t sum_best(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, bool copy) noexcept {
  using SumFunction = std::uint32_t (*)(std::uint8_t*, const std::uint8_t*, std::size_t, bool) noexcept;
  static const SumFunction chosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? sum_avx2 : sum_baseline;
  }();
  return chosen(dst, src, n, copy);
}
#else
std::uint32_t sum_best(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, bool copy) noexcept {
  return sum_baseline(dst, src, n, copy);
}
#endif

// Copies `n` bytes and the zero padding up to the next multiple of 4, and returns the checksum
// of what it wrote: one pass over the table instead of a copy and then a sum.
std::uint32_t copy_with_checksum(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
  return sum_best(dst, src, n, true);
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
  return sum_best(nullptr, bytes.data(), bytes.size(), false);
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
