#include "reader.h"

#include "sfnt.h"

namespace quillmark {

Result<C2paTable> read_c2pa_table(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return Error::no_c2pa_table();
  return C2paTable::decode(table->data);
}

Result<std::optional<std::string>> read_manifest_uri(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return Error::no_c2pa_table();
  Result<C2paTableView> view = C2paTableView::read(table->data);
  if (!view) return std::move(view).error();
  if (!view->active_manifest_uri) return std::optional<std::string>();
  const ByteView uri = *view->active_manifest_uri;
  return std::optional<std::string>(std::in_place, reinterpret_cast<const char*>(uri.data()), uri.size());
}

Result<Buffer> read_manifest(ByteView font) {
  Result<C2paTable> table = read_c2pa_table(font);
  if (!table) return std::move(table).error();
  if (!table->manifest_store) return Error::invalid_c2pa_table("C2PA table has no embedded manifest store");
  return std::move(*table->manifest_store);
}

}  // namespace quillmark
