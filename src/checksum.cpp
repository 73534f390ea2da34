#include "checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

// The one place where platforms differ: the AVX2 build of the same loops, chosen at run time on
// x86-64 with GCC or Clang (not clang-cl, which links no runtime for the CPU check). Everything
// else (MSVC, arm64, other CPUs) runs the portable loops, which compilers vectorise with the
// baseline instruction set (SSE2, NEON).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#define QUILLMARK_AVX2 1
#define QUILLMARK_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define QUILLMARK_INLINE __forceinline
#else
#define QUILLMARK_INLINE inline
#endif

namespace quillmark {
namespace {

// A sum of big-endian words is the same as summing the bytes of each position within a word
// apart and weighting the four sums by 2^24, 2^16, 2^8 and 1 at the end, and that needs no byte
// swapping: every 8-byte word is split into its even and its odd bytes, each in its own 16-bit
// lane, and the lanes are added as plain 64-bit integers. A lane holds at most 255 * 257 without
// overflowing, so the lanes are folded into 64-bit totals every kBlockWords words. The plain
// loop over swapped words ran at a third of memory speed and made checksums the larger part of
// every operation on a large font.
constexpr std::size_t kBlockWords = 256;
constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FF;

struct Totals {
  std::uint64_t at[4] = {0, 0, 0, 0};  // sums of the bytes at positions 0, 1, 2, 3 mod 4

  // What the bytes add to a checksum when the first of them lies `phase` bytes into a word.
  std::uint32_t weighed(std::size_t phase) const noexcept {
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < 4; ++k) sum += at[k] << (8 * (3 - (k + phase) % 4));
    return static_cast<std::uint32_t>(sum);
  }
};

std::uint64_t little_endian_word(const std::uint8_t* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) {
    w = ((w & 0x00000000FFFFFFFFull) << 32) | (w >> 32);
    w = ((w & 0x0000FFFF0000FFFFull) << 16) | ((w >> 16) & 0x0000FFFF0000FFFFull);
    w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
  }
  return w;
}

// Sums (and, with kCopy, copies to `dst`) the `n` bytes of `src`.
template <bool kCopy>
QUILLMARK_INLINE Totals sum_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
  Totals totals;
  const std::size_t words = n / 8;
  for (std::size_t i = 0; i < words;) {
    const std::size_t end = std::min(words, i + kBlockWords);
    std::uint64_t even = 0;  // bytes 0, 2, 4, 6 of each word in 16-bit lanes
    std::uint64_t odd = 0;   // bytes 1, 3, 5, 7
    for (; i < end; ++i) {
      if constexpr (kCopy) std::memcpy(dst + 8 * i, src + 8 * i, 8);
      const std::uint64_t w = little_endian_word(src + 8 * i);
      even += w & kEvenBytes;
      odd += (w >> 8) & kEvenBytes;
    }
    // Lanes 0 and 2 of `even` hold positions 0 mod 4 (bytes 0 and 4), lanes 1 and 3 positions
    // 2 mod 4; likewise `odd` for positions 1 and 3.
    totals.at[0] += (even & 0xFFFF) + ((even >> 32) & 0xFFFF);
    totals.at[2] += ((even >> 16) & 0xFFFF) + (even >> 48);
    totals.at[1] += (odd & 0xFFFF) + ((odd >> 32) & 0xFFFF);
    totals.at[3] += ((odd >> 16) & 0xFFFF) + (odd >> 48);
  }
  // At most 7 bytes are left.
  for (std::size_t i = words * 8; i < n; ++i) {
    if constexpr (kCopy) dst[i] = src[i];
    totals.at[i % 4] += src[i];
  }
  return totals;
}

using SumFunction = Totals (*)(std::uint8_t*, const std::uint8_t*, std::size_t) noexcept;

Totals sum_portable(std::uint8_t*, const std::uint8_t* src, std::size_t n) noexcept {
  return sum_bytes<false>(nullptr, src, n);
}
Totals copy_portable(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
  return sum_bytes<true>(dst, src, n);
}

#if defined(QUILLMARK_AVX2)
// The same loops in 256-bit vectors, up to twice as fast on the x86-64 CPUs made since 2013.
[[gnu::target("avx2")]] Totals sum_avx2(std::uint8_t*, const std::uint8_t* src, std::size_t n) noexcept {
  return sum_bytes<false>(nullptr, src, n);
}
[[gnu::target("avx2")]] Totals copy_avx2(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
  return sum_bytes<true>(dst, src, n);
}

// Chosen at the first sum rather than by a static initialiser, which could run after another
// one that already needs a checksum.
bool has_avx2() noexcept {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}
SumFunction best_sum() noexcept { return has_avx2() ? sum_avx2 : sum_portable; }
SumFunction best_copy() noexcept { return has_avx2() ? copy_avx2 : copy_portable; }
#else
SumFunction best_sum() noexcept { return sum_portable; }
SumFunction best_copy() noexcept { return copy_portable; }
#endif

}  // namespace

std::uint32_t checksum(ByteView bytes) noexcept {
  return best_sum()(nullptr, bytes.data(), bytes.size()).weighed(0);
}

std::uint32_t copy_with_checksum(std::uint8_t* dst, ByteView src, std::size_t phase) noexcept {
  return best_copy()(dst, src.data(), src.size()).weighed(phase);
}

std::uint32_t checksum_portable(ByteView bytes) noexcept {
  return sum_portable(nullptr, bytes.data(), bytes.size()).weighed(0);
}

std::uint32_t copy_with_checksum_portable(std::uint8_t* dst, ByteView src, std::size_t phase) noexcept {
  return copy_portable(dst, src.data(), src.size()).weighed(phase);
}

}  // namespace quillmark
