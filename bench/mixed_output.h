// Child output of the kind the command reader must cope with: normal log
// lines, lines ended by CR only, lines with NUL bytes, empty lines and
// 10 kB lines, none of them the command "$EXIT$".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Byte totals of each kind of line in a block, line ends included.
struct MixedOutputMix {
  std::size_t normal = 0;      // 20 to 160 printable bytes, then LF or CR LF
  std::size_t cr_only = 0;     // printable bytes, then CR
  std::size_t with_nuls = 0;   // printable and NUL bytes, then LF
  std::size_t empty = 0;       // LF alone
  std::size_t long_lines = 0;  // 10 240 printable bytes, then LF (too long to be delivered)
  std::size_t lines = 0;
};

// A block of exactly `size` bytes that ends with a line end, so that blocks
// can follow one another; the same seed gives the same block.
std::vector<char> make_mixed_output(std::size_t size, std::uint32_t seed, MixedOutputMix* mix);

}  // namespace bench
