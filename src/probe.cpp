// The source probe: finds the format and data chunks by searching the start of the file for
// their tags, the way the tool always has, but refuses tags that lie inside another chunk, and
// walks the chunk list on past the searched head when a tag is not there.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tarnvell2.h"

static_assert(sizeof(off_t) == 8, "build with large-file support (_FILE_OFFSET_BITS=64)");

namespace {

constexpr std::size_t kCandidates = kLastCandidate / 2;  // the even offsets 2 .. 15000
// Bytes from a format tag to the end of the last field read (the sub-format of
// WAVE_FORMAT_EXTENSIBLE).
constexpr std::size_t kFormatFields = 48;
constexpr std::uint32_t kPcm = 1, kFloat = 3, kALaw = 6, kMuLaw = 7, kExtensible = 0xFFFE;
// An EXTENSIBLE sub-format outside the family of GUIDs that stand for a format tag.
constexpr std::uint32_t kUnknownSubFormat = 0x10000;
// The 14 bytes that follow the format tag in every sub-format GUID of that family.
const unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                     0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// The same as sox writes it in RIFX: the GUID's 16-bit fields big-endian.
const unsigned char kGuidTailBig[14] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::string hex(std::uint32_t tag) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) text += digits[(tag >> shift) & 0xF];
  return text;
}

// "format 0x0161", "format 0xFFFE with sub-format 0x0011": for the reason lines.
std::string formatName(std::uint32_t tag, std::uint32_t effective) {
  if (tag != kExtensible) return "format " + hex(tag);
  if (effective == kUnknownSubFormat) return "format 0xFFFE with an unknown sub-format";
  return "format 0xFFFE with sub-format " + hex(effective);
}

// Seen in files from ALSA's arecord -f S24_LE: 24-bit samples in the low three bytes of 4-byte
// containers, which only a plain PCM format chunk's block align (4 bytes a channel) tells.
bool arecordLayout(std::uint32_t channels, std::uint32_t blockAlign, std::uint32_t bits) {
  return bits == 24 && channels > 0 && blockAlign == 4 * channels;
}

// A PCM format chunk, plain or EXTENSIBLE, says where a sample sits only when the block align
// is its bytes for each channel: in a larger slot it could be the high bytes or the low ones.
// Never a guess.
std::string misaligned(std::uint32_t channels, std::uint32_t blockAlign, std::uint32_t bits) {
  return "block align " + std::to_string(blockAlign) + " is not " + std::to_string(channels) +
         (channels == 1 ? " channel of " : " channels of ") + std::to_string(bits) + " bits";
}

// The rules of -a: any channel count from 2, PCM of any width in whole bytes, float, A-law and
// mu-law, each sample copied whole from its container. `effective` is the format tag or the one
// the EXTENSIBLE sub-format stands for; `valid` the bits of the container that are used.
SourceFormat anyFormatSamples(std::uint32_t tag, std::uint32_t effective, std::uint32_t channels,
                              std::uint32_t blockAlign, std::uint32_t bits, std::uint32_t valid,
                              bool bigEndian) {
  // arecord's low bytes are a little-endian layout: in RIFX they would be the high ones.
  const bool arecord = !bigEndian && tag == kPcm && arecordLayout(channels, blockAlign, bits);
  SourceFormat format;
  format.verdict = Verdict::notStereo;
  if (channels < 2) {
    format.reason = channels == 0 ? "has no channels" : "has one channel, nothing to split";
    return format;
  }
  format.verdict = Verdict::badBits;
  if (effective != kPcm && effective != kFloat && effective != kALaw && effective != kMuLaw) {
    format.reason = formatName(tag, effective) + " cannot be split by copying bytes";
    return format;
  }
  // EXTENSIBLE's bits are its container: a larger block align says no more than plain PCM's.
  if ((tag == kPcm || tag == kExtensible) && bits > 0 &&
      blockAlign != channels * ((bits + 7) / 8) && !arecord) {
    format.reason = misaligned(channels, blockAlign, bits);
    return format;
  }
  if (blockAlign == 0 || blockAlign % channels != 0) {
    format.reason = "block align " + std::to_string(blockAlign) +
                    " is not a whole number of bytes for each of " + std::to_string(channels) +
                    " channels";
    return format;
  }
  const std::uint32_t container = blockAlign / channels;
  format.coding = effective == kFloat   ? Coding::ieeeFloat
                  : effective == kALaw  ? Coding::aLaw
                  : effective == kMuLaw ? Coding::muLaw
                                        : Coding::pcm;
  const bool fits = format.coding == Coding::pcm ? valid > 0 && valid <= container * 8
                    : format.coding == Coding::ieeeFloat
                        ? (container == 4 || container == 8) && bits == container * 8
                        : container == 1 && bits == 8;
  if (!fits) {
    format.reason = std::to_string(format.coding == Coding::pcm ? valid : bits) +
                    "-bit samples in " + std::to_string(container) +
                    "-byte containers cannot be split as " + formatName(tag, effective);
    return format;
  }
  format.verdict = Verdict::usable;
  format.channels = channels;
  format.containerBytes = container;
  format.bytesPerSample = container;
  format.bitsPerSample = format.coding == Coding::pcm ? valid : container * 8;
  // arecord's layout, known to be low bytes, is packed to three bytes for any channel count.
  if (arecord) format.bytesPerSample = 3;
  return format;
}

// What -a would split, for the hint: "32-bit float samples", "6 channels".
std::string hintFor(const SourceFormat& any) {
  if (any.channels > 2)
    return std::to_string(any.channels) + " channels; -a splits each into a file of its own";
  std::string kind = std::to_string(any.bitsPerSample) + "-bit";
  if (any.coding == Coding::ieeeFloat) kind += " float";
  if (any.coding == Coding::aLaw) kind = "A-law";
  if (any.coding == Coding::muLaw) kind = "mu-law";
  kind += " samples";
  if (any.coding == Coding::pcm && any.bitsPerSample != any.containerBytes * 8)
    kind += " in " + std::to_string(any.containerBytes) + "-byte containers";
  return kind + "; -a splits them";
}

// What a file that is no RIFF, RF64 or BW64 looks like, from its first bytes, where it is what
// users meet most, a renamed MP3 or a text file; "" where it is neither.
std::string lookOf(const unsigned char* head, std::size_t length) {
  if (std::memcmp(head, "ID3", 3) == 0 || (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))
    return "it begins as an MP3 file does";
  const bool text =
      std::all_of(head, head + std::min<std::size_t>(length, 512), [](unsigned char c) {
        return (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r';
      });
  return text ? "it holds text" : "";
}

std::size_t slot(std::uint64_t offset) {
  return static_cast<std::size_t>(offset / 2 - 1);
}

// "RIFF", the 64-bit forms "RF64" (EBU) and "BW64" (ITU), or big-endian "RIFX", with "WAVE" at
// offset 8.
bool rifx(const unsigned char* head, std::size_t headLength);

bool waveForm(const unsigned char* head, std::size_t headLength) {
  return (headLength >= 12 &&
          (std::memcmp(head, "RIFF", 4) == 0 || std::memcmp(head, "RF64", 4) == 0 ||
           std::memcmp(head, "BW64", 4) == 0) &&
          std::memcmp(head + 8, "WAVE", 4) == 0) ||
         rifx(head, headLength);
}

// RIFX whose first chunk's size is big-endian: the smaller of its two readings. A "RIFX" head
// over little-endian chunks, which the search has always split as it split RIFF, stays that.
bool rifx(const unsigned char* head, std::size_t headLength) {
  return headLength >= 20 && std::memcmp(head, "RIFX", 4) == 0 &&
         std::memcmp(head + 8, "WAVE", 4) == 0 && Assem4(head + 16, true) <= Assem4(head + 16);
}

// What walking the chunk list from offset 12 found: the candidates that lie inside a chunk body
// and the first chunks tagged "fmt " and "data" (0 when there is none).
struct Walk {
  bool inside[kCandidates] = {};
  std::uint64_t fmtAt = 0;
  std::uint64_t dataAt = 0;
  std::uint64_t steps = 0;  // chunk headers read
  bool readError = false;
};

// Seen in files written by ffmpeg: a LIST comment holding the word "metadata" puts "data" at an
// even offset inside the LIST body, so candidates inside walked bodies are skipped. Seen in Pro
// Tools files and Zoom F8 takes: padding chunks (elm1, PAD) push the data chunk past byte 15000,
// so the walk goes on to the end of the file, one 8-byte header read per chunk. Past the head it
// only goes where a tag is still missing.
void walkChunks(const ReadAt& read, const unsigned char* head, std::size_t headLength,
                std::uint64_t fileLength, Walk& walk) {
  if (!waveForm(head, headLength)) return;
  const bool big = rifx(head, headLength);
  for (std::uint64_t at = 12; at + 8 <= fileLength; ++walk.steps) {
    const bool needFmt = walk.fmtAt == 0, needData = walk.dataAt == 0;
    if (at > kLastCandidate && !needFmt && !needData) return;
    unsigned char header[8];
    if (read(at, header, 8) != 8) {
      walk.readError = true;
      return;
    }
    const bool isData = std::memcmp(header, "data", 4) == 0;
    // The samples of a data chunk must start where the 32-bit dataStart can point.
    if (isData && at + 8 > 0xFFFFFFFFu) return;
    if (!wellFormedChunk(header, at, fileLength, big)) {
      // Streamed and cut files: a data chunk whose size runs past the end is still the data.
      if (isData && needData) walk.dataAt = at;
      return;
    }
    if (needFmt && std::memcmp(header, "fmt ", 4) == 0) walk.fmtAt = at;
    if (needData && isData) walk.dataAt = at;
    const std::uint64_t size = Assem4(header + 4, big);
    const std::uint64_t bodyEnd = at + 8 + size;
    // The even offsets of the body up to the last candidate, in one fill: a short source's
    // data chunk covers them all.
    const std::uint64_t first = (at + 8 + 1) & ~std::uint64_t{1};
    const std::uint64_t last =
        std::min<std::uint64_t>(kLastCandidate, bodyEnd - 1) & ~std::uint64_t{1};
    if (first <= last) std::fill(walk.inside + slot(first), walk.inside + slot(last) + 1, true);
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

bool printableTag(const unsigned char* tag) {
  return std::all_of(tag, tag + 4, [](unsigned char c) { return c >= 0x20 && c <= 0x7E; });
}

bool wellFormedChunk(const unsigned char* header, std::uint64_t at, std::uint64_t fileLength,
                     bool bigEndian) {
  if (at + 8 > fileLength || !printableTag(header)) return false;
  return at + 8 + Assem4(header + 4, bigEndian) <= fileLength;
}

SourceFormat describeSamples(const unsigned char* fields, std::size_t length, bool anyFormat,
                             bool bigEndian) {
  const bool big = bigEndian;
  // A field cut off by the end of the file is as unusable as a wrong one.
  const std::uint32_t tag = length >= 10 ? Assem2(fields + 8, big) : 0;
  const std::uint32_t channels = length >= 12 ? Assem2(fields + 10, big) : 0;
  const std::uint32_t blockAlign = length >= 22 ? Assem2(fields + 20, big) : 0;
  const std::uint32_t bits = length >= 24 ? Assem2(fields + 22, big) : 0;
  // WAVE_FORMAT_EXTENSIBLE says what its samples are in the sub-format GUID, and how many bits
  // of each container are used in the valid bits, where the chunk is long enough to hold them.
  std::uint32_t effective = tag == kExtensible ? kPcm : tag, valid = bits;
  if (tag == kExtensible && length >= 8 && Assem4(fields + 4, big) >= 40) {
    effective =
        length >= kFormatFields && (std::memcmp(fields + 34, kGuidTail, 14) == 0 ||
                                    (big && std::memcmp(fields + 34, kGuidTailBig, 14) == 0))
            ? Assem2(fields + 32, big)
            : kUnknownSubFormat;
    valid = length >= 28 && Assem2(fields + 26, big) != 0 ? Assem2(fields + 26, big) : bits;
  }
  SourceFormat format;
  format.channels = channels;
  format.sampleRate = Assem4(fields + 12, big);
  format.bigEndian = big;
  if (big && !anyFormat) {
    // Refused as before, when its fields were read the other way round; now saying why.
    format.verdict = Verdict::notStereo;
  } else if (channels != 2) {
    format.verdict = Verdict::notStereo;
  } else if (effective != kPcm) {
    format.verdict = Verdict::badBits;
    format.reason = formatName(tag, effective) + " is not PCM";
  } else if ((bits == 16 || bits == 24) &&
             (blockAlign == bits / 4 ||
              (!big && tag == kPcm && arecordLayout(channels, blockAlign, bits)))) {
    format.verdict = Verdict::usable;
    format.bitsPerSample = bits;
    format.bytesPerSample = bits / 8;
    format.containerBytes = blockAlign / 2;
    return format;
  } else {
    format.verdict = Verdict::badBits;
  }
  // Refused by the tool's own rules: -a may split it, or would say why not.
  SourceFormat any = anyFormatSamples(tag, effective, channels, blockAlign, bits, valid, big);
  any.sampleRate = format.sampleRate;
  any.bigEndian = big;
  const char* const cut = "its format chunk is cut off by the end of the file";
  if (anyFormat) {
    if (any.verdict != Verdict::usable) any.channels = channels;
    if (any.verdict != Verdict::usable && length < 24) any.reason = cut;
    return any;
  }
  if (big)
    format.reason = any.verdict == Verdict::usable
                        ? "big-endian RIFX: -a splits it"
                        : "big-endian RIFX, and " + std::string(length < 24 ? cut : any.reason);
  else if (length < 24)
    format.reason = cut;
  else if (any.verdict == Verdict::usable)
    format.reason = hintFor(any);
  else if (format.reason.empty())
    format.reason = channels > 2
                        ? "has " + std::to_string(channels) + " channels, and " + any.reason
                        : any.reason;
  return format;
}

SourceFormat probeSource(const ReadAt& read, std::uint64_t fileLength, bool anyFormat) {
  SourceFormat format;
  unsigned char head[kProbeHeadBytes];
  const long got = read(0, head, sizeof head);
  Walk walk;
  if (got >= 0) walkChunks(read, head, static_cast<std::size_t>(got), fileLength, walk);
  if (got < 0 || walk.readError) {
    format.verdict = Verdict::unreadable;
    return format;
  }
  const auto headLength = static_cast<std::size_t>(got);
  format.steps = walk.steps;

  // Where the searches looked, for the reason of a tag not found.
  const std::string where = std::string(" at an even offset from 2 to 15000") +
                            (waveForm(head, headLength) ? ", nor in the chunk list" : "");
  std::uint64_t f = findTag(head, headLength, walk.inside, "fmt", 3);
  if (f == 0) f = walk.fmtAt;
  if (f == 0) {
    // Fewer than 12 bytes may be a RIFF header cut short.
    const std::string look =
        waveForm(head, headLength) || headLength < 12 ? "" : lookOf(head, headLength);
    format.reason = headLength == 0 ? "the file is empty"
                    : look.empty()  ? "no fmt chunk" + where
                                    : "not a WAVE file: " + look;
    return format;  // noFormat
  }
  unsigned char fields[kFormatFields] = {};
  const long fieldsGot = read(f, fields, sizeof fields);
  if (fieldsGot < 0) {
    format.verdict = Verdict::unreadable;
    return format;
  }
  format = describeSamples(fields, static_cast<std::size_t>(fieldsGot), anyFormat,
                           rifx(head, headLength));
  format.steps = walk.steps;
  if (format.verdict != Verdict::usable) return format;
  std::uint64_t d = findTag(head, headLength, walk.inside, "data", 4);
  if (d == 0) d = walk.dataAt;
  if (d == 0) {
    format.verdict = Verdict::noData;
    format.reason = "no data chunk" + where;
    return format;
  }
  format.dataStart = static_cast<std::uint32_t>(d + 8);
  return format;
}

std::uint64_t sampleAreaEnd(std::uint64_t dataStart, std::uint64_t declaredSize,
                            std::uint64_t fileLength, const unsigned char* next,
                            std::size_t nextLength, bool bigEndian) {
  // Also for kUnknownSize, and without overflow for any 64-bit size.
  if (dataStart >= fileLength || declaredSize >= fileLength - dataStart) return fileLength;
  const std::uint64_t end = dataStart + declaredSize;
  // Seen in Pro Tools files whose audio was removed: size 0, then regn, umid and DGDA chunks.
  if (nextLength >= 8 && wellFormedChunk(next, end, fileLength, bigEndian)) return end;
  // Streaming writers leave 0 and come back for it never: the samples run to the end.
  if (declaredSize == 0) return fileLength;
  if ((declaredSize & 1) != 0 && nextLength >= 9 &&
      wellFormedChunk(next + 1, end + 1, fileLength, bigEndian))
    return end;
  // The one byte after an odd size, at the end of the file, is its pad byte, whatever its value.
  if ((declaredSize & 1) != 0 && end + 1 == fileLength) return end;
  // No chunk follows: audio the recorder never counted in its header is kept.
  return fileLength;
}

bool declaredDataSize(const ReadAt& read, std::uint32_t dataStart, std::uint64_t& declared,
                      bool bigEndian) {
  unsigned char sizeField[4];
  if (read(dataStart - 4, sizeField, 4) != 4) return false;
  declared = Assem4(sizeField, bigEndian);
  if (declared == 0xFFFFFFFFu) {
    declared = kUnknownSize;
    // RF64 and BW64 keep the real size in the ds64 chunk, which comes first: its body holds the
    // RIFF size, then the data size, 64 bits each.
    unsigned char head[36];
    const long got = read(0, head, sizeof head);
    if (got < 0) return false;
    if (got == sizeof head && waveForm(head, 12) && std::memcmp(head, "RIFF", 4) != 0 &&
        !bigEndian && std::memcmp(head + 12, "ds64", 4) == 0 && Assem4(head + 16) >= 16)
      declared = Assem8(head + 28);
  }
  return true;
}

bool measureSampleArea(const ReadAt& read, std::uint64_t fileLength, std::uint32_t dataStart,
                       std::uint64_t& end, bool bigEndian) {
  end = fileLength;
  if (dataStart > fileLength) return true;  // no samples at all
  std::uint64_t declared;
  if (!declaredDataSize(read, dataStart, declared, bigEndian)) return false;
  unsigned char next[9];
  long got = 0;
  if (declared < fileLength - dataStart) got = read(dataStart + declared, next, sizeof next);
  if (got < 0) return false;
  end = sampleAreaEnd(dataStart, declared, fileLength, next, static_cast<std::size_t>(got),
                      bigEndian);
  return true;
}

SourceFormat probeFile(const char* sourceName, bool anyFormat, int& error) {
  Source source;
  error = openSource(sourceName, source);
  if (error != 0) {
    SourceFormat format;
    format.verdict = Verdict::unreadable;
    return format;
  }
  return probeSource(source.reader(error), source.length, anyFormat);
}

SourceFormat GET_ATTRIBUTES(Source& source, bool anyFormat) {
  int error = 0;
  // A stream's head is read on to the hold, or its end: one that ends within it is probed as the
  // same bytes in a file would be; of a longer one, the probe sees the hold.
  if (source.stream && !source.hold(kStreamHold)) error = errno;
  SourceFormat format =
      probeSource(source.reader(error), source.stream ? source.pulled : source.length, anyFormat);
  if (error != 0) format.verdict = Verdict::unreadable;
  if (source.stream && source.pulled == 0 && streamStopped())
    format.reason = "interrupted before any data arrived";
  else if (source.stream && !source.ended &&
           (format.verdict == Verdict::noFormat || format.verdict == Verdict::noData))
    format.reason +=
        " in the first 4 MiB of the stream, which is all a stream may hold before "
        "its samples";
  if (format.verdict == Verdict::notStereo) skipIfOutputOfAnother(source);
  if (format.verdict != Verdict::usable && !format.reason.empty())
    printReason(source.name, format.reason);
  switch (format.verdict) {
    case Verdict::unreadable:
      failRun(source.name, std::strerror(error),
              "Cannot find file in track list called " + source.name + "!!", 2);
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
  return format;
}

std::uint64_t SAMPLE_END(Source& source, const SourceFormat& format) {
  const std::uint32_t dataStart = format.dataStart;
  const bool big = format.bigEndian;
  std::uint64_t end = 0, declared = 0;
  // Through the probe's window: the data size was read with the header.
  const ReadAt read = [&source](std::uint64_t at, unsigned char* buffer, std::size_t count) {
    return source.read(at, buffer, count);
  };
  const bool measured = !source.stream || source.ended
                            ? measureSampleArea(read, source.length, dataStart, end, big)
                            : declaredDataSize(read, dataStart, declared, big);
  if (!measured) failRun(source.name, std::strerror(errno), "Unable to read file.", 2);
  // A recorder that has not yet come back for its sizes: what is there so far is split.
  if ((!source.stream || source.ended) && end > dataStart &&
      declaredDataSize(read, dataStart, declared, big) && declared == 0)
    printReason(source.name,
                "the header declares no data size (a recording in progress?); "
                "split up to byte " +
                    std::to_string(end));
  if (!source.stream) return end;
  // A stream that ended within the hold is known whole. Of a longer one, the samples are read to
  // the declared end, where what follows decides; the outputs are planned for the declared
  // size, but for the sizes that streaming writers leave when they cannot know it.
  if (source.ended) return source.declaredEnd = end;
  source.declaredEnd = declared == kUnknownSize ? kUnknownSize : dataStart + declared;
  const bool guess = declared == 0 || declared == 0x7FFFFFFF || declared == 0x80000000u ||
                     declared == kUnknownSize;
  return guess ? kUnknownSize : source.declaredEnd;
}
