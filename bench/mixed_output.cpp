#include "mixed_output.h"

#include <algorithm>

namespace bench {
namespace {

// A small, fast generator; the block's content only needs to vary.
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state(seed * 2654435761u + 1) {}
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
  std::uint32_t below(std::uint32_t limit) { return next() % limit; }

 private:
  std::uint32_t state;
};

// Printable bytes without '$', so that no line can be the command.
char printable(Lcg& random) { return static_cast<char>('%' + random.below(90)); }

constexpr std::size_t kLongLine = 10240;

}  // namespace

std::vector<char> make_mixed_output(std::size_t size, std::uint32_t seed, MixedOutputMix* mix) {
  std::vector<char> block;
  block.reserve(size);
  MixedOutputMix counts;
  Lcg random(seed);
  // Room left before the block's last byte, which is always a line end.
  while (block.size() + 1 < size) {
    const std::size_t start = block.size();
    const std::size_t room = size - 1 - start;
    const std::uint32_t pick = random.below(128);
    std::size_t* kind = nullptr;
    if (pick == 0 && room > kLongLine) {
      block.insert(block.end(), kLongLine, 'L');
      for (std::size_t i = start; i < block.size(); i += 61) block[i] = printable(random);
      block.push_back('\n');
      kind = &counts.long_lines;
    } else if (pick < 8) {
      block.push_back('\n');
      kind = &counts.empty;
    } else {
      const std::size_t length = std::min<std::size_t>(20 + random.below(141), room);
      for (std::size_t i = 0; i < length; ++i) block.push_back(printable(random));
      if (pick < 28) {
        block.push_back('\r');
        kind = &counts.cr_only;
      } else if (pick < 48) {
        for (std::size_t i = start; i < block.size(); i += 7) block[i] = '\0';
        block.push_back('\n');
        kind = &counts.with_nuls;
      } else {
        if (pick & 1) block.push_back('\r');
        block.push_back('\n');
        kind = &counts.normal;
      }
    }
    *kind += block.size() - start;
    ++counts.lines;
  }
  if (block.size() < size) {
    block.push_back('\n');
    ++counts.empty;
    ++counts.lines;
  }
  block.resize(size);  // a line end of two bytes may have gone one past
  block.back() = '\n';
  if (mix != nullptr) *mix = counts;
  return block;
}

}  // namespace bench
