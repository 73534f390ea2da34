#include "exclusions.h"

#include <algorithm>
#include <utility>

#include "c2pa_table.h"
#include "sfnt.h"

namespace quillmark {

void sort_exclusions(std::vector<Exclusion>& ranges) noexcept {
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    for (std::size_t j = i; j > 0 && ranges[j].start < ranges[j - 1].start; --j) {
      std::swap(ranges[j], ranges[j - 1]);
    }
  }
}

Result<std::vector<Exclusion>> data_hash_exclusions(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const std::vector<Table>& tables = parsed->tables;
  const auto first = [&](const Tag& tag) {
    return std::find_if(tables.begin(), tables.end(), [&](const Table& t) { return t.tag == tag; });
  };
  const auto c2pa = first(kC2paTag);
  if (c2pa == tables.end()) return Error::no_c2pa_table();
  // The store's range comes from the header's two store fields alone: the URI is not decoded,
  // for a URI has nothing to do with which bytes a signature covers.
  Result<C2paHeader> header = C2paHeader::read(c2pa->data);
  if (!header) return std::move(header).error();
  Result<std::optional<ByteView>> store = header->store(c2pa->data);
  if (!store) return std::move(store).error();
  if (!*store || (*store)->empty()) return Error::invalid_c2pa_table("no embedded manifest store to bind");
  // No overflow: the table lies inside the font, and the store inside the table.
  std::vector<Exclusion> ranges;
  ranges.reserve(3);
  ranges.push_back({c2pa->offset + header->store_offset, header->store_length});
  const auto slot = static_cast<std::uint64_t>(c2pa - tables.begin());
  ranges.push_back({record_offset(slot) + kRecordChecksumField, 4});
  const auto head = first(kHeadTag);
  if (head != tables.end() && has_adjustment(head->tag, head->data.size())) {
    ranges.push_back({head->offset + kCheckSumAdjustmentOffset, 4});
  }
  sort_exclusions(ranges);
  return ranges;
}

}  // namespace quillmark
