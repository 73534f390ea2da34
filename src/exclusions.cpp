#include "exclusions.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "c2pa_table.h"
#include "sfnt.h"

namespace quillmark {
namespace {

// The first record tagged `tag`, in directory order.
const TableLocation* first(const std::vector<TableLocation>& tables, const Tag& tag) {
  const auto it = std::find_if(tables.begin(), tables.end(), [&](const TableLocation& t) { return t.tag == tag; });
  return it == tables.end() ? nullptr : &*it;
}

// locate_tables has bounded every table by the font, so the store fields can be read through
// the table's own Reader.
Result<Exclusion> store_range(ByteView font, const TableLocation& c2pa) {
  if (c2pa.length < kC2paHeaderSize) return Error::invalid_c2pa_table("C2PA table shorter than header");
  const Reader table(checked(Reader(font).bytes(c2pa.offset, c2pa.length)));
  const std::uint64_t store_offset = checked(table.u32(kStoreOffsetField));
  const std::uint64_t store_length = checked(table.u32(kStoreLengthField));
  if (store_offset == 0 || store_length == 0) {
    return Error::invalid_c2pa_table("no embedded manifest store to bind");
  }
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (store_offset > kMax - c2pa.offset) return Error::invalid_c2pa_table("store offset overflow");
  const std::uint64_t start = c2pa.offset + store_offset;
  if (store_length > kMax - start) return Error::invalid_c2pa_table("store length overflow");
  if (start + store_length > c2pa.offset + c2pa.length) {
    return Error::invalid_c2pa_table("manifest store extends past C2PA table");
  }
  return Exclusion{start, store_length};
}

}  // namespace

void sort_exclusions(std::vector<Exclusion>& ranges) noexcept {
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    for (std::size_t j = i; j > 0 && ranges[j].start < ranges[j - 1].start; --j) {
      std::swap(ranges[j], ranges[j - 1]);
    }
  }
}

Result<std::vector<Exclusion>> data_hash_exclusions(ByteView font) {
  Result<std::vector<TableLocation>> tables = locate_tables(font);
  if (!tables) return std::move(tables).error();
  const TableLocation* c2pa = first(*tables, kC2paTag);
  if (c2pa == nullptr) return Error::no_c2pa_table();
  Result<Exclusion> store = store_range(font, *c2pa);
  if (!store) return std::move(store).error();
  std::vector<Exclusion> ranges;
  ranges.reserve(3);
  ranges.push_back(*store);
  ranges.push_back({c2pa->entry_offset + 4, 4});
  const TableLocation* head = first(*tables, kHeadTag);
  if (head != nullptr && has_adjustment(head->tag, head->length)) {
    ranges.push_back({head->offset + kCheckSumAdjustmentOffset, 4});
  }
  sort_exclusions(ranges);
  return ranges;
}

}  // namespace quillmark
