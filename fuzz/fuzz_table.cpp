// Arbitrary bytes as a C2PA table: decoding must survive anything, refuse only with one of its
// four messages, and what it accepts, written again from the header quillmark writes and the
// pieces, must decode back to itself (an empty piece comes back absent, since it is written
// with offset 0). The first 16 bytes, read as two lengths, also probe the header's limits. The UTF-8 check that guards the URI is
// held against a decoder written here by code points.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "c2pa_table.h"
#include "check.h"
#include "utf8.h"

using namespace quillmark;

namespace {

// Well-formed UTF-8 by decoding code points: shortest form, no surrogates, at most U+10FFFF.
bool utf8_by_code_points(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) {
      len = 1, cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1Fu;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0Fu;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07u;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3Fu);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// The table quillmark writes for `uri` and `store`: the header, then the pieces.
std::vector<std::uint8_t> encode(ByteView uri, ByteView store) {
  std::vector<std::uint8_t> out(kC2paHeaderSize + uri.size() + store.size());
  write_c2pa_header(out.data(), uri.size(), store.size());
  std::copy(uri.begin(), uri.end(), out.begin() + kC2paHeaderSize);
  std::copy(store.begin(), store.end(), out.begin() + static_cast<std::ptrdiff_t>(kC2paHeaderSize + uri.size()));
  return out;
}

ByteView or_empty(const std::optional<ByteView>& piece) { return piece.value_or(ByteView()); }

void check_round_trip(const C2paTable& t) {
  const ByteView uri = or_empty(t.active_manifest_uri);
  const ByteView store = or_empty(t.manifest_store);
  const std::size_t u = uri.size();
  const std::size_t s = store.size();
  Result<std::uint64_t> size = c2pa_table_size(u, s);
  FUZZ_CHECK(size && *size == 20 + u + s);
  const std::vector<std::uint8_t> encoded = encode(uri, store);
  Result<C2paTable> back = C2paTable::decode(ByteView(encoded));
  FUZZ_CHECK(back);
  // Whatever version was read, quillmark writes 0.1; an empty piece comes back absent.
  FUZZ_CHECK(back->major_version == 0 && back->minor_version == 1);
  FUZZ_CHECK(back->active_manifest_uri.has_value() == (u > 0) && back->manifest_store.has_value() == (s > 0));
  if (u > 0) FUZZ_CHECK(fuzz::same(*back->active_manifest_uri, uri) && back->active_manifest_uri->data() == encoded.data() + 20);
  if (s > 0) FUZZ_CHECK(fuzz::same(*back->manifest_store, store) && back->manifest_store->data() == encoded.data() + 20 + u);
  // The header depends only on the two lengths, and the pieces follow it.
  const std::uint8_t* h = encoded.data();
  FUZZ_CHECK(fuzz::be16(h) == 0 && fuzz::be16(h + 2) == 1);
  FUZZ_CHECK(fuzz::be32(h + 4) == (u > 0 ? 20u : 0u) && fuzz::be16(h + 8) == u && fuzz::be16(h + 10) == 0);
  FUZZ_CHECK(fuzz::be32(h + 12) == (s > 0 ? 20u + u : 0u) && fuzz::be32(h + 16) == s);
  // A decoded table re-encodes to the same bytes: encoding is a fixed point after one pass.
  FUZZ_CHECK(encode(or_empty(back->active_manifest_uri), or_empty(back->manifest_store)) == encoded);
}

// The limits of the header: a URI length that does not fit its 16-bit field, or a store length
// that does not fit its 32-bit one, is refused with a message that gives the length; anything
// else is sized.
void check_size_limits(const std::uint8_t* p) {
  std::uint64_t u = 0;
  std::uint64_t s = 0;
  for (int k = 0; k < 8; ++k) u = u << 8 | p[k];
  for (int k = 8; k < 16; ++k) s = s << 8 | p[k];
  // Mostly lengths near the limits: the top bytes decide how far above them.
  u >>= p[0] % 64;
  s >>= p[8] % 64;
  Result<std::uint64_t> size = c2pa_table_size(u, s);
  if (u > 0xFFFF) {
    FUZZ_CHECK(!size && size.error().detail() == "active manifest URI is " + std::to_string(u) +
                                                     " bytes; at most 65535 fit the table");
  } else if (s > 0xFFFFFFFFu) {
    FUZZ_CHECK(!size && size.error().detail() == "manifest store is " + std::to_string(s) +
                                                     " bytes; at most 4294967295 fit the table");
  } else {
    FUZZ_CHECK(size && *size == 20 + u + s);
  }
  if (!size) fuzz::check_error(size.error());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);

  const bool valid = utf8_valid(in);
  FUZZ_CHECK(valid == utf8_by_code_points(data, size));
  const std::string lossy = utf8_lossy(in);
  const ByteView lossy_bytes(reinterpret_cast<const std::uint8_t*>(lossy.data()), lossy.size());
  FUZZ_CHECK(utf8_valid(lossy_bytes));
  if (valid) FUZZ_CHECK(fuzz::same(lossy_bytes, in));

  if (size >= 16) check_size_limits(data);

  Result<C2paTable> table = C2paTable::decode(in);
  if (!table) {
    fuzz::check_error(table.error());
    FUZZ_CHECK(table.error().kind() == Error::Kind::InvalidC2paTable);
    FUZZ_CHECK(size >= 20 || table.error().detail() == "table shorter than 20-byte header");
    return 0;
  }
  FUZZ_CHECK(size >= 20);
  FUZZ_CHECK(table->major_version == fuzz::be16(data) && table->minor_version == fuzz::be16(data + 2));
  // Each piece is a view of the bytes its offset and length name, and absent exactly when the
  // offset is zero.
  const std::uint32_t uri_offset = fuzz::be32(data + 4);
  FUZZ_CHECK(table->active_manifest_uri.has_value() == (uri_offset != 0));
  if (const auto& uri = table->active_manifest_uri) {
    FUZZ_CHECK(uri->size() == fuzz::be16(data + 8) && uri_offset + uri->size() <= size);
    FUZZ_CHECK(uri->empty() || uri->data() == data + uri_offset);
    FUZZ_CHECK(utf8_by_code_points(uri->data(), uri->size()));
  }
  const std::uint32_t store_offset = fuzz::be32(data + 12);
  FUZZ_CHECK(table->manifest_store.has_value() == (store_offset != 0));
  if (const auto& store = table->manifest_store) {
    FUZZ_CHECK(store->size() == fuzz::be32(data + 16) && std::uint64_t{store_offset} + store->size() <= size);
    FUZZ_CHECK(store->empty() || store->data() == data + store_offset);
  }
  check_round_trip(*table);
  return 0;
}
