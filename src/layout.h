// A rebuilt font, planned from its tables' tags and lengths alone and then written in one pass.
//
// Every font quillmark hands back is built this way: the plan sorts the tables by tag (stably),
// gives each a 4-byte-aligned offset, checks every limit of the table directory, and knows
// where each byte of the result will lie before the result exists; the write then puts every
// byte in place once, summing checksums as it copies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "exclusions.h"
#include "sfnt.h"

namespace quillmark {

// The C2PA table a writer puts in, as the pieces it is written from: the header for these
// lengths, the URI, then a store of `store_length` bytes that begins with `store` and goes on
// with zeros. The views are borrowed from the caller for the life of the plan. Made only by
// make(), which checks the lengths against what the header can describe and works out the
// table's length once, for the plan to place it.
struct C2paPieces {
  ByteView uri;
  ByteView store;
  std::uint64_t store_length = 0;  // >= store.size()
  std::uint64_t table_length = 0;  // the header, the URI and the store

  static Result<C2paPieces> make(ByteView uri, ByteView store, std::uint64_t store_length);
};

// One table of the planned font, in output order.
struct PlannedTable {
  Tag tag{};
  ByteView data;  // the bytes copied; empty for the C2PA table written from pieces
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool from_pieces = false;
};

class FontPlan {
 public:
  // Plans a font of `sfnt_version` made of `tables` and, when `c2pa` is given, of one C2PA
  // table written from those pieces in place of every table tagged C2PA. Fails before the result
  // is allocated when the directory cannot describe it (65535 tables, 32-bit lengths
  // and offsets): with InvalidC2paTable when a C2PA table is being put in, InvalidFont
  // otherwise.
  static Result<FontPlan> make(std::uint32_t sfnt_version, const std::vector<Table>& tables,
                               const std::optional<C2paPieces>& c2pa);

  std::uint64_t size() const noexcept { return size_; }
  const std::vector<PlannedTable>& tables() const noexcept { return tables_; }

  // Where the planned C2PA table's Manifest Store lands; nothing unless the plan puts in a C2PA
  // table with a store.
  std::optional<Exclusion> store_range() const noexcept;

  // The data-hash exclusions of the planned font: its Manifest Store, the C2PA record's
  // checksum field and the first head's checkSumAdjustment; empty unless the plan puts in a
  // C2PA table with a store.
  std::vector<Exclusion> exclusions() const;

  // The offset table and directory as they will be written, but for the records' checksum
  // fields (left zero), which come from the tables' bytes. `out` has 12 + 16n bytes.
  void write_directory_without_checksums(std::span<std::uint8_t> out) const noexcept;

  // Writes the whole font into `out`, which has exactly size() bytes: every table at its
  // offset with zero padding, the records with fresh checksums, and checkSumAdjustment in the
  // first head table (in output order) when it has one.
  void write(std::span<std::uint8_t> out) const noexcept;

 private:
  std::uint32_t sfnt_version_ = 0;
  std::vector<PlannedTable> tables_;
  C2paPieces c2pa_;
  std::optional<std::size_t> c2pa_slot_;
  std::optional<std::size_t> adjusted_slot_;  // the first head, when it holds checkSumAdjustment
  std::uint64_t size_ = 0;
};

}  // namespace quillmark
