#include "writer.h"

#include <cstring>
#include <string>
#include <utility>

#include "c2pa_table.h"
#include "sfnt.h"

namespace quillmark {
namespace {

Error fill_would_move_bytes() {
  return Error::invalid_c2pa_table("filling would change bytes outside the exclusion ranges; reserve the font again");
}

// Parses `font` and plans it with a C2PA table made of `pieces`.
Result<FontPlan> plan_with(ByteView font, const C2paPieces& pieces) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  return FontPlan::make(parsed->sfnt_version, parsed->tables, pieces);
}

// What filling can tell about `font` before any checksum is summed: whether writing `plan`
// leaves every byte outside data_hash_exclusions(font) as it is. It does when the plan has the
// font's length and exclusions, the font's offset table and directory (checksums apart, which
// write() compares), zero padding after every table, and the C2PA header that `pieces` make.
// Every table but C2PA is then copied onto its own bytes, and so is the URI, which that header
// places right after itself.
bool keeps_layout(ByteView font, const FontPlan& plan, const C2paPieces& pieces) {
  if (plan.size() != font.size()) return false;
  Result<std::vector<Exclusion>> ranges = data_hash_exclusions(font);
  if (!ranges || *ranges != plan.exclusions()) return false;

  const std::vector<PlannedTable>& tables = plan.tables();
  Buffer directory = Buffer::heap(record_offset(tables.size()));
  plan.write_directory_without_checksums(directory.span());
  const std::uint8_t* in = font.data();
  if (std::memcmp(directory.data(), in, kOffsetTableSize) != 0) return false;
  for (std::size_t slot = 0; slot < tables.size(); ++slot) {
    // The tag, then the offset and length, which follow the checksum field.
    const std::size_t record = record_offset(slot);
    static_assert(kRecordOffsetField == kRecordChecksumField + 4 && kRecordLengthField == kRecordOffsetField + 4);
    if (std::memcmp(directory.data() + record + kRecordTagField, in + record + kRecordTagField, 4) != 0 ||
        std::memcmp(directory.data() + record + kRecordOffsetField, in + record + kRecordOffsetField, 8) != 0) {
      return false;
    }
    const PlannedTable& t = tables[slot];
    for (std::uint64_t k = t.offset + t.length; k % 4 != 0; ++k) {
      if (in[k] != 0) return false;
    }
    if (t.from_pieces) {
      std::uint8_t header[kC2paHeaderSize];
      write_c2pa_header(header, pieces.uri.size(), pieces.store_length);
      if (std::memcmp(header, in + t.offset, kC2paHeaderSize) != 0) return false;
    }
  }
  return true;
}

}  // namespace

Result<void> FontWrite::write(std::span<std::uint8_t> out) const {
  plan_.write(out);
  if (must_match_.empty()) return {};
  // The records' checksums are the one part of the layout that comes from the tables' bytes:
  // each must be the one the font already had, but for the C2PA table's, which is excluded.
  const std::vector<PlannedTable>& tables = plan_.tables();
  for (std::size_t slot = 0; slot < tables.size(); ++slot) {
    const std::size_t field = record_offset(slot) + kRecordChecksumField;
    if (!tables[slot].from_pieces && std::memcmp(out.data() + field, must_match_.data() + field, 4) != 0) {
      return fill_would_move_bytes();
    }
  }
  return {};
}

Result<FontWrite> plan_reservation(ByteView font, std::uint64_t reserve_size, std::optional<ByteView> uri) {
  if (reserve_size == 0) return Error::invalid_c2pa_table("reserve_size must be non-zero");
  // Sizes the header cannot describe are refused before the font is even parsed.
  Result<C2paPieces> pieces = C2paPieces::make(uri.value_or(ByteView()), {}, reserve_size);
  if (!pieces) return std::move(pieces).error();
  Result<FontPlan> plan = plan_with(font, *pieces);
  if (!plan) return std::move(plan).error();
  return FontWrite(std::move(*plan));
}

Result<FontWrite> plan_filling(ByteView font, ByteView manifest) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const Table* existing = parsed->find(kC2paTag);
  if (existing == nullptr) return Error::no_c2pa_table();
  Result<C2paTable> decoded = C2paTable::decode(existing->data);
  if (!decoded) return std::move(decoded).error();
  if (!decoded->manifest_store) return Error::invalid_c2pa_table("reserved font has no manifest store");
  const std::size_t reserved = decoded->manifest_store->size();
  if (manifest.size() > reserved) {
    return Error::invalid_c2pa_table("signed manifest is " + std::to_string(manifest.size()) + " bytes but only " +
                                     std::to_string(reserved) + " were reserved");
  }
  // The store keeps its reserved length whatever the manifest's: that is what keeps every
  // other byte of the font in place.
  Result<C2paPieces> pieces = C2paPieces::make(decoded->active_manifest_uri.value_or(ByteView()), manifest, reserved);
  if (!pieces) return std::move(pieces).error();
  Result<FontPlan> plan = FontPlan::make(parsed->sfnt_version, parsed->tables, *pieces);
  if (!plan) return std::move(plan).error();
  if (!keeps_layout(font, *plan, *pieces)) return fill_would_move_bytes();
  return FontWrite(std::move(*plan), font);
}

Result<FontWrite> plan_embedding(ByteView font, const ManifestSource& source) {
  if (!source.active_manifest_uri && !source.manifest_store) {
    return Error::invalid_c2pa_table("manifest source has neither a URI nor an embedded store");
  }
  const ByteView store = source.manifest_store.value_or(ByteView());
  Result<C2paPieces> pieces = C2paPieces::make(source.active_manifest_uri.value_or(ByteView()), store, store.size());
  if (!pieces) return std::move(pieces).error();
  Result<FontPlan> plan = plan_with(font, *pieces);
  if (!plan) return std::move(plan).error();
  return FontWrite(std::move(*plan));
}

Result<FontWrite> plan_removal(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  std::erase_if(parsed->tables, [](const Table& t) { return t.tag == kC2paTag; });
  Result<FontPlan> plan = FontPlan::make(parsed->sfnt_version, parsed->tables, std::nullopt);
  if (!plan) return std::move(plan).error();
  return FontWrite(std::move(*plan));
}

Result<std::vector<Box>> plan_boxes(ByteView font) {
  // The boxes are those of the font that embedding writes, whatever it will carry.
  Result<FontWrite> write = plan_embedding(font, {ByteView(), std::nullopt});
  if (!write) return std::move(write).error();
  const std::vector<PlannedTable>& tables = write->plan().tables();
  std::vector<Box> boxes;
  boxes.reserve(tables.size());
  for (std::size_t slot = 0; slot < tables.size(); ++slot) {
    const PlannedTable& t = tables[slot];
    // The plan sorts by tag, so tables of one tag are neighbours.
    if (slot > 0 && tables[slot - 1].tag == t.tag) {
      return Error::invalid_font("more than one table is tagged " + tag_text(t.tag) +
                                 "; a box hash could not tell them apart");
    }
    boxes.push_back({box_name(t.tag), t.from_pieces, t.data, has_adjustment(t.tag, t.length)});
  }
  return boxes;
}

}  // namespace quillmark
