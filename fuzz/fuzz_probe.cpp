// libFuzzer target: the whole file in memory goes through the probe (the tag searches, the chunk
// walk, the field reads, the format decisions of the default and of -a), the sample area's end,
// the metadata walk of -m with each channel's rewrites and the outputs' layouts, and the channel
// copy, as the tool would take it; the copy is checked against a plain loop. The work and the
// outputs are bounded by the input: each walk reads at most one header per 8 bytes, and each
// output is at most its share of the samples, the source's other bytes and what the tool makes.
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
  const std::uint64_t headers = size / 8 + 2;  // the most chunk headers a walk can read
  for (const bool anyFormat : {false, true}) {
    const SourceFormat f = probeSource(read, size, anyFormat);
    if (f.steps > headers) std::abort();
    if (f.verdict != Verdict::usable) continue;
    if (f.channels < 2 || (!anyFormat && f.channels != 2) || f.bytesPerSample == 0 ||
        f.containerBytes < f.bytesPerSample || f.bitsPerSample > 8 * f.bytesPerSample ||
        f.channels * f.containerBytes > 0xFFFF)
      std::abort();
    std::uint64_t end = 0;
    if (!measureSampleArea(read, size, f.dataStart, end, f.bigEndian) || end > size) std::abort();
    Metadata metadata;
    if (!listMetadata(read, size, f, end, metadata) || metadata.steps > headers) std::abort();
    const std::uint64_t frames =
        end > f.dataStart ? (end - f.dataStart) / (std::uint64_t{f.channels} * f.containerBytes)
                          : 0;
    for (const CarriedChunk& c : metadata.chunks)
      if (c.at + c.size > size || (c.after ? c.at < end : c.at + c.size > f.dataStart))
        std::abort();
    std::vector<std::uint32_t> channels(f.channels);
    for (std::uint32_t k = 0; k < f.channels; ++k) channels[k] = k;
    const Source none;
    const OutputPlan plan = PLAN_OUTPUTS(none, f, end, metadata, channels);
    for (std::uint32_t k = 0; k < f.channels && k < 8; ++k) {
      std::uint64_t carried = 0;
      for (const CarriedChunk& c : plan.metadata.chunks) {
        const std::size_t n = chunkBody(plan.metadata, c, f, frames, k).size();
        if (c.kind != ChunkKind::copied && n != chunkSize(plan.metadata, c, f, frames, k))
          std::abort();
        const std::uint32_t body = chunkSize(plan.metadata, c, f, frames, k);
        carried += 8 + std::uint64_t{body} + (body & 1);
      }
      const OutputLayout& l = plan.layouts[k];
      if (l.fileBytes != l.head.size() + carried + 8 + l.dataBytes + l.pad) std::abort();
      // RIFF or RF64 header, ds64, fmt, fact, data header, pad byte, a line of coding history,
      // and a pad byte for each carried chunk whose source had none.
      const std::uint64_t made = 12 + 36 + 48 + 12 + 8 + 1 + 162 + plan.metadata.chunks.size();
      if (l.fileBytes > size - frames * f.channels * f.containerBytes + l.dataBytes + made)
        std::abort();
    }
    if (end <= f.dataStart) continue;
    const std::size_t width = f.bytesPerSample, stride = f.containerBytes;
    const auto whole = static_cast<std::size_t>(frames);
    const unsigned char* in = data + f.dataStart;
    for (std::uint32_t channel = 0; channel < f.channels && channel < 8; ++channel) {
      std::vector<unsigned char> out(whole * width);
      extractChannel(in, whole, f.bytesPerSample, f.containerBytes, f.channels, channel,
                     out.data());
      for (std::size_t k = 0; k < whole; ++k)
        if (std::memcmp(out.data() + k * width, in + (k * f.channels + channel) * stride, width) !=
            0)
          std::abort();
    }
  }
  return 0;
}
