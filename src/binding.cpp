#include "binding.h"

#include <algorithm>
#include <utility>

#include "sfnt.h"
#include "table.h"

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
  const Reader table(*Reader(font).bytes(c2pa.offset, c2pa.length));
  const std::uint32_t store_offset = *table.u32(kStoreOffsetField);
  const std::uint32_t store_length = *table.u32(kStoreLengthField);
  if (store_offset == 0 || store_length == 0) {
    return Error::invalid_c2pa_table("no embedded manifest store to bind");
  }
  std::uint64_t start;
  std::uint64_t end;
  if (__builtin_add_overflow(c2pa.offset, std::uint64_t{store_offset}, &start)) {
    return Error::invalid_c2pa_table("store offset overflow");
  }
  if (__builtin_add_overflow(start, std::uint64_t{store_length}, &end)) {
    return Error::invalid_c2pa_table("store length overflow");
  }
  if (end > c2pa.offset + c2pa.length) {
    return Error::invalid_c2pa_table("manifest store extends past C2PA table");
  }
  return Exclusion{start, store_length};
}

// The directory and the store range that every exclusion list starts from.
struct Bound {
  std::vector<TableLocation> tables;
  TableLocation c2pa;
  Exclusion store;
};

Result<Bound> bind(ByteView font) {
  Result<std::vector<TableLocation>> tables = locate_tables(font);
  if (!tables) return std::move(tables).error();
  const TableLocation* c2pa = first(*tables, kC2paTag);
  if (c2pa == nullptr) return Error::no_c2pa_table();
  Result<Exclusion> store = store_range(font, *c2pa);
  if (!store) return std::move(store).error();
  const TableLocation found = *c2pa;
  return Bound{std::move(*tables), found, *store};
}

}  // namespace

Result<Exclusion> manifest_store_range(ByteView font) {
  Result<Bound> bound = bind(font);
  if (!bound) return std::move(bound).error();
  return bound->store;
}

Result<std::vector<Exclusion>> data_hash_exclusions(ByteView font) {
  Result<Bound> bound = bind(font);
  if (!bound) return std::move(bound).error();
  std::vector<Exclusion> ranges;
  ranges.reserve(3);
  ranges.push_back(bound->store);
  ranges.push_back({bound->c2pa.entry_offset + 4, 4});
  const TableLocation* head = first(bound->tables, kHeadTag);
  if (head != nullptr && head->length >= kHeadMinimumLength) {
    ranges.push_back({head->offset + kCheckSumAdjustmentOffset, 4});
  }
  // Insertion sort, stable: only a strictly smaller start moves an element forward.
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    for (std::size_t j = i; j > 0 && ranges[j].start < ranges[j - 1].start; --j) {
      std::swap(ranges[j], ranges[j - 1]);
    }
  }
  return ranges;
}

}  // namespace quillmark
