// The byte ranges a c2pa.hash.data assertion excludes: the bytes that change when a reserved
// Manifest Store is filled.
#pragma once

#include <cstdint>
#include <vector>

#include "buffer.h"
#include "error.h"

namespace quillmark {

struct Exclusion {
  std::uint64_t start = 0;  // absolute offset in the font file
  std::uint64_t length = 0;

  friend bool operator==(const Exclusion&, const Exclusion&) = default;
};

// From the table directory and the store fields of the first C2PA table's header, without
// decoding the rest of that table: the Manifest Store, the checksum field of the C2PA table's
// record, and head.checkSumAdjustment when the first head table has one; ascending by start.
// Refuses a font that SfntFont::parse refuses, a C2PA table shorter than its header, a store
// past the table's end (with C2paTable::decode's messages), and a store that is absent or empty.
Result<std::vector<Exclusion>> data_hash_exclusions(ByteView font);

// Sorts ranges ascending by start, stably: only a strictly smaller start moves a range forward.
void sort_exclusions(std::vector<Exclusion>& ranges) noexcept;

}  // namespace quillmark
