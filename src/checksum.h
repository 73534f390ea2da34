// The SFNT checksum: the sum modulo 2^32 of a run of bytes read as big-endian u32 words, a
// final partial word completed with zero bytes. Every rebuilt table is summed while it is
// copied, so the kernel also copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer.h"

namespace quillmark {

std::uint32_t checksum(ByteView bytes) noexcept;

// Copies `src` to `dst` and returns what those bytes add to the checksum of the file they are
// copied into, when they start `phase` bytes past a multiple of 4 (0 to 3). No padding is
// written.
std::uint32_t copy_with_checksum(std::uint8_t* dst, ByteView src, std::size_t phase = 0) noexcept;

// The same sums by the plain loop that every compiler vectorises on every CPU: what the fast
// paths must agree with, and what runs where there is none.
std::uint32_t checksum_portable(ByteView bytes) noexcept;
std::uint32_t copy_with_checksum_portable(std::uint8_t* dst, ByteView src, std::size_t phase = 0) noexcept;

}  // namespace quillmark
