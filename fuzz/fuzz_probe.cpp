// libFuzzer target: the whole file in memory goes through the probe (the tag searches, the chunk
// walk, the field reads, the format decisions of the default and of -a), the sample area's end
// and the channel copy, as the tool would take it; the copy is checked against a plain loop.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tarnvell2.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const ReadAt read = [data, size](std::uint64_t at, unsigned char* buffer, std::size_t count) {
    if (at >= size) return 0L;
    const std::size_t n = count < size - at ? count : static_cast<std::size_t>(size - at);
    std::memcpy(buffer, data + at, n);
    return static_cast<long>(n);
  };
  for (const bool anyFormat : {false, true}) {
    const SourceFormat f = probeSource(read, size, anyFormat);
    if (f.verdict != Verdict::usable) continue;
    if (f.channels < 2 || (!anyFormat && f.channels != 2) || f.bytesPerSample == 0 ||
        f.containerBytes < f.bytesPerSample || f.bitsPerSample > 8 * f.bytesPerSample ||
        f.channels * f.containerBytes > 0xFFFF)
      std::abort();
    std::uint64_t end = 0;
    if (!measureSampleArea(read, size, f.dataStart, end) || end > size) std::abort();
    if (end <= f.dataStart) continue;
    const std::size_t width = f.bytesPerSample, stride = f.containerBytes;
    const std::size_t frames = static_cast<std::size_t>(end - f.dataStart) / (f.channels * stride);
    const unsigned char* in = data + f.dataStart;
    for (std::uint32_t channel = 0; channel < f.channels && channel < 8; ++channel) {
      std::vector<unsigned char> out(frames * width);
      extractChannel(in, frames, f.bytesPerSample, f.containerBytes, f.channels, channel,
                     out.data());
      for (std::size_t k = 0; k < frames; ++k)
        if (std::memcmp(out.data() + k * width, in + (k * f.channels + channel) * stride, width) !=
            0)
          std::abort();
    }
  }
  return 0;
}
