// The source probe: finds the format and data chunks by searching the start of the file for
// their tags, the way the tool always has, but refuses tags that lie inside another chunk.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "tarnvell2.h"

static_assert(sizeof(off_t) == 8, "build with large-file support (_FILE_OFFSET_BITS=64)");

namespace {

constexpr std::size_t kCandidates = kLastCandidate / 2;  // the even offsets 2 .. 15000

bool printable(unsigned char c) {
  return c >= 0x20 && c <= 0x7E;
}

std::size_t slot(std::uint64_t offset) {
  return static_cast<std::size_t>(offset / 2 - 1);
}

// Marks the candidates that fall inside the body of a chunk found by walking a RIFF/WAVE chunk
// list. Seen in files written by ffmpeg: a LIST comment holding the word "metadata" puts "data"
// at an even offset inside the LIST body.
void markChunkBodies(const unsigned char* head, std::size_t headLength, std::uint64_t fileLength,
                     bool* inside) {
  if (headLength < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    return;
  std::uint64_t at = 12;
  while (at <= kLastCandidate && at + 8 <= headLength &&
         wellFormedChunk(head + at, at, fileLength)) {
    const std::uint64_t size = Assem4(head + at + 4);
    const std::uint64_t bodyEnd = at + 8 + size;
    for (std::uint64_t c = (at + 8 + 1) & ~std::uint64_t{1}; c < bodyEnd && c <= kLastCandidate;
         c += 2)
      inside[slot(c)] = true;
    at = bodyEnd + (size & 1);
  }
}

// The first even offset from 2 to 15000 where the whole tag can be read, not inside a walked
// chunk; 0 when there is none.
std::uint64_t findTag(const unsigned char* head, std::size_t headLength, const bool* inside,
                      const char* tag, std::size_t tagLength) {
  for (std::uint64_t c = 2; c <= kLastCandidate && c + tagLength <= headLength; c += 2)
    if (!inside[slot(c)] && std::memcmp(head + c, tag, tagLength) == 0) return c;
  return 0;
}

}  // namespace

bool wellFormedChunk(const unsigned char* header, std::uint64_t at, std::uint64_t fileLength) {
  if (at + 8 > fileLength) return false;
  for (int i = 0; i < 4; ++i)
    if (!printable(header[i])) return false;
  return at + 8 + Assem4(header + 4) <= fileLength;
}

SourceFormat probeHead(const unsigned char* head, std::size_t headLength,
                       std::uint64_t fileLength) {
  if (headLength > kProbeHeadBytes) headLength = kProbeHeadBytes;
  if (headLength > fileLength) headLength = static_cast<std::size_t>(fileLength);
  bool inside[kCandidates] = {};
  markChunkBodies(head, headLength, fileLength, inside);

  SourceFormat format;
  const std::uint64_t f = findTag(head, headLength, inside, "fmt", 3);
  if (f == 0) return format;  // noFormat
  // A field cut off by the end of the file is as unusable as a wrong one.
  format.channels = f + 12 <= headLength ? Assem2(head + f + 10) : 0;
  if (format.channels != 2) {
    format.verdict = Verdict::notStereo;
    return format;
  }
  format.bitsPerSample = f + 24 <= headLength ? Assem2(head + f + 22) : 0;
  if (format.bitsPerSample != 16 && format.bitsPerSample != 24) {
    format.verdict = Verdict::badBits;
    return format;
  }
  format.bytesPerSample = format.bitsPerSample / 8;
  format.sampleRate = Assem4(head + f + 12);
  const std::uint64_t d = findTag(head, headLength, inside, "data", 4);
  if (d == 0) {
    format.verdict = Verdict::noData;
    return format;
  }
  format.dataStart = static_cast<std::uint32_t>(d + 8);
  format.verdict = Verdict::usable;
  return format;
}

std::uint64_t sampleAreaEnd(std::uint64_t dataStart, std::uint32_t declaredSize,
                            std::uint64_t fileLength, const unsigned char* next,
                            std::size_t nextLength) {
  // 0 and 0xFFFFFFFF are what streaming writers leave when they never come back to the header.
  if (declaredSize == 0 || declaredSize == 0xFFFFFFFFu) return fileLength;
  const std::uint64_t end = dataStart + declaredSize;
  if (end >= fileLength) return fileLength;
  if (nextLength >= 8 && wellFormedChunk(next, end, fileLength)) return end;
  if ((declaredSize & 1) != 0 && nextLength >= 9 && wellFormedChunk(next + 1, end + 1, fileLength))
    return end;
  // No chunk follows: audio the recorder never counted in its header is kept.
  return fileLength;
}

namespace {

// Length of an open file, or -1.
off_t lengthOf(std::FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const off_t length = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return length;
}

// Reads up to `count` bytes at `at`; returns how many there were, or -1 on a read error.
long readAt(std::FILE* file, std::uint64_t at, unsigned char* buffer, std::size_t count) {
  if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) return -1;
  const std::size_t got = std::fread(buffer, 1, count, file);
  if (std::ferror(file)) return -1;
  return static_cast<long>(got);
}

}  // namespace

void GET_ATTRIBUTES(std::uint32_t trackIndex, const char* sourceName, std::uint32_t* channels,
                    std::uint32_t* dataStart, std::uint32_t* sampleRate,
                    std::uint32_t* bytesPerSample, std::uint32_t* bitsPerSample) {
  const std::string notFound =
      std::string("Cannot find file in track list called ") + sourceName + "!!";
  // Only a regular file is a source: a folder opens for reading on Linux but cannot be read,
  // and opening a pipe with no writer would hang.
  struct stat status;
  if (stat(sourceName, &status) != 0 || !S_ISREG(status.st_mode)) endRun(notFound, 2);
  File source(std::fopen(sourceName, "rb"));
  if (!source) endRun(notFound, 2);
  const off_t length = lengthOf(source.get());
  unsigned char head[kProbeHeadBytes];
  const long got = length < 0 ? -1 : readAt(source.get(), 0, head, sizeof head);
  if (got < 0) endRun(notFound, 2);
  source.reset();

  const SourceFormat format =
      probeHead(head, static_cast<std::size_t>(got), static_cast<std::uint64_t>(length));
  switch (format.verdict) {
    case Verdict::noFormat:
      endRun("Can't find format chunk in wave file!", 2);
    case Verdict::notStereo:
      endRun("The file you want to convert is not a stereo track!", 1);
    case Verdict::badBits:
      endRun("24 bit or 16 bit wave files only!", 1);
    case Verdict::noData:
      endRun("Can't find data block in wave file!", 2);
    case Verdict::usable:
      break;
  }
  channels[trackIndex] = format.channels;
  dataStart[trackIndex] = format.dataStart;
  sampleRate[trackIndex] = format.sampleRate;
  bytesPerSample[trackIndex] = format.bytesPerSample;
  bitsPerSample[trackIndex] = format.bitsPerSample;
}

std::uint64_t SAMPLE_END(const char* sourceName, std::uint32_t dataStart) {
  File source(std::fopen(sourceName, "rb"));
  if (!source) endRun("Unable to open file.", 2);
  const off_t length = lengthOf(source.get());
  if (length < 0) endRun("Unable to read file.", 2);
  const auto fileLength = static_cast<std::uint64_t>(length);
  if (dataStart > fileLength) return fileLength;  // no samples at all

  unsigned char sizeField[4];
  if (readAt(source.get(), dataStart - 4, sizeField, 4) != 4) endRun("Unable to read file.", 2);
  const std::uint32_t declaredSize = Assem4(sizeField);
  unsigned char next[9];
  long got = 0;
  const std::uint64_t end = std::uint64_t{dataStart} + declaredSize;
  if (end < fileLength) got = readAt(source.get(), end, next, sizeof next);
  if (got < 0) endRun("Unable to read file.", 2);
  return sampleAreaEnd(dataStart, declaredSize, fileLength, next, static_cast<std::size_t>(got));
}
