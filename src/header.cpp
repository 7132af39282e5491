// The mono header writer: a header whose sizes already count the samples that the extractor
// will append. Plain PCM whose bits fill the container gets the canonical 44-byte header; PCM
// that leaves part of its container unused says so with WAVE_FORMAT_EXTENSIBLE; float, A-law
// and mu-law get an 18-byte format chunk and the fact chunk that non-PCM data needs.
#include <cerrno>
#include <cstring>

#include "tarnvell2.h"

namespace {

// The sub-format GUID of EXTENSIBLE PCM, as stored in a file.
const unsigned char kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put(std::vector<unsigned char>& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}
void put16(std::vector<unsigned char>& b, std::uint32_t v) {
  unsigned char x[2];
  Decon2(static_cast<std::uint16_t>(v & 0xFFFF), x);
  b.insert(b.end(), x, x + 2);
}
void put32(std::vector<unsigned char>& b, std::uint32_t v) {
  unsigned char x[4];
  Decon4(v, x);
  b.insert(b.end(), x, x + 4);
}

}  // namespace

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

std::vector<unsigned char> outputHeader(const SourceFormat& format, std::uint32_t frameCount) {
  const std::uint32_t width = format.bytesPerSample;
  if (format.coding == Coding::pcm && format.bitsPerSample == width * 8 && width <= 4) {
    const auto h = monoHeader(format.sampleRate, format.bitsPerSample, frameCount);
    return std::vector<unsigned char>(h.begin(), h.end());
  }
  const std::uint32_t dataSize = frameCount * width;
  const bool extensible = format.coding == Coding::pcm;
  const std::uint32_t fmtSize = extensible ? 40 : 18;
  const std::uint32_t factSize = extensible ? 0 : 12;
  std::vector<unsigned char> h;
  put(h, "RIFF");
  put32(h, 4 + 8 + fmtSize + factSize + 8 + dataSize);
  put(h, "WAVE");
  put(h, "fmt ");
  put32(h, fmtSize);
  put16(h, extensible                           ? 0xFFFE
           : format.coding == Coding::ieeeFloat ? 3
           : format.coding == Coding::aLaw      ? 6
                                                : 7);
  put16(h, 1);
  put32(h, format.sampleRate);
  put32(h, format.sampleRate * width);
  put16(h, width);
  put16(h, width * 8);
  if (extensible) {
    put16(h, 22);
    put16(h, format.bitsPerSample);  // the valid bits, at the top of the container
    put32(h, 0x4);                   // front centre, as sox writes mono: any player's middle
    h.insert(h.end(), kPcmGuid, kPcmGuid + 16);
  } else {
    put16(h, 0);
    put(h, "fact");
    put32(h, 4);
    put32(h, frameCount);
  }
  put(h, "data");
  put32(h, dataSize);
  return h;
}

void MAKE_HEADER(std::size_t output, const SourceFormat& format, std::uint32_t frameCount) {
  const std::vector<unsigned char> header = outputHeader(format, frameCount);
  if (!writeFully(outputFd(output), header.data(), header.size()))
    failRun(outputName(output), std::strerror(errno), "Unable to write file.", 2);
}
