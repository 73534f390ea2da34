// Writing the C2PA table: the two phases of signing (reserve a placeholder, fill it), direct
// embedding, and removal. Every font handed back is rebuilt whole by SfntFont::serialize.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "buffer.h"
#include "error.h"

namespace quillmark {

struct ReservedFont {
  Buffer font_bytes;
  std::vector<Exclusion> exclusions;  // of font_bytes, ascending by start
  std::uint64_t store_offset = 0;     // of the zero-filled placeholder in font_bytes
  std::uint64_t store_length = 0;     // == the reserved size
};

// Rebuilds `font` with a single C2PA table (version 0.1) that holds `uri`, if any, and a store of
// `reserve_size` zero bytes. A zero size, and a size or URI that the table or the rebuilt font
// cannot describe, are refused before anything is allocated for them.
Result<ReservedFont> reserve_manifest(ByteView font, std::uint64_t reserve_size, std::optional<std::string> uri,
                                      const Allocator& allocator = heap_allocator());

// Writes `manifest`, followed by zeros up to the reserved length, into the store of the font's
// first C2PA table, keeping its URI. For a font that reserve_manifest() (or fill_manifest())
// wrote, the result differs from `font` only inside data_hash_exclusions(font).
Result<Buffer> fill_manifest(ByteView font, ByteView manifest, const Allocator& allocator = heap_allocator());

struct ManifestSource {
  std::optional<std::string> active_manifest_uri;
  std::optional<Buffer> manifest_store;
};

// Rebuilds `font` with a single C2PA table that carries exactly what `source` gives.
Result<Buffer> embed_manifest(ByteView font, ManifestSource source, const Allocator& allocator = heap_allocator());

// Rebuilds `font` without any C2PA table; a font that has none is rebuilt all the same.
Result<Buffer> remove_manifest(ByteView font, const Allocator& allocator = heap_allocator());

}  // namespace quillmark
