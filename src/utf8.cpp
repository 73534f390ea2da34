#include "utf8.h"

namespace quillmark {
namespace {

struct Step {
  std::size_t length;  // bytes consumed: the whole sequence, or its maximal ill-formed subpart
  bool valid;
};

// Table 3-7 of the Unicode standard: well-formed byte sequences. Only the second byte has
// ranges narrower than 80..BF.
Step step(const std::uint8_t* s, std::size_t n) noexcept {
  const std::uint8_t lead = s[0];
  if (lead < 0x80) return {1, true};
  std::size_t trail;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead == 0xE0) {
    trail = 2, lo = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    trail = 2;
  } else if (lead == 0xED) {
    trail = 2, hi = 0x9F;  // D800..DFFF are surrogates
  } else if (lead == 0xF0) {
    trail = 3, lo = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    trail = 3;
  } else if (lead == 0xF4) {
    trail = 3, hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};  // 80..C1 and F5..FF never start a sequence
  }
  for (std::size_t i = 1; i <= trail; ++i) {
    if (i >= n) return {i, false};
    const std::uint8_t b = s[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return {i, false};
  }
  return {trail + 1, true};
}

}  // namespace

bool utf8_valid(ByteView bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n != 0) {
    const Step s = step(p, n);
    if (!s.valid) return false;
    p += s.length;
    n -= s.length;
  }
  return true;
}

std::string utf8_lossy(ByteView bytes) {
  std::string text;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  while (n != 0) {
    const Step s = step(p, n);
    if (s.valid) {
      text.append(reinterpret_cast<const char*>(p), s.length);
    } else {
      text += "\xEF\xBF\xBD";
    }
    p += s.length;
    n -= s.length;
  }
  return text;
}

}  // namespace quillmark
