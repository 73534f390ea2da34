// The filling guarantee: reserve a placeholder in a fuzzed font, fill it with a fuzzed manifest
// no longer than the store, then fill the filled font again; each fill must succeed and change
// no byte outside the exclusion ranges of the font it was given, which the plans predicted, and
// the ranges stay the same. The fuzzed font itself is filled too: that fails, or changes no
// byte outside its exclusion ranges.
//
// Input: 8 bytes of parameters, then the font. Bytes 0..1: reserve_size - 1; byte 2: the URI's
// length; byte 3: bit 0 set when a URI is given at all (so an empty one can be); bytes 4..5 and
// 6..7: the two manifests' lengths, taken modulo reserve_size + 1. Contents come from a
// generator seeded with the parameters.
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "exclusions.h"
#include "reading.h"
#include "sfnt.h"
#include "utf8.h"
#include "verify.h"
#include "writer.h"
#include "writers.h"

using namespace quillmark;

namespace {

const char* const kWouldMove = "filling would change bytes outside the exclusion ranges; reserve the font again";

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint64_t& state) {
  std::vector<std::uint8_t> out(n);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(fuzz::splitmix(state));
  return out;
}

// What a successful fill of `before` with `manifest` must have written: the store of the
// reserved length starts with the manifest and goes on with zeros, and the checksum holds
// exactly when the first head has room for its adjustment.
void check_filled_store(ByteView after, const std::vector<std::uint8_t>& manifest, std::uint64_t reserved,
                        bool has_head) {
  Result<C2paTable> table = read_c2pa_table(after);
  FUZZ_CHECK(table && table->major_version == 0 && table->minor_version == 1);
  FUZZ_CHECK(table->manifest_store && table->manifest_store->size() == reserved);
  const std::uint8_t* store = table->manifest_store->data();
  FUZZ_CHECK(manifest.empty() || std::memcmp(store, manifest.data(), manifest.size()) == 0);
  for (std::size_t i = manifest.size(); i < reserved; ++i) FUZZ_CHECK(store[i] == 0);

  Result<ComplianceReport> report = verify(after);
  FUZZ_CHECK(report && report->c2pa_table_present && report->manifest_store_present);
  FUZZ_CHECK(report->checksum_valid == has_head);
}

// Fills `before`, which filling must accept, with `manifest` and checks the guarantee: no byte
// changes outside the exclusion ranges of `before`, which the plan predicted and which stay the
// same. Returns the filled font.
Buffer fill_and_check(ByteView before, const std::vector<std::uint8_t>& manifest, std::uint64_t reserved,
                      const std::optional<std::string>& uri, bool has_head) {
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(before);
  FUZZ_CHECK(ranges && ranges->size() == (has_head ? 3u : 2u));
  Result<FontWrite> plan = plan_filling(before, ByteView(manifest));
  Result<Buffer> filled = fuzz::fill_manifest(before, ByteView(manifest));
  FUZZ_CHECK(plan && filled);
  FUZZ_CHECK(plan->size() == before.size() && plan->plan().exclusions() == *ranges);
  FUZZ_CHECK(plan->plan().store_range() && plan->plan().store_range()->length == reserved);
  const ByteView after = filled->view();
  FUZZ_CHECK(fuzz::differs_only_inside(before, after, *ranges));
  Result<std::vector<Exclusion>> ranges_after = data_hash_exclusions(after);
  FUZZ_CHECK(ranges_after && *ranges_after == *ranges);

  check_filled_store(after, manifest, reserved, has_head);
  Result<C2paTable> table = read_c2pa_table(after);
  FUZZ_CHECK(table->active_manifest_uri.has_value() == uri.has_value());
  if (uri) FUZZ_CHECK(fuzz::same(*table->active_manifest_uri, bytes_of(*uri)));
  return std::move(*filled);
}

// Filling any font at all: it fails, or its result has the input's length and differs from it
// only inside the input's exclusion ranges; and a font it filled, it fills again to the same
// bytes.
void check_fill_anything(ByteView in, const std::vector<std::uint8_t>& manifest, const Result<SfntFont>& font) {
  Result<FontWrite> plan = plan_filling(in, ByteView(manifest));
  Result<Buffer> filled = fuzz::fill_manifest(in, ByteView(manifest));
  if (!filled) {
    fuzz::check_error(filled.error());
    // A plan is refused before a byte is written, or its write finds that it would move bytes.
    if (plan) {
      FUZZ_CHECK(filled.error().detail() == kWouldMove);
    } else {
      FUZZ_CHECK(fuzz::same_error(plan.error(), filled.error()));
    }
    return;
  }
  FUZZ_CHECK(plan && font);
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(in);
  FUZZ_CHECK(ranges && plan->plan().exclusions() == *ranges);
  FUZZ_CHECK(fuzz::differs_only_inside(in, filled->view(), *ranges));
  Result<std::vector<Exclusion>> ranges_after = data_hash_exclusions(filled->view());
  FUZZ_CHECK(ranges_after && *ranges_after == *ranges);
  const Table* head = font->find(kHeadTag);
  const bool has_head = head != nullptr && head->data.size() >= 12;
  check_filled_store(filled->view(), manifest, plan->plan().store_range()->length, has_head);
  Result<Buffer> again = fuzz::fill_manifest(filled->view(), ByteView(manifest));
  FUZZ_CHECK(again && fuzz::same(again->view(), filled->view()));
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
  const std::optional<ByteView> uri_view = uri ? std::optional<ByteView>(bytes_of(*uri)) : std::nullopt;

  Result<SfntFont> font = SfntFont::parse(in);
  check_fill_anything(in, first, font);

  Result<FontWrite> plan = plan_reservation(in, reserve_size, uri_view);
  Result<fuzz::ReservedFont> reserved = fuzz::reserve_manifest(in, reserve_size, uri_view);
  FUZZ_CHECK(bool(reserved) == bool(font) && bool(plan) == bool(font));
  if (!reserved) {
    FUZZ_CHECK(fuzz::same_error(reserved.error(), font.error()) && fuzz::same_error(plan.error(), font.error()));
    return 0;
  }
  const std::optional<std::string> written_uri = uri && !uri->empty() ? uri : std::nullopt;
  const ByteView r = reserved->font_bytes.view();
  FUZZ_CHECK(reserved->store_length == reserve_size && reserved->store_offset + reserve_size <= r.size());
  for (std::uint64_t i = 0; i < reserve_size; ++i) FUZZ_CHECK(r[reserved->store_offset + i] == 0);
  // The plan predicted the font's size, its exclusion ranges and where its store lies.
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(r);
  FUZZ_CHECK(ranges && *ranges == reserved->exclusions);
  FUZZ_CHECK(plan->size() == r.size() && plan->plan().exclusions() == *ranges);
  FUZZ_CHECK(plan->plan().store_range() == (Exclusion{reserved->store_offset, reserved->store_length}));
  FUZZ_CHECK(fuzz::inside_any(reserved->store_offset, *ranges));

  // Whatever heads the font has, the first in output order (the first in directory order, as
  // sorting is stable) holds checkSumAdjustment, and one too short to hold it gives no third
  // range.
  const Table* head = font->find(kHeadTag);
  const bool has_head = head != nullptr && head->data.size() >= 12;

  const Buffer filled = fill_and_check(r, first, reserve_size, written_uri, has_head);
  fill_and_check(filled.view(), second, reserve_size, written_uri, has_head);

  // One byte too many is refused, with both lengths in the message.
  const std::vector<std::uint8_t> too_long(reserve_size + 1, 0xA5);
  Result<Buffer> refused = fuzz::fill_manifest(r, ByteView(too_long));
  FUZZ_CHECK(!refused && refused.error().detail() == "signed manifest is " + std::to_string(reserve_size + 1) +
                                                          " bytes but only " + std::to_string(reserve_size) +
                                                          " were reserved");
  return 0;
}
