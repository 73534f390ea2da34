#include "reading.h"

#include "sfnt.h"

namespace quillmark {

Result<C2paTable> read_c2pa_table(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  // Parsed tables borrow from `font`, so the decoded pieces outlive the parsed font.
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return Error::no_c2pa_table();
  return C2paTable::decode(table->data);
}

Result<ByteView> read_manifest(ByteView font) {
  Result<C2paTable> table = read_c2pa_table(font);
  if (!table) return std::move(table).error();
  if (!table->manifest_store) return Error::invalid_c2pa_table("C2PA table has no embedded manifest store");
  return *table->manifest_store;
}

}  // namespace quillmark
