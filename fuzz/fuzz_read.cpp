// Arbitrary bytes as a font through every operation that reads one: parsing, locating,
// checksum testing, compliance, reading, exclusion ranges and removal. Besides surviving, the
// operations must agree with one another about the same bytes.
#include <algorithm>
#include <vector>

#include "binding.h"
#include "check.h"
#include "reader.h"
#include "sfnt.h"
#include "table.h"
#include "verify.h"
#include "writer.h"

using namespace quillmark;

namespace {

void check_locate_agrees(ByteView in, const Result<SfntFont>& font, const Result<std::vector<TableLocation>>& located) {
  if (!located) {
    fuzz::check_error(located.error());
    FUZZ_CHECK(!font);
    return;
  }
  const std::uint64_t n = located->size();
  FUZZ_CHECK(in.size() >= 12 + 16 * n && n == fuzz::be16(in.data() + 4));
  for (std::uint64_t i = 0; i < n; ++i) {
    const TableLocation& loc = (*located)[i];
    FUZZ_CHECK(loc.entry_offset == 12 + 16 * i && loc.offset + loc.length <= in.size());
  }
  if (!font) return;
  FUZZ_CHECK(font->tables.size() == n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const Table& t = font->tables[i];
    const TableLocation& loc = (*located)[i];
    // Parsed tables borrow their bytes from the input, in place.
    FUZZ_CHECK(t.tag == loc.tag && t.data.size() == loc.length && t.storage.size() == 0);
    FUZZ_CHECK(t.data.empty() || t.data.data() == in.data() + loc.offset);
  }
}

void check_checksum(ByteView in, const Result<SfntFont>& font) {
  Result<bool> valid = checksum_adjustment_valid(in);
  FUZZ_CHECK(bool(valid) == bool(font));
  if (!valid) {
    FUZZ_CHECK(fuzz::same_error(valid.error(), font.error()));
    return;
  }
  const Table* head = font->find(kHeadTag);
  if (head == nullptr || head->data.size() < 12) {
    FUZZ_CHECK(!*valid);
    return;
  }
  const std::size_t field = static_cast<std::size_t>(head->data.data() - in.data()) + 8;
  std::uint32_t sum = fuzz::sum_bytes(in.data(), in.size());
  sum -= fuzz::sum_bytes(in.data() + field, 4, field);
  FUZZ_CHECK(*valid == (fuzz::be32(in.data() + field) == 0xB1B0AFBAu - sum));
}

void check_reading(ByteView in, const Result<SfntFont>& font) {
  Result<C2paTable> table = read_c2pa_table(in);
  Result<C2paTableView> view = read_c2pa_table_view(in);
  FUZZ_CHECK(bool(view) == bool(table));
  if (!view) FUZZ_CHECK(fuzz::same_error(view.error(), table.error()));
  if (view) {
    FUZZ_CHECK(view->active_manifest_uri.has_value() == table->active_manifest_uri.has_value());
    if (const auto& uri = view->active_manifest_uri) {
      FUZZ_CHECK(std::string(reinterpret_cast<const char*>(uri->data()), uri->size()) == *table->active_manifest_uri);
    }
  }
  Result<Buffer> store = read_manifest(in);
  Result<ComplianceReport> report = verify(in);
  if (!font) {
    FUZZ_CHECK(!table && !store && !report);
    FUZZ_CHECK(fuzz::same_error(table.error(), font.error()) && fuzz::same_error(store.error(), font.error()) &&
               fuzz::same_error(report.error(), font.error()));
    return;
  }
  const std::size_t count = font->count(kC2paTag);
  const Table* first = font->find(kC2paTag);
  if (first == nullptr) {
    FUZZ_CHECK(!table && table.error().kind() == Error::Kind::NoC2paTable);
    FUZZ_CHECK(!store && store.error().kind() == Error::Kind::NoC2paTable);
    FUZZ_CHECK(report && !report->c2pa_table_present && !report->manifest_store_present &&
               !report->active_manifest_uri_present && !report->compliant());
    return;
  }
  Result<C2paTable> decoded = C2paTable::decode(first->data);
  FUZZ_CHECK(bool(decoded) == bool(table));
  if (!table) {
    fuzz::check_error(table.error());
    FUZZ_CHECK(fuzz::same_error(table.error(), decoded.error()) && !store &&
               fuzz::same_error(store.error(), table.error()));
  } else {
    FUZZ_CHECK(table->active_manifest_uri == decoded->active_manifest_uri);
    FUZZ_CHECK(bool(store) == table->manifest_store.has_value());
    if (store) {
      FUZZ_CHECK(fuzz::same(store->view(), table->manifest_store->view()));
    } else {
      FUZZ_CHECK(store.error().detail() == "C2PA table has no embedded manifest store");
    }
  }
  if (count > 1) {
    FUZZ_CHECK(!report && report.error().detail() == "font contains " + std::to_string(count) +
                                                         " C2PA tables; at most one is allowed");
  } else if (!table) {
    FUZZ_CHECK(!report && fuzz::same_error(report.error(), table.error()));
  } else {
    FUZZ_CHECK(report && report->c2pa_table_present);
    FUZZ_CHECK(report->manifest_store_present == table->manifest_store.has_value());
    FUZZ_CHECK(report->active_manifest_uri_present == table->active_manifest_uri.has_value());
  }
}

void check_exclusions(ByteView in, const Result<std::vector<TableLocation>>& located) {
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(in);
  Result<Exclusion> store = manifest_store_range(in);
  FUZZ_CHECK(bool(ranges) == bool(store));
  if (!ranges) {
    fuzz::check_error(ranges.error());
    FUZZ_CHECK(fuzz::same_error(ranges.error(), store.error()));
    if (!located) FUZZ_CHECK(fuzz::same_error(ranges.error(), located.error()));
    return;
  }
  FUZZ_CHECK(located);
  const auto c2pa = std::find_if(located->begin(), located->end(), [](const TableLocation& t) { return t.tag == kC2paTag; });
  const auto head = std::find_if(located->begin(), located->end(), [](const TableLocation& t) { return t.tag == kHeadTag; });
  FUZZ_CHECK(c2pa != located->end());
  const std::size_t expected = head != located->end() && head->length >= 12 ? 3 : 2;
  FUZZ_CHECK(ranges->size() == expected);
  bool has_store = false;
  bool has_record = false;
  for (std::size_t i = 0; i < ranges->size(); ++i) {
    const Exclusion& r = (*ranges)[i];
    FUZZ_CHECK(r.length > 0 && r.start <= in.size() && r.length <= in.size() - r.start);
    if (i > 0) FUZZ_CHECK((*ranges)[i - 1].start <= r.start);
    has_store |= r == *store;
    has_record |= r == Exclusion{c2pa->entry_offset + 4, 4};
  }
  FUZZ_CHECK(has_store && has_record);
  // The store lies inside the first C2PA table, behind its header's first 20 bytes or not.
  FUZZ_CHECK(store->start >= c2pa->offset && store->start + store->length <= c2pa->offset + c2pa->length);
  FUZZ_CHECK(store->start - c2pa->offset == fuzz::be32(in.data() + c2pa->offset + 12));
  FUZZ_CHECK(store->length == fuzz::be32(in.data() + c2pa->offset + 16));
}

void check_removal(ByteView in, const Result<SfntFont>& font) {
  Result<Buffer> removed = remove_manifest(in);
  FUZZ_CHECK(bool(removed) == bool(font));
  if (!removed) {
    FUZZ_CHECK(fuzz::same_error(removed.error(), font.error()));
    return;
  }
  Result<SfntFont> again = SfntFont::parse(removed->view());
  FUZZ_CHECK(again && again->count(kC2paTag) == 0 && again->sfnt_version == font->sfnt_version);
  FUZZ_CHECK(again->tables.size() == font->tables.size() - font->count(kC2paTag));
  // Removing from a font that has nothing to remove rebuilds it to the same bytes.
  Result<Buffer> twice = remove_manifest(removed->view());
  FUZZ_CHECK(twice && fuzz::same(twice->view(), removed->view()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  const Result<SfntFont> font = SfntFont::parse(in);
  if (!font) fuzz::check_error(font.error());
  const Result<std::vector<TableLocation>> located = locate_tables(in);
  check_locate_agrees(in, font, located);
  check_checksum(in, font);
  check_reading(in, font);
  check_exclusions(in, located);
  check_removal(in, font);
  return 0;
}
