#include "writer.h"

#include <utility>

#include "sfnt.h"
#include "table.h"

namespace quillmark {
namespace {

std::uint64_t uri_length(const std::optional<std::string>& uri) { return uri ? uri->size() : 0; }
std::uint64_t store_length(const std::optional<Buffer>& store) { return store ? store->size() : 0; }

// Whether the rebuilt font's directory can describe a C2PA table of `table_size` bytes: checked
// before the table's bytes exist, so an impossible request never allocates them.
Result<void> check_room(const SfntFont& font, std::uint64_t table_size) {
  if (std::optional<std::string> limit = font.set_table_limit(kC2paTag, table_size)) {
    return Error::invalid_c2pa_table(std::move(*limit));
  }
  return {};
}

}  // namespace

Result<ReservedFont> reserve_manifest(ByteView font, std::uint64_t reserve_size, std::optional<std::string> uri,
                                      const Allocator& allocator) {
  if (reserve_size == 0) return Error::invalid_c2pa_table("reserve_size must be non-zero");
  // Sizes the header cannot describe are refused before the font is even parsed.
  Result<std::uint64_t> size = C2paTable::encoded_size(uri_length(uri), reserve_size);
  if (!size) return std::move(size).error();
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  if (Result<void> room = check_room(*parsed, *size); !room) return std::move(room).error();

  parsed->set_table(kC2paTag, C2paTable::encode_padded(uri, {}, static_cast<std::size_t>(reserve_size)));
  Result<Buffer> rebuilt = parsed->serialize(allocator);
  if (!rebuilt) return std::move(rebuilt).error();

  Result<std::vector<Exclusion>> exclusions = data_hash_exclusions(rebuilt->view());
  if (!exclusions) return std::move(exclusions).error();
  Result<Exclusion> store = manifest_store_range(rebuilt->view());
  if (!store) return std::move(store).error();
  if (store->length != reserve_size) return Error::invalid_c2pa_table("reserved store exclusion not found");

  ReservedFont reserved;
  reserved.font_bytes = std::move(*rebuilt);
  reserved.exclusions = std::move(*exclusions);
  reserved.store_offset = store->start;
  reserved.store_length = reserve_size;
  return reserved;
}

Result<Buffer> fill_manifest(ByteView font, ByteView manifest, const Allocator& allocator) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  const Table* existing = parsed->find(kC2paTag);
  if (existing == nullptr) return Error::no_c2pa_table();
  // Only the URI is kept and the store's length used, so the pieces are not copied out here.
  Result<C2paTableView> decoded = C2paTableView::decode(existing->data);
  if (!decoded) return std::move(decoded).error();
  if (!decoded->manifest_store) return Error::invalid_c2pa_table("reserved font has no manifest store");
  const std::size_t reserved = decoded->manifest_store->size();
  if (manifest.size() > reserved) {
    return Error::invalid_c2pa_table("signed manifest is " + std::to_string(manifest.size()) + " bytes but only " +
                                     std::to_string(reserved) + " were reserved");
  }

  std::optional<std::string> uri;
  if (const auto& kept = decoded->active_manifest_uri) {
    uri.emplace(reinterpret_cast<const char*>(kept->data()), kept->size());
  }
  const std::uint64_t size = kC2paHeaderSize + uri_length(uri) + reserved;
  if (Result<void> room = check_room(*parsed, size); !room) return std::move(room).error();

  // The store keeps its reserved length whatever the manifest's: that is what keeps every
  // other byte of the font in place.
  parsed->set_table(kC2paTag, C2paTable::encode_padded(uri, manifest, reserved));
  return parsed->serialize(allocator);
}

Result<Buffer> embed_manifest(ByteView font, ManifestSource source, const Allocator& allocator) {
  if (!source.active_manifest_uri && !source.manifest_store) {
    return Error::invalid_c2pa_table("manifest source has neither a URI nor an embedded store");
  }
  C2paTable table;
  table.active_manifest_uri = std::move(source.active_manifest_uri);
  table.manifest_store = std::move(source.manifest_store);
  Result<std::uint64_t> size =
      C2paTable::encoded_size(uri_length(table.active_manifest_uri), store_length(table.manifest_store));
  if (!size) return std::move(size).error();
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  if (Result<void> room = check_room(*parsed, *size); !room) return std::move(room).error();
  parsed->set_table(kC2paTag, table.encode());
  return parsed->serialize(allocator);
}

Result<Buffer> remove_manifest(ByteView font, const Allocator& allocator) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  std::erase_if(parsed->tables, [](const Table& t) { return t.tag == kC2paTag; });
  return parsed->serialize(allocator);
}

}  // namespace quillmark
