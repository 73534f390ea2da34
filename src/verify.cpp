#include "verify.h"

#include <string>

#include "sfnt.h"
#include "table.h"

namespace quillmark {

Result<ComplianceReport> verify(ByteView font) {
  Result<SfntFont> parsed = SfntFont::parse(font);
  if (!parsed) return std::move(parsed).error();
  if (const std::size_t n = parsed->count(kC2paTag); n > 1) {
    return Error::invalid_c2pa_table("font contains " + std::to_string(n) + " C2PA tables; at most one is allowed");
  }
  // On the caller's bytes, not on a rebuilt font: the question is whether this file is intact.
  Result<bool> checksum_valid = checksum_adjustment_valid(font);
  if (!checksum_valid) return std::move(checksum_valid).error();

  ComplianceReport report;
  report.checksum_valid = *checksum_valid;
  const Table* table = parsed->find(kC2paTag);
  if (table == nullptr) return report;
  Result<C2paTableView> decoded = C2paTableView::decode(table->data);
  if (!decoded) return std::move(decoded).error();
  report.c2pa_table_present = true;
  report.manifest_store_present = decoded->manifest_store.has_value();
  report.active_manifest_uri_present = decoded->active_manifest_uri.has_value();
  return report;
}

}  // namespace quillmark
