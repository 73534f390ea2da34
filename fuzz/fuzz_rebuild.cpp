// Rebuilding: a font that parses is serialized and the output checked byte by byte against the
// layout it must have, then rebuilt again (the same bytes must come back), checksummed and
// bound. The same font then takes a directly embedded C2PA table and loses it again.
//
// Input: 4 bytes of parameters, then the font. Byte 0 says whether to embed a URI (bit 0) and a
// store (bit 1); byte 1 is the URI's length, bytes 2..3 the store's (big-endian). Their contents
// come from a generator seeded with the parameters, so the font's bytes stay the font's.
#include <algorithm>
#include <vector>

#include "binding.h"
#include "check.h"
#include "reader.h"
#include "sfnt.h"
#include "table.h"
#include "utf8.h"
#include "writer.h"

using namespace quillmark;

namespace {

constexpr std::uint64_t pad4(std::uint64_t n) { return (n + 3) / 4 * 4; }

// Checks `out` against the file serialize() must write for `font`, worked out here afresh.
void check_layout(const SfntFont& font, ByteView out) {
  const std::size_t n = font.tables.size();
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::lexicographical_compare(font.tables[a].tag.begin(), font.tables[a].tag.end(),
                                        font.tables[b].tag.begin(), font.tables[b].tag.end());
  });
  std::uint64_t expected_size = 12 + 16 * std::uint64_t{n};
  for (const Table& t : font.tables) expected_size += pad4(t.data.size());
  FUZZ_CHECK(out.size() == expected_size && out.size() % 4 == 0);

  const std::uint8_t* f = out.data();
  FUZZ_CHECK(fuzz::be32(f) == font.sfnt_version && fuzz::be16(f + 4) == n);
  unsigned e = 0;
  while (n >> (e + 1) != 0) ++e;
  const std::uint16_t search_range = static_cast<std::uint16_t>(16u << e);
  FUZZ_CHECK(fuzz::be16(f + 6) == search_range && fuzz::be16(f + 8) == e);
  FUZZ_CHECK(fuzz::be16(f + 10) == static_cast<std::uint16_t>(16 * n - search_range));

  // The last head in output order takes the adjustment, when it is long enough to hold it.
  std::optional<std::size_t> adjusted;
  for (std::size_t slot = 0; slot < n; ++slot) {
    if (font.tables[order[slot]].tag == kHeadTag) adjusted = slot;
  }
  if (adjusted && font.tables[order[*adjusted]].data.size() < 12) adjusted.reset();

  std::uint64_t at = 12 + 16 * std::uint64_t{n};
  for (std::size_t slot = 0; slot < n; ++slot) {
    const Table& t = font.tables[order[slot]];
    const std::uint8_t* record = f + 12 + 16 * slot;
    const std::size_t length = t.data.size();
    FUZZ_CHECK(std::equal(t.tag.begin(), t.tag.end(), record));
    FUZZ_CHECK(fuzz::be32(record + 8) == at && fuzz::be32(record + 12) == length);
    const std::uint8_t* bytes = f + at;
    std::uint32_t sum = fuzz::sum_bytes(bytes, length);
    if (slot == adjusted) {
      FUZZ_CHECK(std::equal(t.data.begin(), t.data.begin() + 8, bytes) &&
                 std::equal(t.data.begin() + 12, t.data.end(), bytes + 12));
      sum -= fuzz::sum_bytes(bytes + 8, 4);
    } else {
      FUZZ_CHECK(std::equal(t.data.begin(), t.data.end(), bytes));
      if (t.tag == kHeadTag && length >= 12) sum -= fuzz::sum_bytes(bytes + 8, 4);
    }
    FUZZ_CHECK(fuzz::be32(record + 4) == sum);
    for (std::uint64_t k = length; k < pad4(length); ++k) FUZZ_CHECK(bytes[k] == 0);
    at += pad4(length);
  }
  if (adjusted) FUZZ_CHECK(fuzz::sum_bytes(f, out.size()) == 0xB1B0AFBAu);
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

void check_embedding(ByteView font_bytes, const SfntFont& font, const std::uint8_t* params) {
  std::uint64_t state = fuzz::be32(params);
  ManifestSource source;
  if (params[0] & 1) {
    std::string raw(params[1], '\0');
    for (char& c : raw) c = static_cast<char>(fuzz::splitmix(state));
    // The URI comes from Python as a str, always well-formed; the core takes that as given.
    source.active_manifest_uri = utf8_lossy(ByteView(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()));
    if (source.active_manifest_uri->size() > 0xFFFF) source.active_manifest_uri->resize(0);
  }
  if (params[0] & 2) {
    Buffer store = Buffer::heap(fuzz::be16(params + 2));
    for (std::size_t i = 0; i < store.size(); ++i) store.data()[i] = static_cast<std::uint8_t>(fuzz::splitmix(state));
    source.manifest_store = std::move(store);
  }
  const std::optional<std::string> uri = source.active_manifest_uri;
  const std::optional<Buffer> store =
      source.manifest_store ? std::optional<Buffer>(Buffer::copy_of(source.manifest_store->view())) : std::nullopt;

  Result<Buffer> embedded = embed_manifest(font_bytes, std::move(source));
  if (!uri && !store) {
    FUZZ_CHECK(!embedded && embedded.error().detail() == "manifest source has neither a URI nor an embedded store");
    return;
  }
  FUZZ_CHECK(embedded);
  Result<SfntFont> parsed = SfntFont::parse(embedded->view());
  FUZZ_CHECK(parsed && parsed->count(kC2paTag) == 1 && parsed->tables.size() == font.tables.size() - font.count(kC2paTag) + 1);
  Result<C2paTable> table = read_c2pa_table(embedded->view());
  FUZZ_CHECK(table && table->major_version == 0 && table->minor_version == 1);
  FUZZ_CHECK(table->active_manifest_uri == (uri && !uri->empty() ? uri : std::nullopt));
  FUZZ_CHECK(table->manifest_store.has_value() == (store && store->size() > 0));
  if (table->manifest_store) FUZZ_CHECK(fuzz::same(table->manifest_store->view(), store->view()));
  // Embedding and then removing leaves what removing alone leaves.
  Result<Buffer> removed = remove_manifest(embedded->view());
  Result<Buffer> removed_directly = remove_manifest(font_bytes);
  FUZZ_CHECK(removed && removed_directly && fuzz::same(removed->view(), removed_directly->view()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t* params = data;
  const ByteView in(data + 4, size - 4);
  Result<SfntFont> font = SfntFont::parse(in);
  if (!font) return 0;

  Result<Buffer> first = font->serialize();
  // Inputs here are far too small for the directory's 16- and 32-bit limits.
  FUZZ_CHECK(first);
  check_layout(*font, first->view());

  Result<SfntFont> reparsed = SfntFont::parse(first->view());
  FUZZ_CHECK(reparsed);
  Result<Buffer> second = reparsed->serialize();
  FUZZ_CHECK(second && fuzz::same(second->view(), first->view()));

  const Table* head = reparsed->find(kHeadTag);
  if (head != nullptr && head->data.size() >= 12 && reparsed->count(kHeadTag) == 1) {
    Result<bool> valid = checksum_adjustment_valid(first->view());
    FUZZ_CHECK(valid && *valid);
  }
  check_exclusions_inside(first->view());
  check_embedding(in, *font, params);
  return 0;
}
