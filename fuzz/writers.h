// The writers as one call each, planned and built on the heap: how the fuzz targets drive them.
// The Python frame plans, allocates the bytes object it returns, and writes into that instead.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "exclusions.h"
#include "sfnt.h"
#include "writer.h"

namespace fuzz {

using quillmark::Buffer;
using quillmark::ByteView;
using quillmark::Error;
using quillmark::Exclusion;
using quillmark::FontWrite;
using quillmark::Result;

inline Result<Buffer> build(const FontWrite& write) {
  Buffer out = Buffer::heap(static_cast<std::size_t>(write.size()));
  Result<void> written = write.write(out.span());
  if (!written) return std::move(written).error();
  return out;
}

inline Result<Buffer> build(Result<FontWrite> write) {
  if (!write) return std::move(write).error();
  return build(*write);
}

struct ReservedFont {
  Buffer font_bytes;
  std::vector<Exclusion> exclusions;  // of font_bytes, from the plan
  std::uint64_t store_offset = 0;
  std::uint64_t store_length = 0;
};

inline Result<ReservedFont> reserve_manifest(ByteView font, std::uint64_t reserve_size, std::optional<ByteView> uri) {
  Result<FontWrite> write = quillmark::plan_reservation(font, reserve_size, uri);
  if (!write) return std::move(write).error();
  Result<Buffer> built = build(*write);
  if (!built) return std::move(built).error();
  const Exclusion store = quillmark::checked(write->plan().store_range());
  return ReservedFont{std::move(*built), write->plan().exclusions(), store.start, store.length};
}

inline Result<Buffer> fill_manifest(ByteView font, ByteView manifest) {
  return build(quillmark::plan_filling(font, manifest));
}

inline Result<Buffer> embed_manifest(ByteView font, const quillmark::ManifestSource& source) {
  return build(quillmark::plan_embedding(font, source));
}

inline Result<Buffer> remove_manifest(ByteView font) { return build(quillmark::plan_removal(font)); }

// Whether checkSumAdjustment is right, for bytes not parsed yet; the errors are parse()'s.
inline Result<bool> checksum_adjustment_valid(ByteView bytes) {
  Result<quillmark::SfntFont> font = quillmark::SfntFont::parse(bytes);
  if (!font) return std::move(font).error();
  return quillmark::checksum_adjustment_valid(bytes, *font);
}

}  // namespace fuzz
