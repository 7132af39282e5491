// The mono header writer: a canonical 44-byte PCM header whose sizes already count the samples
// that the extractor will append.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarnvell2.h"

std::array<unsigned char, kHeaderBytes> monoHeader(std::uint32_t sampleRate,
                                                   std::uint32_t bitsPerSample,
                                                   std::uint32_t frameCount) {
  // Taken in 32-bit arithmetic; the driver has made sure the data size fits.
  const std::uint32_t blockAlign = bitsPerSample / 8;
  const std::uint32_t byteRate = sampleRate * blockAlign;
  const std::uint32_t dataSize = frameCount * blockAlign;
  std::array<unsigned char, kHeaderBytes> h{};
  unsigned char* p = h.data();
  std::memcpy(p + 0, "RIFF", 4);
  Decon4(dataSize + 36, p + 4);
  std::memcpy(p + 8, "WAVEfmt ", 8);
  std::memcpy(p + 16, "\x10\x00\x00\x00\x01\x00\x01\x00", 8);  // size 16, PCM, one channel
  Decon4(sampleRate, p + 24);
  Decon4(byteRate, p + 28);
  Decon2(static_cast<std::uint16_t>(blockAlign & 0xFFFF), p + 32);
  Decon2(static_cast<std::uint16_t>(bitsPerSample & 0xFFFF), p + 34);
  std::memcpy(p + 36, "data", 4);
  Decon4(dataSize, p + 40);
  return h;
}

void MAKE_HEADER(const char* outputName, std::uint32_t sampleRate, std::uint32_t bitsPerSample,
                 std::uint32_t frameCount) {
  const auto header = monoHeader(sampleRate, bitsPerSample, frameCount);
  std::FILE* output = std::fopen(outputName, "wb");
  if (output == nullptr)
    failRun(shownName(outputName), std::strerror(errno), "Unable to open file.", 2);
  const bool written = std::fwrite(header.data(), 1, header.size(), output) == header.size();
  // The header sits in the stream's buffer until the close, so the close is what can fail.
  if ((std::fclose(output) != 0) || !written)
    failRun(shownName(outputName), std::strerror(errno), "Unable to write file.", 2);
}
