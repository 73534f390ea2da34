// Rebuilding: a font that parses is laid out again with every table it has, and again without
// its C2PA tables (removal); each output is checked byte by byte against the layout it must
// have, worked out here afresh, and against the plan it was written from, then rebuilt again
// (the same bytes must come back), checksummed and bound. The same font then takes a directly
// embedded C2PA table, checked the same way against the table built here from its pieces, which
// filling must accept, and loses it again.
//
// Input: 4 bytes of parameters, then the font. Byte 0 says whether to embed a URI (bit 0) and a
// store (bit 1); byte 1 is the URI's length, bytes 2..3 the store's (big-endian). Their contents
// come from a generator seeded with the parameters, so the font's bytes stay the font's.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "c2pa_table.h"
#include "check.h"
#include "exclusions.h"
#include "layout.h"
#include "reading.h"
#include "sfnt.h"
#include "utf8.h"
#include "verify.h"
#include "writer.h"
#include "writers.h"

using namespace quillmark;

namespace {

constexpr std::uint64_t pad4(std::uint64_t n) { return (n + 3) / 4 * 4; }

std::vector<Table> without_c2pa(const std::vector<Table>& tables) {
  std::vector<Table> kept;
  for (const Table& t : tables) {
    if (t.tag != kC2paTag) kept.push_back(t);
  }
  return kept;
}

// Checks `out` against the file that `tables` of `version` must make, worked out here afresh:
// sorted by tag (stably), each on a multiple of 4 with zero padding, every head summed with its
// checkSumAdjustment as zero, and the adjustment in the first head in output order, unless that
// head is too short to hold it.
void check_layout(std::uint32_t version, const std::vector<Table>& tables, ByteView out) {
  const std::size_t n = tables.size();
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::lexicographical_compare(tables[a].tag.begin(), tables[a].tag.end(), tables[b].tag.begin(),
                                        tables[b].tag.end());
  });
  std::uint64_t expected_size = 12 + 16 * std::uint64_t{n};
  for (const Table& t : tables) expected_size += pad4(t.data.size());
  FUZZ_CHECK(out.size() == expected_size && out.size() % 4 == 0);

  const std::uint8_t* f = out.data();
  FUZZ_CHECK(fuzz::be32(f) == version && fuzz::be16(f + 4) == n);
  unsigned e = 0;
  while (n >> (e + 1) != 0) ++e;
  const std::uint16_t search_range = static_cast<std::uint16_t>(16u << e);
  FUZZ_CHECK(fuzz::be16(f + 6) == search_range && fuzz::be16(f + 8) == e);
  FUZZ_CHECK(fuzz::be16(f + 10) == static_cast<std::uint16_t>(16 * n - search_range));

  std::optional<std::size_t> adjusted;
  for (std::size_t slot = 0; slot < n; ++slot) {
    if (tables[order[slot]].tag == kHeadTag) {
      if (tables[order[slot]].data.size() >= 12) adjusted = slot;
      break;
    }
  }

  std::uint64_t at = 12 + 16 * std::uint64_t{n};
  for (std::size_t slot = 0; slot < n; ++slot) {
    const Table& t = tables[order[slot]];
    const std::uint8_t* record = f + 12 + 16 * slot;
    const std::size_t length = t.data.size();
    FUZZ_CHECK(std::equal(t.tag.begin(), t.tag.end(), record));
    FUZZ_CHECK(fuzz::be32(record + 8) == at && fuzz::be32(record + 12) == length);
    const std::uint8_t* bytes = f + at;
    std::uint32_t sum = fuzz::sum_bytes(bytes, length);
    if (slot == adjusted) {
      FUZZ_CHECK(std::equal(t.data.begin(), t.data.begin() + 8, bytes) &&
                 std::equal(t.data.begin() + 12, t.data.end(), bytes + 12));
    } else {
      FUZZ_CHECK(std::equal(t.data.begin(), t.data.end(), bytes));
    }
    if (t.tag == kHeadTag && length >= 12) sum -= fuzz::sum_bytes(bytes + 8, 4);
    FUZZ_CHECK(fuzz::be32(record + 4) == sum);
    for (std::uint64_t k = length; k < pad4(length); ++k) FUZZ_CHECK(bytes[k] == 0);
    at += pad4(length);
  }
  if (adjusted) FUZZ_CHECK(fuzz::sum_bytes(f, out.size()) == 0xB1B0AFBAu);
  Result<bool> valid = fuzz::checksum_adjustment_valid(out);
  FUZZ_CHECK(valid && *valid == adjusted.has_value());
}

// The plan knew, before writing, where every table and every excluded range would land.
void check_plan(const FontPlan& plan, ByteView out) {
  FUZZ_CHECK(plan.size() == out.size());
  const std::vector<PlannedTable>& tables = plan.tables();
  FUZZ_CHECK(out.size() >= 12 && fuzz::be16(out.data() + 4) == tables.size());
  for (std::size_t slot = 0; slot < tables.size(); ++slot) {
    const std::uint8_t* record = out.data() + 12 + 16 * slot;
    const PlannedTable& t = tables[slot];
    FUZZ_CHECK(std::equal(t.tag.begin(), t.tag.end(), record));
    FUZZ_CHECK(fuzz::be32(record + 8) == t.offset && fuzz::be32(record + 12) == t.length);
  }
  const std::vector<Exclusion> predicted = plan.exclusions();
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(out);
  if (!plan.store_range()) {
    // Nothing predicted; and nothing to bind either, unless a C2PA table was copied as it was.
    const bool copied_c2pa = std::any_of(tables.begin(), tables.end(),
                                         [](const PlannedTable& t) { return t.tag == kC2paTag && !t.from_pieces; });
    FUZZ_CHECK(predicted.empty() && (copied_c2pa || !ranges));
    return;
  }
  FUZZ_CHECK(ranges && *ranges == predicted);
  FUZZ_CHECK(std::find(predicted.begin(), predicted.end(), *plan.store_range()) != predicted.end());
}

void check_exclusions_inside(ByteView out) {
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(out);
  if (!ranges) {
    fuzz::check_error(ranges.error());
    return;
  }
  for (std::size_t i = 0; i < ranges->size(); ++i) {
    const Exclusion& r = (*ranges)[i];
    FUZZ_CHECK(r.start <= out.size() && r.length <= out.size() - r.start);
    // In a rebuilt font no table overlaps another or the directory, so neither do the ranges.
    if (i > 0) FUZZ_CHECK((*ranges)[i - 1].start + (*ranges)[i - 1].length <= r.start);
  }
}

// Lays `font` out again with every table it has, C2PA tables included, and checks the result.
void check_rebuild_as_is(const SfntFont& font) {
  Result<FontPlan> plan = FontPlan::make(font.sfnt_version, font.tables, std::nullopt);
  // Inputs here are far too small for the directory's 16- and 32-bit limits.
  FUZZ_CHECK(plan);
  Buffer first = Buffer::heap(static_cast<std::size_t>(plan->size()));
  plan->write(first.span());
  check_layout(font.sfnt_version, font.tables, first.view());
  check_plan(*plan, first.view());
  check_exclusions_inside(first.view());

  Result<SfntFont> reparsed = SfntFont::parse(first.view());
  FUZZ_CHECK(reparsed);
  Result<FontPlan> again = FontPlan::make(reparsed->sfnt_version, reparsed->tables, std::nullopt);
  FUZZ_CHECK(again && again->size() == plan->size());
  Buffer second = Buffer::heap(static_cast<std::size_t>(again->size()));
  again->write(second.span());
  FUZZ_CHECK(fuzz::same(second.view(), first.view()));
}

void check_removal(ByteView in, const SfntFont& font) {
  Result<FontWrite> plan = plan_removal(in);
  Result<Buffer> removed = fuzz::remove_manifest(in);
  FUZZ_CHECK(plan && removed);
  check_layout(font.sfnt_version, without_c2pa(font.tables), removed->view());
  check_plan(plan->plan(), removed->view());
  Result<Buffer> twice = fuzz::remove_manifest(removed->view());
  FUZZ_CHECK(twice && fuzz::same(twice->view(), removed->view()));
}

void check_embedding(ByteView font_bytes, const SfntFont& font, const std::uint8_t* params) {
  std::uint64_t state = fuzz::be32(params);
  std::optional<std::string> uri;
  std::optional<std::vector<std::uint8_t>> store;
  if (params[0] & 1) {
    std::string raw(params[1], '\0');
    for (char& c : raw) c = static_cast<char>(fuzz::splitmix(state));
    // The URI comes from Python as a str, always well-formed; the core takes that as given.
    uri = utf8_lossy(bytes_of(raw));
    if (uri->size() > 0xFFFF) uri->clear();
  }
  if (params[0] & 2) {
    store.emplace(fuzz::be16(params + 2));
    for (std::uint8_t& b : *store) b = static_cast<std::uint8_t>(fuzz::splitmix(state));
  }
  ManifestSource source;
  if (uri) source.active_manifest_uri = bytes_of(*uri);
  if (store) source.manifest_store = ByteView(*store);

  Result<FontWrite> plan = plan_embedding(font_bytes, source);
  Result<Buffer> embedded = fuzz::embed_manifest(font_bytes, source);
  if (!uri && !store) {
    FUZZ_CHECK(!plan && !embedded && fuzz::same_error(plan.error(), embedded.error()));
    FUZZ_CHECK(embedded.error().detail() == "manifest source has neither a URI nor an embedded store");
    return;
  }
  FUZZ_CHECK(plan && embedded);
  const ByteView out = embedded->view();
  // The table written from the pieces, built here: the header, the URI, the store.
  const ByteView uri_bytes = uri ? bytes_of(*uri) : ByteView();
  const ByteView store_bytes = store ? ByteView(*store) : ByteView();
  std::vector<std::uint8_t> c2pa(20 + uri_bytes.size() + store_bytes.size());
  write_c2pa_header(c2pa.data(), uri_bytes.size(), store_bytes.size());
  std::copy(uri_bytes.begin(), uri_bytes.end(), c2pa.begin() + 20);
  std::copy(store_bytes.begin(), store_bytes.end(), c2pa.begin() + 20 + static_cast<std::ptrdiff_t>(uri_bytes.size()));
  std::vector<Table> expected = without_c2pa(font.tables);
  expected.push_back({kC2paTag, ByteView(c2pa)});
  check_layout(font.sfnt_version, expected, out);
  check_plan(plan->plan(), out);

  Result<SfntFont> parsed = SfntFont::parse(out);
  FUZZ_CHECK(parsed && parsed->count(kC2paTag) == 1 && parsed->tables.size() == expected.size());
  Result<C2paTable> table = read_c2pa_table(out);
  FUZZ_CHECK(table && table->major_version == 0 && table->minor_version == 1);
  FUZZ_CHECK(table->active_manifest_uri.has_value() == !uri_bytes.empty());
  if (table->active_manifest_uri) FUZZ_CHECK(fuzz::same(*table->active_manifest_uri, uri_bytes));
  FUZZ_CHECK(table->manifest_store.has_value() == !store_bytes.empty());
  if (table->manifest_store) FUZZ_CHECK(fuzz::same(*table->manifest_store, store_bytes));

  // An embedded store is laid out as a reservation of its length: filling accepts it.
  if (!store_bytes.empty()) {
    const ByteView manifest = store_bytes.first(store_bytes.size() / 2);
    Result<std::vector<Exclusion>> ranges = data_hash_exclusions(out);
    Result<Buffer> filled = fuzz::fill_manifest(out, manifest);
    FUZZ_CHECK(ranges && filled);
    FUZZ_CHECK(fuzz::differs_only_inside(out, filled->view(), *ranges));
  }

  // Embedding and then removing leaves what removing alone leaves.
  Result<Buffer> removed = fuzz::remove_manifest(out);
  Result<Buffer> removed_directly = fuzz::remove_manifest(font_bytes);
  FUZZ_CHECK(removed && removed_directly && fuzz::same(removed->view(), removed_directly->view()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t* params = data;
  const ByteView in(data + 4, size - 4);
  Result<SfntFont> font = SfntFont::parse(in);
  if (!font) return 0;
  check_rebuild_as_is(*font);
  check_removal(in, *font);
  check_embedding(in, *font, params);
  return 0;
}
