#include "c2pa_table.h"

#include <string>

#include "utf8.h"

namespace quillmark {
namespace {

std::string past_end(const char* piece_name) { return std::string(piece_name) + " extends past end of table"; }

}  // namespace

Result<C2paHeader> C2paHeader::read(ByteView bytes) {
  const Reader table(bytes);
  if (table.size() < kC2paHeaderSize) return Error::invalid_c2pa_table("table shorter than 20-byte header");
  C2paHeader header;
  header.major_version = checked(table.u16(kMajorVersionField));
  header.minor_version = checked(table.u16(kMinorVersionField));
  header.uri_offset = checked(table.u32(kUriOffsetField));
  header.uri_length = checked(table.u16(kUriLengthField));
  header.store_offset = checked(table.u32(kStoreOffsetField));
  header.store_length = checked(table.u32(kStoreLengthField));
  return header;
}

Result<std::optional<ByteView>> C2paHeader::store(ByteView table) const {
  if (store_offset == 0) return std::optional<ByteView>();
  const std::optional<ByteView> bytes = Reader(table).bytes(store_offset, store_length);
  if (!bytes) return Error::invalid_c2pa_table(past_end("manifest store"));
  return std::optional<ByteView>(bytes);
}

Result<C2paTable> C2paTable::decode(ByteView bytes) {
  Result<C2paHeader> header = C2paHeader::read(bytes);
  if (!header) return std::move(header).error();
  C2paTable value;
  value.major_version = header->major_version;
  value.minor_version = header->minor_version;
  if (header->uri_offset != 0) {
    const std::optional<ByteView> uri = Reader(bytes).bytes(header->uri_offset, header->uri_length);
    if (!uri) return Error::invalid_c2pa_table(past_end("active manifest URI"));
    if (!utf8_valid(*uri)) return Error::invalid_c2pa_table("active manifest URI is not valid UTF-8");
    value.active_manifest_uri = uri;
  }
  Result<std::optional<ByteView>> store = header->store(bytes);
  if (!store) return std::move(store).error();
  value.manifest_store = *store;
  return value;
}

Result<std::uint64_t> c2pa_table_size(std::uint64_t uri_length, std::uint64_t store_length) {
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

void write_c2pa_header(std::uint8_t* header, std::uint64_t uri_length, std::uint64_t store_length) noexcept {
  const auto u = static_cast<std::uint32_t>(uri_length);
  const auto s = static_cast<std::uint32_t>(store_length);
  store_u16(header + kMajorVersionField, kWrittenMajorVersion);
  store_u16(header + kMinorVersionField, kWrittenMinorVersion);
  store_u32(header + kUriOffsetField, u > 0 ? static_cast<std::uint32_t>(kC2paHeaderSize) : 0);
  store_u16(header + kUriLengthField, static_cast<std::uint16_t>(u));
  store_u16(header + kReservedField, 0);
  store_u32(header + kStoreOffsetField, s > 0 ? static_cast<std::uint32_t>(kC2paHeaderSize) + u : 0);
  store_u32(header + kStoreLengthField, s);
}

}  // namespace quillmark
