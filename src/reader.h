// Reading a font's C2PA table, its active manifest URI and its Manifest Store.
#pragma once

#include <optional>
#include <string>

#include "buffer.h"
#include "error.h"
#include "table.h"

namespace quillmark {

// The first table tagged C2PA, in directory order, decoded. Later C2PA tables are not looked at.
Result<C2paTable> read_c2pa_table(ByteView font);

// The first C2PA table's active manifest URI, or nothing when it has none. Fails as
// read_c2pa_table() does, but copies only the URI, whatever the size of the store beside it.
Result<std::optional<std::string>> read_manifest_uri(ByteView font);

// The first C2PA table's whole Manifest Store, zero padding included.
Result<Buffer> read_manifest(ByteView font);

}  // namespace quillmark
