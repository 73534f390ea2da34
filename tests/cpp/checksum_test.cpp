// The checksum's portable loop against its fast path and against a plain word-by-word sum, on
// every length up to a few blocks, at every alignment of the start, on random, all-ones and
// all-zero bytes. checksum() takes the fast path where the CPU has one (AVX2 on x86-64), so on
// such a machine this compares the two kernels; elsewhere it still checks the portable one.
// Built with -DQUILLMARK_TESTS=ON and run by .ci/run; exits 1 on the first disagreement.
#include "checksum.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

std::uint32_t plain_sum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; i += 4) {
    std::uint32_t word = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      word = static_cast<std::uint32_t>(word << 8) | (i + k < n ? p[i + k] : 0u);
    }
    sum += word;
  }
  return sum;
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
  std::printf("checksum: portable and dispatched sums agree with the plain sum on %zu buffers; fast path: %s\n",
              compared + 1, fast_path());
  return 0;
}
