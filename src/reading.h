// Reading a font's C2PA table: its active manifest URI and its Manifest Store.
#pragma once

#include "buffer.h"
#include "c2pa_table.h"
#include "error.h"

namespace quillmark {

// The first table tagged C2PA, in directory order, decoded where it lies in `font`. Later C2PA
// tables are not looked at.
Result<C2paTable> read_c2pa_table(ByteView font);

// The first C2PA table's whole Manifest Store, zero padding included, where it lies in `font`.
Result<ByteView> read_manifest(ByteView font);

}  // namespace quillmark
