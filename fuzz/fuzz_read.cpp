// Arbitrary bytes as a font through every operation that reads one: parsing, checksum testing,
// table checksums, compliance, reading, exclusion ranges, box names and removal. Besides surviving, the
// operations must agree with one another about the same bytes. The same bytes also go through
// the checksum kernels, which must agree with each other and with a byte-by-byte sum.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "c2pa_table.h"
#include "check.h"
#include "checksum.h"
#include "exclusions.h"
#include "reading.h"
#include "sfnt.h"
#include "verify.h"
#include "writer.h"
#include "writers.h"

using namespace quillmark;

namespace {

// Two decoded pieces are the same piece: both absent, or both the same bytes of the input.
bool same_piece(const std::optional<ByteView>& a, const std::optional<ByteView>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->size() == b->size() && (a->empty() || a->data() == b->data()));
}

// A piece, when present, is a view into `table`, not a copy.
bool inside(const std::optional<ByteView>& piece, ByteView table) {
  if (!piece || piece->empty()) return true;
  return piece->data() >= table.data() && piece->data() + piece->size() <= table.data() + table.size();
}

void check_kernels_on(ByteView in) {
  const std::size_t n = in.size();
  const std::uint32_t whole = fuzz::sum_bytes(in.data(), n);
  FUZZ_CHECK(checksum(in) == whole && checksum_portable(in) == whole);
  // Sources that start off a multiple of 4 (and off the allocation's alignment).
  for (std::size_t skip = 1; skip < 4 && skip <= n; ++skip) {
    const ByteView rest = in.subspan(skip);
    const std::uint32_t sum = fuzz::sum_bytes(rest.data(), rest.size());
    FUZZ_CHECK(checksum(rest) == sum && checksum_portable(rest) == sum);
  }
  // Copies land exactly on their n bytes, at destinations of every alignment, and weigh the
  // bytes by the phase they are given.
  constexpr std::uint8_t kGuard = 0xA5;
  std::vector<std::uint8_t> dst(n + 8);
  for (std::size_t phase = 0; phase < 4; ++phase) {
    const std::uint32_t expected = fuzz::sum_bytes(in.data(), n, phase);
    for (const bool portable : {false, true}) {
      std::fill(dst.begin(), dst.end(), kGuard);
      std::uint8_t* at = dst.data() + 1 + phase;
      const std::uint32_t sum = portable ? copy_with_checksum_portable(at, in, phase) : copy_with_checksum(at, in, phase);
      FUZZ_CHECK(sum == expected);
      FUZZ_CHECK(fuzz::same(ByteView(at, n), in));
      for (std::uint8_t* p = dst.data(); p < at; ++p) FUZZ_CHECK(*p == kGuard);
      for (std::uint8_t* p = at + n; p < dst.data() + dst.size(); ++p) FUZZ_CHECK(*p == kGuard);
    }
  }
}

// The kernels must agree with the byte-by-byte sum on `in`, and on its complement tiled past
// two of their 2 KiB blocks: bytes near 255 fill their 16-bit lanes to the brim, which most fuzzed
// (and most font) bytes never do.
void check_kernels(ByteView in) {
  check_kernels_on(in);
  std::vector<std::uint8_t> tiled(2 * 2048 + 7, 0xFF);
  for (std::size_t i = 0; i < tiled.size() && !in.empty(); ++i) tiled[i] = static_cast<std::uint8_t>(~in[i % in.size()]);
  check_kernels_on(ByteView(tiled));
}

// The one directory reader against the raw records: every table where its record says, borrowed
// from the input in place.
void check_directory(ByteView in, const Result<SfntFont>& font) {
  if (!font) return;
  const std::uint64_t n = font->tables.size();
  FUZZ_CHECK(in.size() >= 12 + 16 * n && n == fuzz::be16(in.data() + 4));
  for (std::uint64_t i = 0; i < n; ++i) {
    const Table& t = font->tables[i];
    const std::uint8_t* record = in.data() + 12 + 16 * i;
    FUZZ_CHECK(record_offset(i) == 12 + 16 * i && std::equal(t.tag.begin(), t.tag.end(), record));
    FUZZ_CHECK(t.offset == fuzz::be32(record + 8) && t.data.size() == fuzz::be32(record + 12));
    FUZZ_CHECK(t.offset + t.data.size() <= in.size() && t.data.data() == in.data() + t.offset);
  }
}

// table_checksums against a byte-by-byte sum of each table, with the field of every head of 12
// bytes or more taken out; refused exactly when the font is, or when its tables add up to more
// than twice the file and 64 KiB.
void check_table_checksums(ByteView in, const Result<SfntFont>& font) {
  Result<std::vector<std::uint32_t>> sums = table_checksums(in);
  if (!font) {
    FUZZ_CHECK(!sums && fuzz::same_error(sums.error(), font.error()));
    return;
  }
  std::uint64_t total = 0;
  for (const Table& t : font->tables) total += t.data.size();
  if (total > 2 * std::uint64_t{in.size()} + 65536) {
    FUZZ_CHECK(!sums && sums.error().kind() == Error::Kind::InvalidFont);
    fuzz::check_error(sums.error());
    return;
  }
  FUZZ_CHECK(sums && sums->size() == font->tables.size());
  for (std::size_t i = 0; i < font->tables.size(); ++i) {
    const Table& t = font->tables[i];
    std::uint32_t sum = fuzz::sum_bytes(t.data.data(), t.data.size());
    if (t.tag == kHeadTag && t.data.size() >= 12) sum -= fuzz::sum_bytes(t.data.data() + 8, 4, 8);
    FUZZ_CHECK((*sums)[i] == sum);
  }
}

// Box names: the tag as Latin-1 without trailing spaces, never two alike; refused exactly when
// two tables other than C2PA share a tag, or when embedding refuses the font.
void check_boxes(ByteView in, const Result<SfntFont>& font) {
  Result<std::vector<Box>> boxes = plan_boxes(in);
  if (!font) {
    FUZZ_CHECK(!boxes && fuzz::same_error(boxes.error(), font.error()));
    return;
  }
  if (!boxes) {
    fuzz::check_error(boxes.error());
    return;
  }
  std::vector<std::string> names;
  for (const Box& box : *boxes) names.push_back(box.name);
  std::sort(names.begin(), names.end());
  FUZZ_CHECK(std::adjacent_find(names.begin(), names.end()) == names.end());
  FUZZ_CHECK(boxes->size() == font->tables.size() - font->count(kC2paTag) + 1);
}

void check_checksum(ByteView in, const Result<SfntFont>& font) {
  Result<bool> valid = fuzz::checksum_adjustment_valid(in);
  FUZZ_CHECK(bool(valid) == bool(font));
  if (!valid) {
    FUZZ_CHECK(fuzz::same_error(valid.error(), font.error()));
    return;
  }
  FUZZ_CHECK(*valid == checksum_adjustment_valid(in, *font));
  // The first head in directory order is the one that counts, and only with room for the field.
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
  Result<ByteView> store = read_manifest(in);
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
    // Reading decodes the first C2PA table where it lies in the input.
    FUZZ_CHECK(table->major_version == decoded->major_version && table->minor_version == decoded->minor_version);
    FUZZ_CHECK(same_piece(table->active_manifest_uri, decoded->active_manifest_uri));
    FUZZ_CHECK(same_piece(table->manifest_store, decoded->manifest_store));
    FUZZ_CHECK(inside(table->active_manifest_uri, first->data) && inside(table->manifest_store, first->data));
    FUZZ_CHECK(bool(store) == table->manifest_store.has_value());
    if (store) {
      FUZZ_CHECK(same_piece(*store, table->manifest_store));
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
    FUZZ_CHECK(report->checksum_valid == checksum_adjustment_valid(in, *font));
  }
}

// The exclusion ranges, worked out here from the raw directory and the first C2PA table's
// header: the store, the C2PA record's checksum field, the first head's checkSumAdjustment.
void check_exclusions(ByteView in, const Result<SfntFont>& font) {
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(in);
  if (!ranges) fuzz::check_error(ranges.error());
  if (!font) {
    FUZZ_CHECK(!ranges && fuzz::same_error(ranges.error(), font.error()));
    return;
  }
  const auto tagged = [&](const Tag& tag) {
    return std::find_if(font->tables.begin(), font->tables.end(), [&](const Table& t) { return t.tag == tag; });
  };
  const auto c2pa = tagged(kC2paTag);
  if (c2pa == font->tables.end()) {
    FUZZ_CHECK(!ranges && ranges.error().kind() == Error::Kind::NoC2paTable);
    return;
  }
  const std::uint64_t length = c2pa->data.size();
  const std::uint8_t* header = in.data() + c2pa->offset;
  const std::uint64_t store_offset = length >= 20 ? fuzz::be32(header + 12) : 0;
  const std::uint64_t store_length = length >= 20 ? fuzz::be32(header + 16) : 0;
  std::string refusal;
  if (length < 20) {
    refusal = "table shorter than 20-byte header";
  } else if (store_offset != 0 && store_offset + store_length > length) {
    refusal = "manifest store extends past end of table";
  } else if (store_offset == 0 || store_length == 0) {
    refusal = "no embedded manifest store to bind";
  }
  if (!refusal.empty()) {
    FUZZ_CHECK(!ranges && ranges.error().kind() == Error::Kind::InvalidC2paTable && ranges.error().detail() == refusal);
    return;
  }
  FUZZ_CHECK(ranges);
  const auto slot = static_cast<std::uint64_t>(c2pa - font->tables.begin());
  std::vector<Exclusion> expected{{c2pa->offset + store_offset, store_length}, {12 + 16 * slot + 4, 4}};
  const auto head = tagged(kHeadTag);
  if (head != font->tables.end() && head->data.size() >= 12) expected.push_back({head->offset + 8, 4});
  std::stable_sort(expected.begin(), expected.end(),
                   [](const Exclusion& a, const Exclusion& b) { return a.start < b.start; });
  FUZZ_CHECK(*ranges == expected);
  for (const Exclusion& r : *ranges) FUZZ_CHECK(r.length > 0 && r.start <= in.size() && r.length <= in.size() - r.start);
}

void check_removal(ByteView in, const Result<SfntFont>& font) {
  Result<FontWrite> plan = plan_removal(in);
  Result<Buffer> removed = fuzz::remove_manifest(in);
  FUZZ_CHECK(bool(removed) == bool(font) && bool(plan) == bool(font));
  if (!removed) {
    FUZZ_CHECK(fuzz::same_error(removed.error(), font.error()) && fuzz::same_error(plan.error(), font.error()));
    return;
  }
  // The plan knows the result's size and that it has nothing to exclude.
  FUZZ_CHECK(plan->size() == removed->size() && plan->plan().exclusions().empty() && !plan->plan().store_range());
  FUZZ_CHECK(plan->plan().tables().size() == font->tables.size() - font->count(kC2paTag));
  Result<SfntFont> again = SfntFont::parse(removed->view());
  FUZZ_CHECK(again && again->count(kC2paTag) == 0 && again->sfnt_version == font->sfnt_version);
  FUZZ_CHECK(again->tables.size() == font->tables.size() - font->count(kC2paTag));
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(removed->view());
  FUZZ_CHECK(!ranges && ranges.error().kind() == Error::Kind::NoC2paTable);
  // Sorting keeps the heads in their order, so the input's first head is the output's, and its
  // length alone decides whether the result's checksum holds.
  const Table* head = font->find(kHeadTag);
  Result<ComplianceReport> report = verify(removed->view());
  FUZZ_CHECK(report && !report->c2pa_table_present);
  FUZZ_CHECK(report->checksum_valid == (head != nullptr && head->data.size() >= 12));
  // Removing from a font that has nothing to remove rebuilds it to the same bytes.
  Result<Buffer> twice = fuzz::remove_manifest(removed->view());
  FUZZ_CHECK(twice && fuzz::same(twice->view(), removed->view()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  check_kernels(in);
  const Result<SfntFont> font = SfntFont::parse(in);
  if (!font) fuzz::check_error(font.error());
  check_directory(in, font);
  check_checksum(in, font);
  check_table_checksums(in, font);
  check_reading(in, font);
  check_exclusions(in, font);
  check_boxes(in, font);
  check_removal(in, font);
  return 0;
}
