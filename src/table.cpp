#include "table.h"

#include <cstring>

#include "utf8.h"

namespace quillmark {
namespace {

std::string past_end(const char* piece_name) { return std::string(piece_name) + " extends past end of table"; }

// The table for a store of `store_length` bytes that begins with `store` and goes on with zeros.
Buffer encode_pieces(std::uint16_t major_version, std::uint16_t minor_version, const std::optional<std::string>& uri,
                     ByteView store, std::size_t store_length) {
  const std::size_t u = uri ? uri->size() : 0;
  const std::size_t s = store_length;
  Buffer out = Buffer::heap(kC2paHeaderSize + u + s);
  std::uint8_t* p = out.data();
  store_u16(p, major_version);
  store_u16(p + 2, minor_version);
  store_u32(p + kUriOffsetField, u > 0 ? static_cast<std::uint32_t>(kC2paHeaderSize) : 0);
  store_u16(p + kUriLengthField, static_cast<std::uint16_t>(u));
  store_u16(p + 10, 0);  // reserved
  store_u32(p + kStoreOffsetField, s > 0 ? static_cast<std::uint32_t>(kC2paHeaderSize + u) : 0);
  store_u32(p + kStoreLengthField, static_cast<std::uint32_t>(s));
  if (u > 0) std::memcpy(p + kC2paHeaderSize, uri->data(), u);
  if (!store.empty()) std::memcpy(p + kC2paHeaderSize + u, store.data(), store.size());
  if (s > store.size()) std::memset(p + kC2paHeaderSize + u + store.size(), 0, s - store.size());
  return out;
}

}  // namespace

Result<C2paTableView> C2paTableView::decode(ByteView bytes) {
  const Reader table(bytes);
  if (table.size() < kC2paHeaderSize) return Error::invalid_c2pa_table("table shorter than 20-byte header");

  C2paTableView value;
  value.major_version = *table.u16(0);
  value.minor_version = *table.u16(2);

  if (const std::uint32_t offset = *table.u32(kUriOffsetField); offset != 0) {
    const std::optional<ByteView> uri = table.bytes(offset, *table.u16(kUriLengthField));
    if (!uri) return Error::invalid_c2pa_table(past_end("active manifest URI"));
    if (!utf8_valid(*uri)) return Error::invalid_c2pa_table("active manifest URI is not valid UTF-8");
    value.active_manifest_uri = uri;
  }
  if (const std::uint32_t offset = *table.u32(kStoreOffsetField); offset != 0) {
    const std::optional<ByteView> store = table.bytes(offset, *table.u32(kStoreLengthField));
    if (!store) return Error::invalid_c2pa_table(past_end("manifest store"));
    value.manifest_store = store;
  }
  return value;
}

Result<C2paTable> C2paTable::decode(ByteView bytes) {
  Result<C2paTableView> view = C2paTableView::decode(bytes);
  if (!view) return std::move(view).error();
  C2paTable value;
  value.major_version = view->major_version;
  value.minor_version = view->minor_version;
  if (const auto& uri = view->active_manifest_uri) {
    value.active_manifest_uri.emplace(reinterpret_cast<const char*>(uri->data()), uri->size());
  }
  if (const auto& store = view->manifest_store) value.manifest_store = Buffer::copy_of(*store);
  return value;
}

Result<std::uint64_t> C2paTable::encoded_size(std::uint64_t uri_length, std::uint64_t store_length) {
  if (uri_length > kMaxUriLength) {
    return Error::invalid_c2pa_table("active manifest URI is " + std::to_string(uri_length) +
                                     " bytes; at most 65535 fit the table");
  }
  if (store_length > kMaxStoreLength) {
    return Error::invalid_c2pa_table("manifest store is " + std::to_string(store_length) +
                                     " bytes; at most 4294967295 fit the table");
  }
  return kC2paHeaderSize + uri_length + store_length;
}

Buffer C2paTable::encode() const {
  return encode_pieces(major_version, minor_version, active_manifest_uri,
                       manifest_store ? manifest_store->view() : ByteView(), manifest_store ? manifest_store->size() : 0);
}

Buffer C2paTable::encode_padded(const std::optional<std::string>& uri, ByteView store, std::size_t store_length) {
  return encode_pieces(kWrittenMajorVersion, kWrittenMinorVersion, uri, store, store_length);
}

}  // namespace quillmark
