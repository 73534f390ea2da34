#include "reader.h"

#include <cstring>

#include "sfnt.h"

namespace quillmark {
namespace {

// The bytes of the first C2PA table. Parsed tables borrow from `font`, so these outlive the
// parsed font.
Result<ByteView> first_c2pa_table(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return Error::no_c2pa_table();
  return table->data;
}

}  // namespace

Result<C2paTableView> read_c2pa_table_view(ByteView font) {
  Result<ByteView> table = first_c2pa_table(font);
  if (!table) return std::move(table).error();
  return C2paTableView::decode(*table);
}

Result<C2paTable> read_c2pa_table(ByteView font) {
  Result<ByteView> table = first_c2pa_table(font);
  if (!table) return std::move(table).error();
  return C2paTable::decode(*table);
}

Result<Buffer> read_manifest(ByteView font, const Allocator& allocator) {
  Result<C2paTableView> table = read_c2pa_table_view(font);
  if (!table) return std::move(table).error();
  if (!table->manifest_store) return Error::invalid_c2pa_table("C2PA table has no embedded manifest store");
  const ByteView store = *table->manifest_store;
  Buffer copy = allocator.allocate(store.size());
  if (!store.empty()) std::memcpy(copy.data(), store.data(), store.size());
  return copy;
}

}  // namespace quillmark
