#include "verify.h"

#include <string>

#include "c2pa_table.h"
#include "sfnt.h"

namespace quillmark {

Result<ComplianceReport> verify(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  if (const std::size_t n = parsed->count(kC2paTag); n > 1) {
    return Error::invalid_c2pa_table("font contains " + std::to_string(n) + " C2PA tables; at most one is allowed");
  }
  ComplianceReport report;
  // On the caller's bytes, not on a rebuilt font: the question is whether this file is intact.
  report.checksum_valid = checksum_adjustment_valid(font, *parsed);
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return report;
  Result<C2paTable> decoded = C2paTable::decode(table->data);
  if (!decoded) return std::move(decoded).error();
  report.c2pa_table_present = true;
  report.manifest_store_present = decoded->manifest_store.has_value();
  report.active_manifest_uri_present = decoded->active_manifest_uri.has_value();
  return report;
}

}  // namespace quillmark
