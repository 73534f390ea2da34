// What the fuzz targets share: a check that ends the run with a message, and small oracles
// written apart from the core (plain byte arithmetic, no Reader, no core checksum) so that they
// can judge it rather than repeat it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "exclusions.h"

// A failed check must stop libFuzzer with the input saved: abort() does that.
#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : ::fuzz::fail(#cond, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

inline std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}
inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// Deterministic bytes from a fuzzed seed (SplitMix64), for manifests and URIs the input does not
// spell out.
inline std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// The SFNT checksum byte by byte: each byte weighs by its position within its 4-byte word.
inline std::uint32_t sum_bytes(const std::uint8_t* p, std::size_t n, std::size_t start = 0) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<std::uint32_t>(p[i]) << (8 * (3 - (start + i) % 4));
  return sum;
}

inline bool same(quillmark::ByteView a, quillmark::ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Whether `at` lies in one of `ranges`.
inline bool inside_any(std::uint64_t at, const std::vector<quillmark::Exclusion>& ranges) {
  for (const quillmark::Exclusion& r : ranges) {
    if (at >= r.start && at - r.start < r.length) return true;
  }
  return false;
}

// Whether `after` has the length of `before` and differs from it only inside `ranges`.
inline bool differs_only_inside(quillmark::ByteView before, quillmark::ByteView after,
                                const std::vector<quillmark::Exclusion>& ranges) {
  if (after.size() != before.size()) return false;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i] && !inside_any(i, ranges)) return false;
  }
  return true;
}

inline bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Every failure the core can report reaches callers as a message they match on: it must be one
// of the messages the module documents, word for word, with its numbers and tags filled in.
inline bool known_detail(std::string_view d, std::initializer_list<std::string_view> exact,
                         std::initializer_list<std::pair<std::string_view, std::string_view>> patterns) {
  for (std::string_view e : exact) {
    if (d == e) return true;
  }
  for (const auto& [prefix, suffix] : patterns) {
    if (d.size() > prefix.size() + suffix.size() && starts_with(d, prefix) && ends_with(d, suffix)) return true;
  }
  return false;
}

inline void check_error(const quillmark::Error& error) {
  using Kind = quillmark::Error::Kind;
  const std::string text = error.text();
  const std::string& d = error.detail();
  // A tag goes into a message as its bytes decode, whatever they are, line feeds included.
  const bool names_a_tag = starts_with(d, "table ") || starts_with(d, "more than one table is tagged ");
  FUZZ_CHECK(!text.empty() && text.back() != '.' && (names_a_tag || text.find('\n') == std::string::npos));
  switch (error.kind()) {
    case Kind::NoC2paTable:
    case Kind::NotSfnt:
    case Kind::FontCollection:
    case Kind::WoffUnsupported:
      FUZZ_CHECK(d.empty());
      return;
    case Kind::InvalidFont:
      FUZZ_CHECK(known_detail(d, {"table directory truncated"},
                              {{"table ", " extends past end of file"},
                               {"the tables overlap: ", "-byte file"},
                               {"more than one table is tagged ", "; a box hash could not tell them apart"},
                               {"font would have ", " tables; at most 65535 fit the table directory"},
                               {"table ", "; at most 4294967295 fit the table directory"}}));
      return;
    case Kind::InvalidC2paTable:
      FUZZ_CHECK(known_detail(
          d,
          {"table shorter than 20-byte header", "active manifest URI extends past end of table",
           "manifest store extends past end of table", "active manifest URI is not valid UTF-8",
           "C2PA table has no embedded manifest store", "reserve_size must be non-zero",
           "no embedded manifest store to bind", "reserved font has no manifest store", "manifest source has neither a URI nor an embedded store",
           "filling would change bytes outside the exclusion ranges; reserve the font again"},
          {{"font contains ", " C2PA tables; at most one is allowed"},
           {"signed manifest is ", " were reserved"},
           {"active manifest URI is ", " bytes; at most 65535 fit the table"},
           {"manifest store is ", " bytes; at most 4294967295 fit the table"},
           {"font would have ", " tables; at most 65535 fit the table directory"},
           {"table ", "; at most 4294967295 fit the table directory"}}));
      return;
  }
  fuzz::fail("an Error of no known kind", __FILE__, __LINE__);
}

// Errors must agree, kind and text, when two paths meet the same fault.
inline bool same_error(const quillmark::Error& a, const quillmark::Error& b) {
  return a.kind() == b.kind() && a.detail() == b.detail();
}

}  // namespace fuzz
