// The checksum's portable loops against its fast paths and against a plain byte-by-byte sum, on
// every length up to a few blocks, at every alignment of the start, on random, all-ones and
// all-zero bytes: checksum() and, at each of the four phases, copy_with_checksum(), whose copy
// must also be exact and stop at the end. The dispatching entries take the fast path where the
// CPU has one (AVX2 on x86-64), so on such a machine this compares the two kernels; elsewhere it
// still checks the portable ones. Built with -DQUILLMARK_TESTS=ON and run by .ci/run; exits 1 on
// the first disagreement.
#include "checksum.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

// What `n` bytes add to a file's checksum when the first lies `phase` bytes past a multiple of 4.
std::uint32_t plain_sum(const std::uint8_t* p, std::size_t n, std::size_t phase = 0) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += static_cast<std::uint32_t>(p[i]) << (8 * (3 - (phase + i) % 4));
  }
  return sum;
}

// Copies with both kernels into a buffer with a guard byte past the end; false, with a message,
// when a sum or the copy is wrong.
bool copies_agree(quillmark::ByteView src, std::size_t phase, std::size_t offset) {
  constexpr std::uint8_t kGuard = 0xA5;
  const std::uint32_t want = plain_sum(src.data(), src.size(), phase);
  for (const bool portable : {true, false}) {
    std::vector<std::uint8_t> dst(src.size() + 1, kGuard);
    const std::uint32_t got = portable ? quillmark::copy_with_checksum_portable(dst.data(), src, phase)
                                       : quillmark::copy_with_checksum(dst.data(), src, phase);
    if (got != want || !std::equal(src.begin(), src.end(), dst.begin()) || dst.back() != kGuard) {
      std::printf("copy_with_checksum%s: %zu bytes at offset %zu, phase %zu: plain %08x, got %08x%s\n",
                  portable ? "_portable" : "", src.size(), offset, phase, static_cast<unsigned>(want),
                  static_cast<unsigned>(got), got == want ? " (the copy is wrong)" : "");
      return false;
    }
  }
  return true;
}

const char* fast_path() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? "avx2" : "none (no AVX2 on this CPU)";
#else
  return "none on this platform";
#endif
}

}  // namespace

int main() {
  // Past 256 eight-byte words the kernels carry their 16-bit lanes into the totals, so lengths
  // run over several of those blocks; 8 start offsets cover every misalignment of a vector load.
  constexpr std::size_t kMaxLength = 3 * 2048 + 67;
  constexpr std::size_t kOffsets = 8;
  std::vector<std::uint8_t> random(kMaxLength + kOffsets);
  std::mt19937 generator(20260101);
  for (auto& b : random) b = static_cast<std::uint8_t>(generator());
  std::vector<std::uint8_t> ones(kMaxLength + kOffsets, 0xFF);
  std::vector<std::uint8_t> zeros(kMaxLength + kOffsets, 0);

  std::size_t compared = 0;
  for (const auto* bytes : {&random, &ones, &zeros}) {
    for (std::size_t offset = 0; offset < kOffsets; ++offset) {
      for (std::size_t n = 0; n <= kMaxLength; ++n) {
        const quillmark::ByteView view(bytes->data() + offset, n);
        const std::uint32_t want = plain_sum(view.data(), n);
        const std::uint32_t portable = quillmark::checksum_portable(view);
        const std::uint32_t dispatched = quillmark::checksum(view);
        if (portable != want || dispatched != want) {
          std::printf("checksum: %zu bytes at offset %zu: plain %08x, portable %08x, dispatched %08x\n", n, offset,
                      static_cast<unsigned>(want), static_cast<unsigned>(portable), static_cast<unsigned>(dispatched));
          return 1;
        }
        for (std::size_t phase = 0; phase < 4; ++phase) {
          if (!copies_agree(view, phase, offset)) return 1;
        }
        ++compared;
      }
    }
  }
  // A whole font's worth, where the fast path spends its time.
  std::vector<std::uint8_t> large(std::size_t{1} << 22);
  for (auto& b : large) b = static_cast<std::uint8_t>(generator());
  const quillmark::ByteView whole(large);
  if (quillmark::checksum_portable(whole) != plain_sum(large.data(), large.size()) ||
      quillmark::checksum(whole) != plain_sum(large.data(), large.size())) {
    std::printf("checksum: the 4 MiB buffer's sums disagree\n");
    return 1;
  }
  if (!copies_agree(whole, 3, 0)) return 1;
  std::printf("checksum: portable and dispatched sums and copies agree with the plain sum on %zu buffers; fast path: %s\n",
              compared + 1, fast_path());
  return 0;
}
