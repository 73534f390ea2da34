// The one failure type of quillmark, and the Result that carries it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace quillmark {

// A failure, as a value. Nothing in the core throws for a fault of its input, and nothing logs;
// an Error travels back up unchanged, without added context, so the caller sees the text it was
// made with. Two things are thrown, both caught by the Python frame: std::bad_alloc (raised as
// MemoryError) and BrokenInvariant (below).
class Error {
 public:
  enum class Kind : std::uint8_t {
    NoC2paTable,
    NotSfnt,
    FontCollection,
    WoffUnsupported,
    InvalidFont,       // carries a detail
    InvalidC2paTable,  // carries a detail
  };

  static Error no_c2pa_table() { return Error(Kind::NoC2paTable, {}); }
  static Error not_sfnt() { return Error(Kind::NotSfnt, {}); }
  static Error font_collection() { return Error(Kind::FontCollection, {}); }
  static Error woff_unsupported() { return Error(Kind::WoffUnsupported, {}); }
  static Error invalid_font(std::string detail) { return Error(Kind::InvalidFont, std::move(detail)); }
  static Error invalid_c2pa_table(std::string detail) {
    return Error(Kind::InvalidC2paTable, std::move(detail));
  }

  Kind kind() const noexcept { return kind_; }
  // Empty for the four kinds that carry no detail.
  const std::string& detail() const noexcept { return detail_; }

  // Appends the message the caller sees: no trailing full stop, no line feed.
  void write(std::string& sink) const;
  std::string text() const;

 private:
  Error(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
};

// An operation's value or its Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  explicit operator bool() const noexcept { return !error_.has_value(); }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

// A fault of quillmark itself, never of its input: something that an earlier check established
// does not hold. The core throws it rather than read outside its input, and the Python frame
// raises it as PanicException.
class BrokenInvariant : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void broken_invariant(const char* file, unsigned line);

// The value of a read that an earlier check guarantees to succeed: checked, not assumed. A broken
// invariant names the caller's file and line, from builtins that GCC, Clang and MSVC all have
// (libstdc++'s std::source_location needs one that Clang before 15 lacks).
template <class T>
T checked(std::optional<T> value, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
  if (!value) broken_invariant(file, line);
  return *value;
}

}  // namespace quillmark
