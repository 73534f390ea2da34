// Arbitrary bytes as a C2PA table: decoding must survive anything, refuse only with one of its
// four messages, and what it accepts must encode and decode back to itself (an empty piece
// comes back absent, since it is written with offset 0). The UTF-8 check that guards the URI is
// held against a decoder written here by code points.
#include <optional>
#include <string>

#include "check.h"
#include "table.h"
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

std::optional<std::string> without_empty(const std::optional<std::string>& s) {
  return s && !s->empty() ? s : std::nullopt;
}

void check_round_trip(const C2paTable& t) {
  const std::size_t u = t.active_manifest_uri ? t.active_manifest_uri->size() : 0;
  const std::size_t s = t.manifest_store ? t.manifest_store->size() : 0;
  Result<std::uint64_t> size = C2paTable::encoded_size(u, s);
  FUZZ_CHECK(size && *size == 20 + u + s);
  const Buffer encoded = t.encode();
  FUZZ_CHECK(encoded.size() == *size);
  Result<C2paTable> back = C2paTable::decode(encoded.view());
  FUZZ_CHECK(back);
  FUZZ_CHECK(back->major_version == t.major_version && back->minor_version == t.minor_version);
  FUZZ_CHECK(back->active_manifest_uri == without_empty(t.active_manifest_uri));
  FUZZ_CHECK(back->manifest_store.has_value() == (s > 0));
  if (s > 0) FUZZ_CHECK(fuzz::same(back->manifest_store->view(), t.manifest_store->view()));
  // The header depends only on the versions and the two lengths, and the pieces follow it.
  const std::uint8_t* h = encoded.data();
  FUZZ_CHECK(fuzz::be32(h + 4) == (u > 0 ? 20u : 0u) && fuzz::be16(h + 8) == u && fuzz::be16(h + 10) == 0);
  FUZZ_CHECK(fuzz::be32(h + 12) == (s > 0 ? 20u + u : 0u) && fuzz::be32(h + 16) == s);
  // A decoded table re-encodes to the same bytes: encoding is a fixed point after one pass.
  const Buffer again = back->encode();
  FUZZ_CHECK(fuzz::same(again.view(), encoded.view()));
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

  Result<C2paTable> table = C2paTable::decode(in);
  // The view checks what decode checks and points where decode copies from.
  Result<C2paTableView> view = C2paTableView::decode(in);
  FUZZ_CHECK(bool(view) == bool(table));
  if (!view) FUZZ_CHECK(fuzz::same_error(view.error(), table.error()));
  if (view && view->manifest_store) {
    FUZZ_CHECK(table->manifest_store && fuzz::same(*view->manifest_store, table->manifest_store->view()));
  }
  if (view) FUZZ_CHECK(view->active_manifest_uri.has_value() == table->active_manifest_uri.has_value());
  if (view && view->active_manifest_uri) {
    const auto& uri = *view->active_manifest_uri;
    FUZZ_CHECK(table->active_manifest_uri &&
               *table->active_manifest_uri == std::string(reinterpret_cast<const char*>(uri.data()), uri.size()));
  }
  if (!table) {
    fuzz::check_error(table.error());
    FUZZ_CHECK(table.error().kind() == Error::Kind::InvalidC2paTable);
    FUZZ_CHECK(size >= 20 || table.error().detail() == "table shorter than 20-byte header");
    return 0;
  }
  FUZZ_CHECK(size >= 20);
  FUZZ_CHECK(table->major_version == fuzz::be16(data) && table->minor_version == fuzz::be16(data + 2));
  // Each piece is a copy of the bytes its offset and length name, and absent exactly when the
  // offset is zero.
  const std::uint32_t uri_offset = fuzz::be32(data + 4);
  FUZZ_CHECK(table->active_manifest_uri.has_value() == (uri_offset != 0));
  if (const auto& uri = table->active_manifest_uri) {
    FUZZ_CHECK(uri->size() == fuzz::be16(data + 8) && uri_offset + uri->size() <= size);
    FUZZ_CHECK(uri->empty() || std::memcmp(uri->data(), data + uri_offset, uri->size()) == 0);
    FUZZ_CHECK(utf8_by_code_points(reinterpret_cast<const std::uint8_t*>(uri->data()), uri->size()));
  }
  const std::uint32_t store_offset = fuzz::be32(data + 12);
  FUZZ_CHECK(table->manifest_store.has_value() == (store_offset != 0));
  if (const auto& store = table->manifest_store) {
    FUZZ_CHECK(store->size() == fuzz::be32(data + 16) && std::uint64_t{store_offset} + store->size() <= size);
    FUZZ_CHECK(store->size() == 0 || std::memcmp(store->data(), data + store_offset, store->size()) == 0);
  }
  check_round_trip(*table);
  return 0;
}
