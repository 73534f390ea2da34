#include "error.h"

namespace quillmark {

void Error::write(std::string& sink) const {
  switch (kind_) {
    case Kind::NoC2paTable:
      sink += "no C2PA table found in font";
      return;
    case Kind::NotSfnt:
      sink += "not a supported SFNT (TrueType/OpenType) font";
      return;
    case Kind::FontCollection:
      sink += "font collections (ttcf) are not supported";
      return;
    case Kind::WoffUnsupported:
      sink += "WOFF/WOFF2 fonts are not supported; decompress to SFNT first";
      return;
    case Kind::InvalidFont:
      sink += "invalid font: ";
      sink += detail_;
      return;
    case Kind::InvalidC2paTable:
      sink += "invalid C2PA table: ";
      sink += detail_;
      return;
  }
}

void broken_invariant(const char* file, unsigned line) {
  throw BrokenInvariant(std::string("quillmark: broken invariant at ") + file + ":" + std::to_string(line));
}

std::string Error::text() const {
  std::string text;
  write(text);
  return text;
}

}  // namespace quillmark
