// The channel extractor: copies one channel's samples, byte for byte, from the interleaved
// source into an output that already holds its header.
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "tarnvell2.h"

namespace {

// Frames per block. Large blocks keep the system calls few (one read and one write per block)
// while the buffers stay far below a megabyte: 384 KiB + 192 KiB for 24-bit sources.
constexpr std::size_t kBlockFrames = 64 * 1024;

// Fixed sizes, so that the compiler turns the copy into a few wide moves per frame.
template <std::size_t Move, std::size_t FrameBytes = 2 * Move, std::size_t Step = Move>
void pick(const unsigned char* in, std::size_t frames, unsigned char* out) {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < frames; ++k) std::memcpy(out + k * Step, in + k * FrameBytes, Move);
}

}  // namespace

void extractChannel(const unsigned char* in, std::size_t frames, std::uint32_t bytesPerSample,
                    std::uint32_t containerBytes, std::uint32_t channelSelector,
                    unsigned char* out) {
  in += channelSelector == 1 ? containerBytes : 0;
  if (bytesPerSample == 2 && containerBytes == 2) {
    pick<2>(in, frames, out);
  } else if (bytesPerSample == 3 && (containerBytes == 3 || containerBytes == 4)) {
    // Four-byte moves whose fourth byte the next sample overwrites: one load and one store
    // per sample instead of three. The last sample is copied exactly, so nothing is touched
    // past either buffer.
    if (frames == 0) return;
    if (containerBytes == 3)
      pick<4, 6, 3>(in, frames - 1, out);
    else
      pick<4, 8, 3>(in, frames - 1, out);
    std::memcpy(out + 3 * (frames - 1), in + 2 * containerBytes * (frames - 1), 3);
  } else {
    for (std::size_t k = 0; k < frames; ++k)
      std::memcpy(out + k * bytesPerSample, in + 2 * k * containerBytes, bytesPerSample);
  }
}

void COPY_DATA(const char* sourceName, const char* outputName, std::uint32_t dataStart,
               std::uint32_t channelSelector, std::uint32_t bitsPerSample,
               std::uint32_t containerBytes, std::uint32_t frameCount) {
  const std::size_t bytesPerSample = bitsPerSample / 8;
  const std::size_t frameBytes = 2 * std::size_t{containerBytes};
  File source(std::fopen(sourceName, "rb"));
  File output(std::fopen(outputName, "ab"));
  if (!source || !output) endRun("Unable to open file.", 2);
  // Unbuffered: each block goes straight between the file and our own buffers in one call.
  std::setvbuf(source.get(), nullptr, _IONBF, 0);
  std::setvbuf(output.get(), nullptr, _IONBF, 0);

  std::unique_ptr<unsigned char[]> in(new (std::nothrow) unsigned char[kBlockFrames * frameBytes]);
  std::unique_ptr<unsigned char[]> out(
      new (std::nothrow) unsigned char[kBlockFrames * bytesPerSample]);
  if (!in || !out) endRun("Not enough memory.", 2);

  if (fseeko(source.get(), static_cast<off_t>(dataStart), SEEK_SET) != 0)
    endRun("Unable to read file.", 2);
  for (std::uint32_t left = frameCount; left > 0;) {
    const std::size_t n = left < kBlockFrames ? left : kBlockFrames;
    // A short read means the source shrank since it was measured: never copy stale bytes.
    if (std::fread(in.get(), frameBytes, n, source.get()) != n) endRun("Unable to read file.", 2);
    extractChannel(in.get(), n, static_cast<std::uint32_t>(bytesPerSample), containerBytes,
                   channelSelector, out.get());
    if (std::fwrite(out.get(), bytesPerSample, n, output.get()) != n)
      endRun("Unable to write file.", 2);
    left -= static_cast<std::uint32_t>(n);
  }
  source.reset();
  if (std::fclose(output.release()) != 0) endRun("Unable to write file.", 2);
}
