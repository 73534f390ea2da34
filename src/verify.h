// The compliance check: a well-formed C2PA table that carries something, and an intact
// whole-font checksum.
#pragma once

#include "buffer.h"
#include "error.h"

namespace quillmark {

struct ComplianceReport {
  bool c2pa_table_present = false;
  bool manifest_store_present = false;       // an empty or zero-filled store counts
  bool active_manifest_uri_present = false;  // an empty URI counts
  bool checksum_valid = false;               // head.checkSumAdjustment matches the input

  // What is_compliant() answers.
  bool compliant() const noexcept {
    return c2pa_table_present && (manifest_store_present || active_manifest_uri_present) && checksum_valid;
  }
};

// Fails, rather than reporting, for a font that does not parse, that has more than one C2PA
// table, or whose C2PA table does not decode.
Result<ComplianceReport> verify(ByteView font);

}  // namespace quillmark
