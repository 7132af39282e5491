// libFuzzer target: the whole file in memory goes through the probe's decisions, the sample area
// end and the channel copy, as the tool would take it; the copy is checked against a plain loop.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tarnvell2.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const SourceFormat f = probeHead(data, size < kProbeHeadBytes ? size : kProbeHeadBytes, size);
  if (f.verdict != Verdict::usable) return 0;
  if (f.channels != 2 || (f.bytesPerSample != 2 && f.bytesPerSample != 3)) std::abort();
  std::uint64_t end = size;
  if (f.dataStart <= size) {
    const std::uint32_t declared = Assem4(data + f.dataStart - 4);
    const std::uint64_t declaredEnd = std::uint64_t{f.dataStart} + declared;
    const std::size_t next = declaredEnd < size ? static_cast<std::size_t>(declaredEnd) : size;
    end =
        sampleAreaEnd(f.dataStart, declared, size, data + next, size - next < 9 ? size - next : 9);
  }
  if (end > size) std::abort();
  if (end <= f.dataStart) return 0;
  const std::size_t width = f.bytesPerSample;
  const std::size_t frames = static_cast<std::size_t>(end - f.dataStart) / (2 * width);
  const unsigned char* in = data + f.dataStart;
  for (std::uint32_t selector = 0; selector < 2; ++selector) {
    std::vector<unsigned char> out(frames * width);
    extractChannel(in, frames, f.bytesPerSample, selector, out.data());
    for (std::size_t k = 0; k < frames; ++k)
      if (std::memcmp(out.data() + k * width, in + (2 * k + selector) * width, width) != 0)
        std::abort();
  }
  return 0;
}
