// Writing the C2PA table: the two phases of signing (reserve a placeholder, fill it), direct
// embedding, and removal.
//
// Each writer first plans its whole result (a FontWrite): it checks its arguments, parses the
// font and lays the result out, refusing anything the table or the directory cannot describe
// before a byte of the result exists. The caller then allocates exactly size() bytes (the
// Python frame: the bytes object it returns) and write() puts every byte in place in one pass.
// A plan borrows the font and the new table's pieces from the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "exclusions.h"
#include "layout.h"

namespace quillmark {

class FontWrite {
 public:
  explicit FontWrite(FontPlan plan, ByteView must_match = {}) : plan_(std::move(plan)), must_match_(must_match) {}

  std::uint64_t size() const noexcept { return plan_.size(); }
  const FontPlan& plan() const noexcept { return plan_; }

  // Writes the result into `out`, which has exactly size() bytes. Fails only when filling finds
  // that the result would differ from the font it was given outside that font's exclusion
  // ranges; `out` is then garbage.
  Result<void> write(std::span<std::uint8_t> out) const;

 private:
  FontPlan plan_;
  ByteView must_match_;  // filling: the reserved font, which the result may differ from only in its exclusions
};

// A font with a single C2PA table (version 0.1) that holds `uri`, if any, and a store of
// `reserve_size` zero bytes. A zero size, and a size or URI that the table or the rebuilt font
// cannot describe, are refused first.
Result<FontWrite> plan_reservation(ByteView font, std::uint64_t reserve_size, std::optional<ByteView> uri);

// `font` with `manifest`, followed by zeros up to the reserved length, in the store of its first
// C2PA table, its URI kept. Refused, rather than written, unless the result differs from `font`
// only inside data_hash_exclusions(font): the layout that reserving (or an earlier fill) wrote.
Result<FontWrite> plan_filling(ByteView font, ByteView manifest);

// What an embedding writes; an empty URI or store counts as given, and is written as absent.
struct ManifestSource {
  std::optional<ByteView> active_manifest_uri;  // UTF-8
  std::optional<ByteView> manifest_store;
};

// `font` with a single C2PA table that carries exactly what `source` gives.
Result<FontWrite> plan_embedding(ByteView font, const ManifestSource& source);

// `font` without any C2PA table; a font that has none is rebuilt all the same.
Result<FontWrite> plan_removal(ByteView font);

// One box of a c2pa.hash.boxes assertion (C2PA 2.2, 18.7.3.6): a table of the font that
// embedding writes, named by box_name(), and the bytes its digest is taken over.
struct Box {
  std::string name;
  bool c2pa = false;  // the C2PA table, whose digest is the single byte 00 whatever it holds
  // The table's bytes in the caller's font; a head table with checkSumAdjustment is hashed as
  // data[0, 8), four zero bytes, data[12, end).
  ByteView data;
  bool zero_adjustment = false;
};

// The boxes of `font` as embedding a manifest (or a URI, or reserving) lays it out, in that
// font's directory order: the tables sorted by tag, one C2PA table in place of any the font
// has. Refuses what embedding refuses, and a font with two tables of one tag, whose boxes
// would share a name and could not be told apart.
Result<std::vector<Box>> plan_boxes(ByteView font);

}  // namespace quillmark
