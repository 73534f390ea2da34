// Reading a font's C2PA table, its active manifest URI and its Manifest Store.
#pragma once

#include "buffer.h"
#include "error.h"
#include "table.h"

namespace quillmark {

// The first table tagged C2PA, in directory order, decoded. Later C2PA tables are not looked at.
Result<C2paTable> read_c2pa_table(ByteView font);

// The same table with its pieces left where they lie in `font`: what a reader that copies at
// most one of them needs.
Result<C2paTableView> read_c2pa_table_view(ByteView font);

// The first C2PA table's whole Manifest Store, zero padding included. The store is copied once,
// into storage from `allocator`.
Result<Buffer> read_manifest(ByteView font, const Allocator& allocator = heap_allocator());

}  // namespace quillmark
