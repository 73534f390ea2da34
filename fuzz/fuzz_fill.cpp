// The filling guarantee: reserve a placeholder in a fuzzed font, fill it with a fuzzed manifest
// no longer than the store, then fill the filled font again; each fill changes no byte outside
// the exclusion ranges of the font it was given, and the ranges stay the same.
//
// Input: 8 bytes of parameters, then the font. Bytes 0..1: reserve_size - 1; byte 2: the URI's
// length; byte 3: bit 0 set when a URI is given at all (so an empty one can be); bytes 4..5 and
// 6..7: the two manifests' lengths, taken modulo reserve_size + 1. Contents come from a
// generator seeded with the parameters.
#include <string>
#include <vector>

#include "binding.h"
#include "check.h"
#include "reader.h"
#include "sfnt.h"
#include "table.h"
#include "utf8.h"
#include "verify.h"
#include "writer.h"

using namespace quillmark;

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint64_t& state) {
  std::vector<std::uint8_t> out(n);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(fuzz::splitmix(state));
  return out;
}

bool inside_any(std::uint64_t at, const std::vector<Exclusion>& ranges) {
  for (const Exclusion& r : ranges) {
    if (at >= r.start && at - r.start < r.length) return true;
  }
  return false;
}

// Fills `before` with `manifest` and checks the guarantee; returns the filled font.
Buffer fill_and_check(ByteView before, const std::vector<std::uint8_t>& manifest, std::uint64_t reserved,
                      const std::optional<std::string>& uri, bool has_head) {
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(before);
  FUZZ_CHECK(ranges && ranges->size() == (has_head ? 3u : 2u));
  Result<Buffer> filled = fill_manifest(before, ByteView(manifest));
  FUZZ_CHECK(filled);
  const ByteView after = filled->view();
  FUZZ_CHECK(after.size() == before.size());
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i]) FUZZ_CHECK(inside_any(i, *ranges));
  }
  Result<std::vector<Exclusion>> ranges_after = data_hash_exclusions(after);
  FUZZ_CHECK(ranges_after && *ranges_after == *ranges);

  Result<C2paTable> table = read_c2pa_table(after);
  FUZZ_CHECK(table && table->major_version == 0 && table->minor_version == 1);
  FUZZ_CHECK(table->active_manifest_uri == uri);
  FUZZ_CHECK(table->manifest_store && table->manifest_store->size() == reserved);
  const std::uint8_t* store = table->manifest_store->data();
  FUZZ_CHECK(manifest.empty() || std::memcmp(store, manifest.data(), manifest.size()) == 0);
  for (std::size_t i = manifest.size(); i < reserved; ++i) FUZZ_CHECK(store[i] == 0);

  Result<ComplianceReport> report = verify(after);
  FUZZ_CHECK(report && report->c2pa_table_present && report->manifest_store_present);
  FUZZ_CHECK(report->checksum_valid == has_head);
  return std::move(*filled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint64_t reserve_size = std::uint64_t{fuzz::be16(data)} + 1;
  std::uint64_t state = fuzz::be32(data) ^ (std::uint64_t{fuzz::be32(data + 4)} << 32);
  std::optional<std::string> uri;
  if (data[3] & 1) {
    const std::vector<std::uint8_t> raw = random_bytes(data[2], state);
    // The URI comes from Python as a str, always well-formed; the core takes that as given.
    uri = utf8_lossy(ByteView(raw));
  }
  const std::vector<std::uint8_t> first = random_bytes(fuzz::be16(data + 4) % (reserve_size + 1), state);
  const std::vector<std::uint8_t> second = random_bytes(fuzz::be16(data + 6) % (reserve_size + 1), state);
  const ByteView in(data + 8, size - 8);

  Result<SfntFont> font = SfntFont::parse(in);
  Result<ReservedFont> reserved = reserve_manifest(in, reserve_size, uri);
  FUZZ_CHECK(bool(reserved) == bool(font));
  if (!reserved) {
    FUZZ_CHECK(fuzz::same_error(reserved.error(), font.error()));
    return 0;
  }
  const std::optional<std::string> written_uri = uri && !uri->empty() ? uri : std::nullopt;
  const ByteView r = reserved->font_bytes.view();
  FUZZ_CHECK(reserved->store_length == reserve_size && reserved->store_offset + reserve_size <= r.size());
  for (std::uint64_t i = 0; i < reserve_size; ++i) FUZZ_CHECK(r[reserved->store_offset + i] == 0);
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(r);
  FUZZ_CHECK(ranges && *ranges == reserved->exclusions);
  FUZZ_CHECK(inside_any(reserved->store_offset, *ranges));

  // The guarantee holds for fonts with at most one head table; a head too short to hold
  // checkSumAdjustment gives no third range.
  const std::size_t heads = font->count(kHeadTag);
  if (heads > 1) return 0;
  const Table* head = font->find(kHeadTag);
  const bool has_head = head != nullptr && head->data.size() >= 12;

  const Buffer filled = fill_and_check(r, first, reserve_size, written_uri, has_head);
  fill_and_check(filled.view(), second, reserve_size, written_uri, has_head);

  // One byte too many is refused, with both lengths in the message.
  const std::vector<std::uint8_t> too_long(reserve_size + 1, 0xA5);
  Result<Buffer> refused = fill_manifest(r, ByteView(too_long));
  FUZZ_CHECK(!refused && refused.error().detail() == "signed manifest is " + std::to_string(reserve_size + 1) +
                                                          " bytes but only " + std::to_string(reserve_size) +
                                                          " were reserved");
  return 0;
}
