// The mono header writer: a canonical 44-byte PCM header whose sizes already count the samples
// that the extractor will append.
#include <cerrno>
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

void MAKE_HEADER(std::size_t output, std::uint32_t sampleRate, std::uint32_t bitsPerSample,
                 std::uint32_t frameCount) {
  const auto header = monoHeader(sampleRate, bitsPerSample, frameCount);
  if (!writeFully(outputFd(output), header.data(), header.size()))
    failRun(outputName(output), std::strerror(errno), "Unable to write file.", 2);
}
