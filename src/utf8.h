// UTF-8 in the Unicode standard's sense: no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut-off sequences.
#pragma once

#include <string>

#include "buffer.h"

namespace quillmark {

bool utf8_valid(ByteView bytes) noexcept;

// `bytes` as text, each maximal ill-formed subpart replaced by one U+FFFD (the practice the
// Unicode standard recommends, and what Python's and Rust's lossy decoders do).
std::string utf8_lossy(ByteView bytes);

}  // namespace quillmark
