#include "layout.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "c2pa_table.h"
#include "checksum.h"

namespace quillmark {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxTables = std::numeric_limits<std::uint16_t>::max();

constexpr std::uint64_t pad4(std::uint64_t n) noexcept { return (n + 3) & ~std::uint64_t{3}; }

std::uint64_t directory_size(std::size_t n) noexcept { return record_offset(n); }

// Writes the C2PA table from its pieces at `at` (a multiple of 4 in the file) and returns its
// checksum. The zeros after the manifest add nothing to it.
std::uint32_t write_c2pa(std::uint8_t* at, const C2paPieces& pieces) noexcept {
  const std::uint64_t u = pieces.uri.size();
  write_c2pa_header(at, u, pieces.store_length);
  std::uint32_t sum = checksum(ByteView(at, kC2paHeaderSize));
  sum += copy_with_checksum(at + kC2paHeaderSize, pieces.uri, kC2paHeaderSize % 4);
  std::uint8_t* store = at + kC2paHeaderSize + u;
  sum += copy_with_checksum(store, pieces.store, (kC2paHeaderSize + u) % 4);
  std::memset(store + pieces.store.size(), 0, static_cast<std::size_t>(pieces.store_length - pieces.store.size()));
  return sum;
}

}  // namespace

Result<C2paPieces> C2paPieces::make(ByteView uri, ByteView store, std::uint64_t store_length) {
  if (store.size() > store_length) broken_invariant(__FILE__, __LINE__);
  Result<std::uint64_t> size = c2pa_table_size(uri.size(), store_length);
  if (!size) return std::move(size).error();
  return C2paPieces{uri, store, store_length, *size};
}

Result<FontPlan> FontPlan::make(std::uint32_t sfnt_version, const std::vector<Table>& tables,
                                const std::optional<C2paPieces>& c2pa) {
  const auto refuse = [&](std::string detail) {
    return c2pa ? Error::invalid_c2pa_table(std::move(detail)) : Error::invalid_font(std::move(detail));
  };
  FontPlan plan;
  plan.sfnt_version_ = sfnt_version;
  plan.tables_.reserve(tables.size() + 1);
  for (const Table& t : tables) {
    if (!c2pa || t.tag != kC2paTag) plan.tables_.push_back({t.tag, t.data, 0, t.data.size(), false});
  }
  if (c2pa) {
    plan.c2pa_ = *c2pa;
    plan.tables_.push_back({kC2paTag, {}, 0, c2pa->table_length, true});
  }
  const std::size_t n = plan.tables_.size();
  if (n > kMaxTables) {
    return refuse("font would have " + std::to_string(n) + " tables; at most 65535 fit the table directory");
  }
  std::stable_sort(plan.tables_.begin(), plan.tables_.end(),
                   [](const PlannedTable& a, const PlannedTable& b) { return a.tag < b.tag; });
  // No overflow here: at most 65535 tables, each checked to hold less than 2^32 bytes.
  std::uint64_t at = directory_size(n);
  bool seen_head = false;
  for (std::size_t slot = 0; slot < n; ++slot) {
    PlannedTable& t = plan.tables_[slot];
    if (t.length > kMaxU32) {
      return refuse("table " + tag_text(t.tag) + " would be " + std::to_string(t.length) +
                    " bytes; at most 4294967295 fit the table directory");
    }
    if (at > kMaxU32) {
      return refuse("table " + tag_text(t.tag) + " would start at offset " + std::to_string(at) +
                    "; at most 4294967295 fit the table directory");
    }
    t.offset = at;
    at += pad4(t.length);
    if (t.from_pieces) plan.c2pa_slot_ = slot;
    // Only the first head in output order takes the adjustment: that is the one whose field the
    // exclusion ranges name and the compliance check reads. A first head too short to hold the
    // field means no adjustment at all.
    if (t.tag == kHeadTag && !seen_head) {
      seen_head = true;
      if (has_adjustment(t.tag, t.length)) plan.adjusted_slot_ = slot;
    }
  }
  plan.size_ = at;
  return plan;
}

std::optional<Exclusion> FontPlan::store_range() const noexcept {
  if (!c2pa_slot_ || c2pa_.store_length == 0) return std::nullopt;
  return Exclusion{tables_[*c2pa_slot_].offset + kC2paHeaderSize + c2pa_.uri.size(), c2pa_.store_length};
}

std::vector<Exclusion> FontPlan::exclusions() const {
  std::vector<Exclusion> ranges;
  const std::optional<Exclusion> store = store_range();
  if (!store) return ranges;
  ranges.push_back(*store);
  ranges.push_back({record_offset(*c2pa_slot_) + kRecordChecksumField, 4});
  if (adjusted_slot_) ranges.push_back({tables_[*adjusted_slot_].offset + kCheckSumAdjustmentOffset, 4});
  sort_exclusions(ranges);
  return ranges;
}

void FontPlan::write_directory_without_checksums(std::span<std::uint8_t> out) const noexcept {
  const std::size_t n = tables_.size();
  std::uint8_t* file = out.data();
  // searchRange = 16 * 2^e with 2^e the largest power of two not above n (e = 0 for n = 0);
  // both it and rangeShift are 16-bit fields and wrap as such.
  const unsigned e = n == 0 ? 0u : static_cast<unsigned>(std::bit_width(n) - 1);
  const std::uint32_t search_range = 16u << e;
  store_u32(file, sfnt_version_);
  store_u16(file + kNumTablesField, static_cast<std::uint16_t>(n));
  store_u16(file + kSearchRangeField, static_cast<std::uint16_t>(search_range));
  store_u16(file + kEntrySelectorField, static_cast<std::uint16_t>(e));
  store_u16(file + kRangeShiftField, static_cast<std::uint16_t>(16 * n - search_range));
  for (std::size_t slot = 0; slot < n; ++slot) {
    const PlannedTable& t = tables_[slot];
    std::uint8_t* record = file + record_offset(slot);
    std::memcpy(record + kRecordTagField, t.tag.data(), 4);
    store_u32(record + kRecordChecksumField, 0);
    store_u32(record + kRecordOffsetField, static_cast<std::uint32_t>(t.offset));
    store_u32(record + kRecordLengthField, static_cast<std::uint32_t>(t.length));
  }
}

void FontPlan::write(std::span<std::uint8_t> out) const noexcept {
  std::uint8_t* const file = out.data();
  const std::size_t directory = static_cast<std::size_t>(directory_size(tables_.size()));
  write_directory_without_checksums(out.first(directory));
  // The file's checksum is built from the parts: the directory, plus each table's own sum over
  // its padded bytes (every table starts at a multiple of 4).
  std::uint32_t tables_sum = 0;
  for (std::size_t slot = 0; slot < tables_.size(); ++slot) {
    const PlannedTable& t = tables_[slot];
    std::uint8_t* at = file + t.offset;
    const std::size_t length = static_cast<std::size_t>(t.length);
    std::uint32_t sum = t.from_pieces ? write_c2pa(at, c2pa_) : copy_with_checksum(at, t.data);
    std::memset(at + length, 0, static_cast<std::size_t>(pad4(length) - length));
    tables_sum += sum;
    // head is summed with checkSumAdjustment as zero, every head table alike.
    if (has_adjustment(t.tag, length)) sum -= load_u32(t.data.data() + kCheckSumAdjustmentOffset);
    store_u32(file + record_offset(slot) + kRecordChecksumField, sum);
  }
  if (adjusted_slot_) {
    const PlannedTable& head = tables_[*adjusted_slot_];
    const std::uint32_t without_field = tables_sum - load_u32(head.data.data() + kCheckSumAdjustmentOffset);
    const std::uint32_t directory_sum = checksum(ByteView(file, directory));
    store_u32(file + head.offset + kCheckSumAdjustmentOffset, kChecksumMagic - (directory_sum + without_field));
  }
}

}  // namespace quillmark
