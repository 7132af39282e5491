// Unit tests for the pure pieces: byte order, output names, the probe's decisions, the sample
// area end, the header bytes and the channel copy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tarnvell2.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put(Bytes& b, std::size_t at, const void* data, std::size_t n) {
  if (b.size() < at + n) b.resize(at + n);
  std::memcpy(b.data() + at, data, n);
}
void put16(Bytes& b, std::size_t at, std::uint32_t v) {
  const unsigned char x[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  put(b, at, x, 2);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  const unsigned char x[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
  put(b, at, x, 4);
}
void chunk(Bytes& b, const char* tag, std::uint32_t size) {
  const std::size_t at = b.size();
  put(b, at, tag, 4);
  put32(b, at + 4, size);
}

// A RIFF/WAVE file: fmt chunk, then `between` (whole chunks), then a data chunk of n bytes.
Bytes wave(std::uint32_t channels, std::uint32_t bits, std::uint32_t rate, std::size_t n,
           const Bytes& between = {}) {
  Bytes b;
  chunk(b, "RIFF", 0);
  put(b, 8, "WAVE", 4);
  chunk(b, "fmt ", 16);
  put16(b, 20, 1);
  put16(b, 22, channels);
  put32(b, 24, rate);
  put32(b, 28, rate * channels * bits / 8);
  put16(b, 32, channels * bits / 8);
  put16(b, 34, bits);
  b.insert(b.end(), between.begin(), between.end());
  chunk(b, "data", static_cast<std::uint32_t>(n));
  b.resize(b.size() + n, 0x55);
  put32(b, 4, static_cast<std::uint32_t>(b.size() - 8));
  return b;
}

// A file held in memory, as the probe reads it.
ReadAt reader(const Bytes& b) {
  return [&b](std::uint64_t at, unsigned char* buffer, std::size_t count) {
    if (at >= b.size()) return 0L;
    const std::size_t n = std::min<std::uint64_t>(count, b.size() - at);
    std::memcpy(buffer, b.data() + at, n);
    return static_cast<long>(n);
  };
}

SourceFormat probe(const Bytes& b) {
  return probeSource(reader(b), b.size());
}

TEST(ByteOrder, AssemblesAndTakesApart) {
  const struct {
    Bytes bytes;
    std::uint32_t value;
  } cases[] = {
      {{0x02, 0x00}, 2},
      {{0x18, 0x00}, 24},
      {{0xFF, 0xFF}, 65535},
      {{0x44, 0xAC, 0x00, 0x00}, 44100},
      {{0x80, 0xBB, 0x00, 0x00}, 48000},
      {{0x88, 0x58, 0x01, 0x00}, 88200},
      {{0x00, 0x00, 0x00, 0x80}, 0x80000000u},
      {{0xDB, 0xFF, 0xFF, 0xFF}, 0xFFFFFFDBu},
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    unsigned char out[4] = {};
    if (c.bytes.size() == 2) {
      EXPECT_EQ(Assem2(c.bytes.data()), c.value);
      Decon2(static_cast<std::uint16_t>(c.value), out);
    } else {
      EXPECT_EQ(Assem4(c.bytes.data()), c.value);
      Decon4(c.value, out);
    }
    EXPECT_EQ(Bytes(out, out + c.bytes.size()), c.bytes) << c.value;
  }
}

TEST(Names, CutsTheLastComponentAndKeepsTheFolder) {
  const struct {
    const char* source;
    const char* left;  // nullptr: the filename error
  } cases[] = {
      {"song.wav", "songL.wav"},
      {"my.song.wav", "myL.wav"},
      {"song", "songL.wav"},
      {".hidden.wav", "hiddenL.wav"},
      {"old.takes/song.wav", "old.takes/songL.wav"},
      {"./song.wav", "./songL.wav"},
      {"dir/my.song.wav", "dir/myL.wav"},
      {"/abs/dir/a b.wav", "/abs/dir/a bL.wav"},
      {"x", "xL.wav"},
      {"...", nullptr},
      {"dir/...", nullptr},
      {"dir/", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    std::string left, right;
    const bool ok = outputNames(c.source, left, right);
    ASSERT_EQ(ok, c.left != nullptr) << c.source;
    if (!ok) continue;
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(right, left.substr(0, left.size() - 5) + "R.wav");
  }
}

TEST(Names, HaveNoLengthLimit) {
  const std::string base(5000, 'a');
  std::string left, right;
  ASSERT_TRUE(outputNames(base + ".wav", left, right));
  EXPECT_EQ(right, base + "R.wav");
}

TEST(Names, TemporaryNamesSitBesideTheOutputAndFitTheFileSystem) {
  const struct {
    std::string destination, suffix, temporary;
  } cases[] = {
      {"songL.wav", ".XXXXXX", ".songL.wav.XXXXXX"},
      {"takes/songL.wav", ".XXXXXX", "takes/.songL.wav.XXXXXX"},
      {"/abs/.hiddenR.wav", ".XXXXXX", "/abs/..hiddenR.wav.XXXXXX"},
      {"takes/songL.wav", ".tarnvell2", "takes/.songL.wav.tarnvell2"},
  };
  for (const auto& c : cases) EXPECT_EQ(temporaryName(c.destination, c.suffix), c.temporary);
  // A long name is cut to fit NAME_MAX, and two that differ only past the cut stay apart: the
  // fixed names of one commit must never be one file.
  const std::string longName(300, 'n');
  for (const char* suffix : {".XXXXXX", ".tarnvell2"}) {
    const std::string a = temporaryName("d/" + longName + "_1.wav", suffix);
    const std::string b = temporaryName("d/" + longName + "_2.wav", suffix);
    EXPECT_EQ(a.size(), 2 + 255u);
    EXPECT_EQ(a.compare(0, 3 + 200, "d/." + longName.substr(0, 200)), 0);
    EXPECT_EQ(a.compare(a.size() - std::strlen(suffix), std::string::npos, suffix), 0);
    EXPECT_NE(a, b);
  }
}

TEST(Probe, ReadsTheAttributesOfUsableFiles) {
  const struct {
    std::uint32_t bits, rate, bytesPerSample, align, containerBytes;
    const char* refused;  // the reason, where the block align leaves the samples unknown
  } cases[] = {
      {16, 44100, 2, 4, 2, nullptr},
      {24, 48000, 3, 6, 3, nullptr},
      {16, 0xFFFFFFFFu, 2, 4, 2, nullptr},
      {24, 48000, 3, 8, 4, nullptr},  // arecord -f S24_LE
      {16, 48000, 2, 8, 0, "block align 8 is not 2 channels of 16 bits"},
      {24, 48000, 3, 7, 0, "block align 7 is not 2 channels of 24 bits"},
      {16, 48000, 2, 0, 0, "block align 0 is not 2 channels of 16 bits"},
  };
  for (const auto& c : cases) {
    Bytes file = wave(2, c.bits, c.rate, 100);
    put16(file, 32, c.align);
    for (const bool any : {false, true}) {
      const SourceFormat f = probeSource(reader(file), file.size(), any);
      if (c.refused) {
        EXPECT_EQ(f.verdict, Verdict::badBits) << c.align;
        EXPECT_EQ(f.reason, c.refused) << c.align;
        continue;
      }
      EXPECT_EQ(f.containerBytes, c.containerBytes) << c.align;
      EXPECT_EQ(f.verdict, Verdict::usable);
      EXPECT_EQ(f.channels, 2u);
      EXPECT_EQ(f.bitsPerSample, c.bits);
      EXPECT_EQ(f.bytesPerSample, c.bytesPerSample);
      EXPECT_EQ(f.sampleRate, c.rate);
      EXPECT_EQ(f.dataStart, 44u);
    }
  }
}

TEST(Probe, RejectsInTheOrderOfItsChecks) {
  Bytes noData = wave(2, 16, 44100, 0);
  put(noData, 36, "DATA", 4);
  Bytes monoNoData = wave(1, 8, 44100, 0);
  put(monoNoData, 36, "DATA", 4);
  Bytes noFmt = wave(2, 16, 44100, 4);
  put(noFmt, 12, "FMT ", 4);
  const struct {
    const char* what;
    Bytes file;
    Verdict verdict;
  } cases[] = {
      {"mono 16", wave(1, 16, 44100, 8), Verdict::notStereo},
      {"mono 8", wave(1, 8, 44100, 8), Verdict::notStereo},
      {"65535 channels", wave(65535, 16, 44100, 8), Verdict::notStereo},
      {"stereo 8", wave(2, 8, 44100, 8), Verdict::badBits},
      {"stereo 32", wave(2, 32, 44100, 8), Verdict::badBits},
      {"stereo 0 bits", wave(2, 0, 44100, 8), Verdict::badBits},
      {"no data tag", noData, Verdict::noData},
      {"mono and no data tag", monoNoData, Verdict::notStereo},
      {"no fmt tag", noFmt, Verdict::noFormat},
      {"empty", Bytes{}, Verdict::noFormat},
  };
  for (const auto& c : cases) EXPECT_EQ(probe(c.file).verdict, c.verdict) << c.what;
}

// A format chunk, its 8-byte header included: tag, channels, block align, bits; for EXTENSIBLE
// (size 40) also the valid bits and the sub-format's tag, or a GUID outside the family.
Bytes fmtChunk(std::uint32_t tag, std::uint32_t channels, std::uint32_t align, std::uint32_t bits,
               std::uint32_t valid = 0, std::uint32_t sub = 1, bool family = true) {
  Bytes b;
  chunk(b, "fmt ", tag == 0xFFFE ? 40 : 16);
  put16(b, 8, tag);
  put16(b, 10, channels);
  put32(b, 12, 48000);
  put32(b, 16, 48000 * align);
  put16(b, 20, align);
  put16(b, 22, bits);
  if (tag == 0xFFFE) {
    put16(b, 24, 22);
    put16(b, 26, valid);
    put32(b, 28, 0x3);
    put16(b, 32, sub);
    const unsigned char tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    put(b, 34, tail, 14);
    if (!family) b[40] ^= 0xFF;
  }
  return b;
}

TEST(Probe, DescribesTheSamplesByTheDefaultRulesAndThoseOfAnyFormat) {
  Bytes shortExtensible = fmtChunk(0xFFFE, 2, 4, 16, 16, 3);
  put32(shortExtensible, 4, 18);
  const struct {
    const char* what;
    Bytes fields;
    bool any;
    Verdict verdict;
    const char* reason;
    std::uint32_t channels, width, bits, container;
    Coding coding;
  } cases[] = {
      // The tool's own rules; -a splits the same files byte for byte the same.
      {"s16", fmtChunk(1, 2, 4, 16), false, Verdict::usable, "", 2, 2, 16, 2, Coding::pcm},
      {"s16 -a", fmtChunk(1, 2, 4, 16), true, Verdict::usable, "", 2, 2, 16, 2, Coding::pcm},
      {"arecord s24 in 32, -a", fmtChunk(1, 2, 8, 24), true, Verdict::usable, "", 2, 3, 24, 4,
       Coding::pcm},
      {"EXTENSIBLE PCM 20 in 24", fmtChunk(0xFFFE, 2, 6, 24, 20), true, Verdict::usable, "", 2, 3,
       24, 3, Coding::pcm},
      {"EXTENSIBLE, chunk too short for a sub-format: PCM", shortExtensible, false, Verdict::usable,
       "", 2, 2, 16, 2, Coding::pcm},
      // The format tag is read: WMA declares 16 bits.
      {"WMA", fmtChunk(0x161, 2, 4, 16), false, Verdict::badBits, "format 0x0161 is not PCM", 2, 0,
       0, 0, Coding::pcm},
      {"WMA -a", fmtChunk(0x161, 2, 4, 16), true, Verdict::badBits,
       "format 0x0161 cannot be split by copying bytes", 2, 0, 0, 0, Coding::pcm},
      {"EXTENSIBLE ADPCM", fmtChunk(0xFFFE, 2, 4, 16, 16, 2), false, Verdict::badBits,
       "format 0xFFFE with sub-format 0x0002 is not PCM", 2, 0, 0, 0, Coding::pcm},
      {"EXTENSIBLE, GUID outside the family -a", fmtChunk(0xFFFE, 2, 4, 16, 16, 1, false), true,
       Verdict::badBits,
       "format 0xFFFE with an unknown sub-format cannot be split by copying bytes", 2, 0, 0, 0,
       Coding::pcm},
      // Hints without -a, splits with it.
      {"f32", fmtChunk(3, 2, 8, 32), false, Verdict::badBits,
       "32-bit float samples; -a splits them", 2, 0, 0, 0, Coding::pcm},
      {"f32 -a", fmtChunk(3, 2, 8, 32), true, Verdict::usable, "", 2, 4, 32, 4, Coding::ieeeFloat},
      {"f64 -a", fmtChunk(0xFFFE, 2, 16, 64, 64, 3), true, Verdict::usable, "", 2, 8, 64, 8,
       Coding::ieeeFloat},
      {"u8", fmtChunk(1, 2, 2, 8), false, Verdict::badBits, "8-bit samples; -a splits them", 2, 0,
       0, 0, Coding::pcm},
      {"mu-law -a", fmtChunk(7, 2, 2, 8), true, Verdict::usable, "", 2, 1, 8, 1, Coding::muLaw},
      {"A-law", fmtChunk(6, 2, 2, 8), false, Verdict::badBits, "A-law samples; -a splits them", 2,
       0, 0, 0, Coding::pcm},
      {"24 valid in 32", fmtChunk(0xFFFE, 2, 8, 32, 24), false, Verdict::badBits,
       "24-bit samples in 4-byte containers; -a splits them", 2, 0, 0, 0, Coding::pcm},
      {"24 valid in 32 -a", fmtChunk(0xFFFE, 2, 8, 32, 24), true, Verdict::usable, "", 2, 4, 24, 4,
       Coding::pcm},
      {"12 bits in 16 -a", fmtChunk(1, 2, 4, 12), true, Verdict::usable, "", 2, 2, 12, 2,
       Coding::pcm},
      {"5.1", fmtChunk(0xFFFE, 6, 18, 24, 24), false, Verdict::notStereo,
       "6 channels; -a splits each into a file of its own", 6, 0, 0, 0, Coding::pcm},
      {"5.1 -a", fmtChunk(0xFFFE, 6, 18, 24, 24), true, Verdict::usable, "", 6, 3, 24, 3,
       Coding::pcm},
      {"64 channels -a", fmtChunk(1, 64, 512, 64), true, Verdict::usable, "", 64, 8, 64, 8,
       Coding::pcm},
      // Still refused with -a.
      {"mono -a", fmtChunk(1, 1, 2, 16), true, Verdict::notStereo,
       "has one channel, nothing to split", 1, 0, 0, 0, Coding::pcm},
      {"mono: the reason, no hint", fmtChunk(3, 1, 4, 32), false, Verdict::notStereo,
       "has one channel, nothing to split", 1, 0, 0, 0, Coding::pcm},
      {"six channels of ADPCM", fmtChunk(0x11, 6, 1024, 4), false, Verdict::notStereo,
       "has 6 channels, and format 0x0011 cannot be split by copying bytes", 6, 0, 0, 0,
       Coding::pcm},
      // A PCM format chunk, plain or EXTENSIBLE, whose block align leaves the samples' place in
      // their slots unknown, with or without -a.
      {"s16 in 4 bytes", fmtChunk(1, 2, 8, 16), false, Verdict::badBits,
       "block align 8 is not 2 channels of 16 bits", 2, 0, 0, 0, Coding::pcm},
      {"s16 in 4 bytes -a", fmtChunk(1, 2, 8, 16), true, Verdict::badBits,
       "block align 8 is not 2 channels of 16 bits", 2, 0, 0, 0, Coding::pcm},
      {"EXTENSIBLE s16 in 4 bytes", fmtChunk(0xFFFE, 2, 8, 16, 16), true, Verdict::badBits,
       "block align 8 is not 2 channels of 16 bits", 2, 0, 0, 0, Coding::pcm},
      {"arecord s24 in 32, four channels -a", fmtChunk(1, 4, 16, 24), true, Verdict::usable, "", 4,
       3, 24, 4, Coding::pcm},
      {"no channels -a", fmtChunk(1, 0, 0, 16), true, Verdict::notStereo, "has no channels", 0, 0,
       0, 0, Coding::pcm},
      {"block align 3 -a", fmtChunk(1, 2, 3, 8), true, Verdict::badBits,
       "block align 3 is not 2 channels of 8 bits", 2, 0, 0, 0, Coding::pcm},
      {"block align 3, EXTENSIBLE -a", fmtChunk(0xFFFE, 2, 3, 8, 8), true, Verdict::badBits,
       "block align 3 is not 2 channels of 8 bits", 2, 0, 0, 0, Coding::pcm},
      {"17 bits in 2 bytes -a", fmtChunk(1, 2, 4, 17), true, Verdict::badBits,
       "block align 4 is not 2 channels of 17 bits", 2, 0, 0, 0, Coding::pcm},
      {"17 bits in 2 bytes, EXTENSIBLE -a", fmtChunk(0xFFFE, 3, 6, 16, 17), true, Verdict::badBits,
       "17-bit samples in 2-byte containers cannot be split as format 0xFFFE with sub-format "
       "0x0001",
       3, 0, 0, 0, Coding::pcm},
      {"0 bits -a", fmtChunk(1, 2, 4, 0), true, Verdict::badBits,
       "0-bit samples in 2-byte containers cannot be split as format 0x0001", 2, 0, 0, 0,
       Coding::pcm},
      {"float in 3 bytes -a", fmtChunk(3, 2, 6, 24), true, Verdict::badBits,
       "24-bit samples in 3-byte containers cannot be split as format 0x0003", 2, 0, 0, 0,
       Coding::pcm},
  };
  for (const auto& c : cases) {
    const SourceFormat f = describeSamples(c.fields.data(), c.fields.size(), c.any);
    EXPECT_EQ(f.verdict, c.verdict) << c.what;
    EXPECT_EQ(f.reason, c.reason) << c.what;
    EXPECT_EQ(f.channels, c.channels) << c.what;
    if (f.verdict != Verdict::usable) continue;
    EXPECT_EQ(f.bytesPerSample, c.width) << c.what;
    EXPECT_EQ(f.bitsPerSample, c.bits) << c.what;
    EXPECT_EQ(f.containerBytes, c.container) << c.what;
    EXPECT_EQ(f.coding, c.coding) << c.what;
    EXPECT_EQ(f.sampleRate, 48000u) << c.what;
  }
}

TEST(Probe, FieldsCutOffByTheEndOfTheFileAreUnusable) {
  const Bytes full = wave(2, 16, 44100, 0);
  const struct {
    std::size_t length;
    Verdict verdict;
  } cases[] = {
      {12 + 2, Verdict::noFormat}, {12 + 3, Verdict::notStereo}, {12 + 11, Verdict::notStereo},
      {12 + 12, Verdict::badBits}, {12 + 23, Verdict::badBits},  {12 + 24, Verdict::noData},
      {36 + 3, Verdict::noData},   {36 + 4, Verdict::usable},
  };
  for (const auto& c : cases)
    EXPECT_EQ(probe(Bytes(full.begin(), full.begin() + c.length)).verdict, c.verdict) << c.length;
}

TEST(Probe, SearchesEvenOffsetsUpTo15000) {
  // Raw files (no RIFF header, so no chunk walk): the tags are wherever we put them.
  const struct {
    std::size_t fmtAt, dataAt;
    Verdict verdict;
    std::uint32_t dataStart;
  } cases[] = {
      {2, 40, Verdict::usable, 48},
      {3, 40, Verdict::noFormat, 0},           // odd offset
      {0, 40, Verdict::noFormat, 0},           // offset 0 is never examined
      {2, 41, Verdict::noData, 0},             // odd offset
      {2, 15000, Verdict::usable, 15008},      // the last candidate
      {2, 15002, Verdict::noData, 0},          // one past it
      {14976, 15000, Verdict::usable, 15008},  // fields read up to byte 15000
      {15000, 2, Verdict::usable, 10},         // data before fmt is found all the same
  };
  for (const auto& c : cases) {
    Bytes b(15100, 0);
    put(b, c.fmtAt, "fmt?", 4);
    put16(b, c.fmtAt + 8, 1);
    put16(b, c.fmtAt + 10, 2);
    put16(b, c.fmtAt + 20, 4);
    put16(b, c.fmtAt + 22, 16);
    put(b, c.dataAt, "data", 4);
    const SourceFormat f = probe(b);
    EXPECT_EQ(f.verdict, c.verdict) << c.fmtAt << " " << c.dataAt;
    if (f.verdict == Verdict::usable) {
      EXPECT_EQ(f.dataStart, c.dataStart);
    }
  }
}

TEST(Probe, SkipsTagsInsideWalkedChunks) {
  // ffmpeg: a comment mentioning "metadata" in a LIST chunk before the data chunk.
  Bytes list;
  chunk(list, "LIST", 16);
  put(list, 8, "INFOmetadata", 12);
  list.resize(24, 0);
  EXPECT_EQ(list[12 + 4], 'd');  // "data" at an even offset inside the body
  EXPECT_EQ(probe(wave(2, 16, 44100, 8, list)).dataStart, 36u + 24 + 8);

  // An odd-sized chunk is followed by a pad byte and the walk goes on behind it.
  Bytes odd;
  chunk(odd, "note", 7);
  put(odd, 8, "\0\0data\0\0", 8);
  EXPECT_EQ(probe(wave(2, 16, 44100, 8, odd)).dataStart, 36u + 16 + 8);

  // A malformed header stops the walk: the search then takes the first "data" it meets.
  Bytes bad;
  chunk(bad, "no\ttab", 8);
  put(bad, 8, "\0\0data\0\0", 8);
  EXPECT_EQ(probe(wave(2, 16, 44100, 8, bad)).dataStart, 36u + 10 + 8);

  // Without "RIFF" ... "WAVE" nothing is walked.
  Bytes raw = wave(2, 16, 44100, 8, list);
  put(raw, 0, "RIFX", 4);
  EXPECT_EQ(probe(raw).dataStart, 36u + 16 + 8);
}

TEST(Probe, WalkNeedsBodiesThatFitTheFile) {
  Bytes list;
  chunk(list, "LIST", 16);
  put(list, 8, "INFOmetadata", 12);
  list.resize(24, 0);
  Bytes b = wave(2, 16, 44100, 8, list);
  // The same bytes, cut so that the LIST body no longer fits: the walk gives up.
  EXPECT_EQ(probe(Bytes(b.begin(), b.begin() + 36 + 20)).dataStart, 36u + 16 + 8);
}

// A file laid out as a form tag and chunks: each a tag and a body (a fmt body for "fmt ", filler
// otherwise), with a pad byte behind an odd size. `declared` overrides a chunk's size field.
struct Piece {
  const char* tag;
  std::uint32_t size;
  std::uint64_t declared = ~std::uint64_t{0};
};
Bytes laidOut(const char* form, const std::vector<Piece>& pieces, std::uint32_t bits = 16,
              std::uint32_t align = 4) {
  Bytes b;
  chunk(b, form, 0);
  put(b, 8, "WAVE", 4);
  for (const Piece& p : pieces) {
    const std::size_t at = b.size();
    chunk(b, p.tag,
          p.declared == ~std::uint64_t{0} ? p.size : static_cast<std::uint32_t>(p.declared));
    b.resize(at + 8 + p.size + (p.size & 1), 0x01);
    if (std::strcmp(p.tag, "fmt ") == 0) {
      put16(b, at + 8, 1);
      put16(b, at + 10, 2);
      put32(b, at + 12, 48000);
      put16(b, at + 20, align);
      put16(b, at + 22, bits);
    }
  }
  return b;
}

TEST(Probe, WalksTheChunkListPastTheSearchedHead) {
  // The layouts of real recorders are in the end-to-end corpus; these are the walk's own edges.
  std::vector<Piece> manyChunks = {{"fmt ", 16}};
  manyChunks.resize(1000001, Piece{"junk", 0});
  manyChunks.push_back({"data", 40});
  const struct {
    const char* what;
    Bytes file;
    Verdict verdict;
    std::uint32_t dataStart;
  } cases[] = {
      // Zoom F8: the format chunk is searched, the data chunk walked to.
      {"Zoom F8",
       laidOut("RIFF",
               {{"bext", 602}, {"iXML", 5738}, {"fmt ", 16}, {"PAD ", 124664}, {"data", 600}}),
       Verdict::usable, 131072},
      {"odd size and pad past the head",
       laidOut("RIFF", {{"fmt ", 16}, {"JUNK", 15001}, {"data", 40}}), Verdict::usable, 15054},
      {"RF64", laidOut("RF64", {{"ds64", 28}, {"fmt ", 16}, {"LIST", 20000}, {"data", 40}}),
       Verdict::usable, 20088},
      {"no WAVE form, no walk", laidOut("RIFX", {{"fmt ", 16}, {"LIST", 20000}, {"data", 40}}),
       Verdict::noData, 0},
      {"a million 8-byte chunks", laidOut("RIFF", manyChunks), Verdict::usable, 8000044},
  };
  for (const auto& c : cases) {
    const SourceFormat f = probe(c.file);
    EXPECT_EQ(f.verdict, c.verdict) << c.what;
    EXPECT_EQ(f.dataStart, c.dataStart) << c.what;
  }
}

TEST(Probe, DataChunksPastFourGibibytesCannotBeDescribed) {
  // Sparse files: a chunk whose size carries the walk to `to`, where a data chunk waits.
  for (const std::uint64_t to : {0xFFFFFFF0ull, 0xFFFFFFF8ull, 0x100000000ull}) {
    const Bytes head = laidOut("RIFF", {{"fmt ", 16}, {"JUNK", 0, to - 44}});
    const std::uint64_t length = to + 8 + 64;
    const ReadAt read = [&](std::uint64_t at, unsigned char* buffer, std::size_t count) {
      const std::size_t n = std::min<std::uint64_t>(count, length - std::min(at, length));
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t x = at + i;
        buffer[i] = x < head.size() ? head[x] : x >= to && x < to + 4 ? "data"[x - to] : 0;
      }
      return static_cast<long>(n);
    };
    const SourceFormat f = probeSource(read, length);
    EXPECT_EQ(f.verdict, to + 8 <= 0xFFFFFFFFu ? Verdict::usable : Verdict::noData) << to;
    EXPECT_EQ(f.dataStart, to + 8 <= 0xFFFFFFFFu ? to + 8 : 0) << to;
  }
}

TEST(Probe, ReadErrorsMakeTheSourceUnreadable) {
  const Bytes b = laidOut("RIFF", {{"fmt ", 16}, {"LIST", 20000}, {"data", 40}});
  for (const std::uint64_t failAt : {0ull, 12ull, 20044ull}) {
    const ReadAt read = [&](std::uint64_t at, unsigned char* buffer, std::size_t count) {
      return at == failAt ? -1L : reader(b)(at, buffer, count);
    };
    EXPECT_EQ(probeSource(read, b.size()).verdict, Verdict::unreadable) << failAt;
  }
}

TEST(SampleArea, EndsAtTheDeclaredSizeOnlyBeforeAChunk) {
  Bytes list;
  chunk(list, "LIST", 4);
  put(list, 8, "INFO", 4);
  Bytes junk(9, 0x01);
  Bytes padded = list;
  padded.insert(padded.begin(), 0);
  const struct {
    const char* what;
    std::uint64_t declared;
    std::uint64_t length;
    Bytes next;
    std::uint64_t end;
  } cases[] = {
      {"chunk follows", 100, 156, list, 144},
      {"odd size, pad byte, chunk", 99, 157, padded, 143},
      {"odd size, no pad, chunk", 99, 155, list, 143},
      {"even size with a pad is not a chunk", 100, 157, padded, 157},
      {"no chunk follows", 100, 153, junk, 153},
      {"declared size 0 before a chunk: no samples", 0, 156, list, 44},
      {"declared size 0 before audio", 0, 153, junk, 153},
      {"streamed", kUnknownSize, 156, list, 156},
      {"64-bit size past the end", 0xFFFFFFFFFFFFFF00ull, 156, list, 156},
      {"declared past the end", 200, 156, {}, 156},
      {"declared up to the end", 112, 156, {}, 156},
      {"chunk body past the end", 100, 155, list, 155},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sampleAreaEnd(44, c.declared, c.length, c.next.data(), c.next.size()), c.end)
        << c.what;
}

TEST(SampleArea, TakesTheSizeFromTheDataChunkOrDs64) {
  // ds64 at 12 (body 28 bytes: RIFF size, data size, sample count, table length), then fmt,
  // data of 400 bytes declaring 0xFFFFFFFF, then a LIST chunk.
  const auto withDs64 = [](const char* form, std::uint64_t dataSize, std::uint32_t ds64Size,
                           std::uint32_t body = 400) {
    Bytes b = laidOut(
        form, {{"ds64", 28, ds64Size}, {"fmt ", 16}, {"data", body, 0xFFFFFFFFu}, {"LIST", 4}});
    put32(b, 20 + 8, static_cast<std::uint32_t>(dataSize));
    put32(b, 20 + 12, static_cast<std::uint32_t>(dataSize >> 32));
    return b;
  };
  const std::uint32_t start = 12 + 36 + 24 + 8;
  const struct {
    const char* what;
    Bytes file;
    std::uint32_t dataStart;
    std::uint64_t end;  // 0: the end of the file
  } cases[] = {
      {"RF64, size from ds64", withDs64("RF64", 400, 28), start, start + 400},
      {"BW64, size from ds64", withDs64("BW64", 400, 28), start, start + 400},
      {"RF64, ds64 size 0 before a chunk", withDs64("RF64", 0, 28, 0), start, start},
      {"RF64, ds64 size 0 before audio", withDs64("RF64", 0, 28), start, 0},
      {"RF64, ds64 size past 4 GiB", withDs64("RF64", 0x100000000ull, 28), start, 0},
      {"RF64, ds64 too short to hold a size", withDs64("RF64", 400, 8), start, 0},
      {"RIFF never has a ds64", withDs64("RIFF", 400, 28), start, 0},
      {"a plain declared size", laidOut("RF64", {{"fmt ", 16}, {"data", 40}, {"LIST", 4}}), 44, 84},
      {"data start past the end", laidOut("RIFF", {{"fmt ", 16}}), 44, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t end = 1;
    ASSERT_TRUE(measureSampleArea(reader(c.file), c.file.size(), c.dataStart, end)) << c.what;
    EXPECT_EQ(end, c.end == 0 ? c.file.size() : c.end) << c.what;
  }
}

SourceFormat samples(std::uint32_t bits, std::uint32_t rate, std::uint32_t width = 0,
                     Coding coding = Coding::pcm) {
  SourceFormat f;
  f.verdict = Verdict::usable;
  f.channels = 2;
  f.sampleRate = rate;
  f.bitsPerSample = bits;
  f.bytesPerSample = width != 0 ? width : bits / 8;
  f.containerBytes = f.bytesPerSample;
  f.coding = coding;
  return f;
}

TEST(Header, MatchesTheCanonicalLayout) {
  const Bytes expected = {0x52, 0x49, 0x46, 0x46, 0xAC, 0x13, 0x00, 0x00, 0x57, 0x41, 0x56,
                          0x45, 0x66, 0x6D, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x01, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x88, 0x58, 0x01, 0x00, 0x02,
                          0x00, 0x10, 0x00, 0x64, 0x61, 0x74, 0x61, 0x88, 0x13, 0x00, 0x00};
  EXPECT_EQ(outputHeader(samples(16, 44100), 2500), expected);

  const struct {
    std::uint32_t rate, bits;
    std::uint64_t frames;
    std::uint32_t byteRate, align, dataSize, riffSize;
  } cases[] = {
      {48000, 24, 10, 144000, 3, 30, 66},
      {44100, 16, 0, 88200, 2, 0, 36},
      // An odd data size: the pad byte follows the samples, and the RIFF size counts it.
      {48000, 24, 1, 144000, 3, 3, 40},
      {96000, 24, 1431655752, 288000, 3, 0xFFFFFFD8u, 0xFFFFFFFCu},  // the largest that fits
  };
  for (const auto& c : cases) {
    const OutputLayout layout = outputLayout(samples(c.bits, c.rate), c.frames, 0, 0);
    const Bytes g = outputHeader(samples(c.bits, c.rate), c.frames);
    ASSERT_EQ(g.size(), 44u);
    EXPECT_EQ(Bytes(g.begin(), g.begin() + 4), Bytes({'R', 'I', 'F', 'F'}));
    EXPECT_EQ(Assem4(g.data() + 4), c.riffSize);
    EXPECT_EQ(Assem4(g.data() + 24), c.rate);
    EXPECT_EQ(Assem4(g.data() + 28), c.byteRate);
    EXPECT_EQ(Assem2(g.data() + 32), c.align);
    EXPECT_EQ(Assem2(g.data() + 34), c.bits);
    EXPECT_EQ(Assem4(g.data() + 40), c.dataSize);
    EXPECT_EQ(layout.pad, (c.dataSize & 1) != 0);
    EXPECT_EQ(layout.fileBytes, std::uint64_t{c.riffSize} + 8);
  }
}

TEST(Header, SaysWhatTheSamplesAreAndTurnsRf64PastFourGibibytes) {
  const struct {
    const char* what;
    SourceFormat format;
    std::uint64_t frames, before, after;
    std::size_t headBytes;  // head and data header
    std::uint32_t tag, fmtSize;
    bool rf64;
  } cases[] = {
      {"24 valid bits in 32", samples(24, 48000, 4), 10, 0, 0, 68, 0xFFFE, 40, false},
      {"float", samples(32, 48000, 4, Coding::ieeeFloat), 10, 0, 0, 58, 3, 18, false},
      {"mu-law", samples(8, 8000, 1, Coding::muLaw), 7, 0, 0, 58, 7, 18, false},
      {"A-law", samples(8, 8000, 1, Coding::aLaw), 7, 0, 0, 58, 6, 18, false},
      {"u8, odd", samples(8, 8000, 1), 7, 0, 0, 44, 1, 16, false},
      // 16-bit: data + 36 fits 32 bits up to 0xFFFFFFDA bytes, one sample more is RF64.
      {"just under", samples(16, 48000), 0x7FFFFFEDull, 0, 0, 44, 1, 16, false},
      {"just over", samples(16, 48000), 0x7FFFFFEEull, 0, 0, 80, 1, 16, true},
      {"over with carried chunks", samples(16, 48000), 0x7FFFFF00ull, 600, 400, 80, 1, 16, true},
      {"8 GiB", samples(24, 96000), 0xAAAAAAABull, 0, 0, 80, 1, 16, true},
      {"float past 4 Gi samples", samples(32, 48000, 4, Coding::ieeeFloat), 0x100000001ull, 0, 0,
       94, 3, 18, true},
  };
  for (const auto& c : cases) {
    const OutputLayout layout = outputLayout(c.format, c.frames, c.before, c.after);
    Bytes h = layout.head;
    h.insert(h.end(), layout.dataHeader.begin(), layout.dataHeader.end());
    ASSERT_EQ(h.size(), c.headBytes) << c.what;
    const std::uint64_t data = c.frames * c.format.bytesPerSample;
    EXPECT_EQ(layout.fileBytes, h.size() + c.before + data + (data & 1) + c.after) << c.what;
    const char* form = c.rf64 ? "RF64" : "RIFF";
    EXPECT_EQ(Bytes(h.begin(), h.begin() + 4), Bytes(form, form + 4)) << c.what;
    const std::size_t fmt = c.rf64 ? 48 : 12;
    EXPECT_EQ(Assem2(h.data() + fmt + 8), c.tag) << c.what;
    EXPECT_EQ(Assem4(h.data() + fmt + 4), c.fmtSize) << c.what;
    if (c.tag == 0xFFFE) {
      EXPECT_EQ(Assem2(h.data() + fmt + 22), c.format.bytesPerSample * 8) << c.what;
      EXPECT_EQ(Assem2(h.data() + fmt + 26), c.format.bitsPerSample) << c.what;
      EXPECT_EQ(Assem4(h.data() + fmt + 28), 4u) << c.what;  // front centre
    }
    const std::uint32_t riff = Assem4(h.data() + 4), dataField = Assem4(h.data() + h.size() - 4);
    if (!c.rf64) {
      EXPECT_EQ(riff, layout.fileBytes - 8) << c.what;
      EXPECT_EQ(dataField, data) << c.what;
      continue;
    }
    // RF64: both size fields say "see ds64", which holds the sizes and the sample count.
    EXPECT_EQ(riff, 0xFFFFFFFFu) << c.what;
    EXPECT_EQ(dataField, 0xFFFFFFFFu) << c.what;
    EXPECT_EQ(Bytes(h.begin() + 12, h.begin() + 16), Bytes({'d', 's', '6', '4'})) << c.what;
    EXPECT_EQ(Assem4(h.data() + 16), 28u) << c.what;
    EXPECT_EQ(Assem8(h.data() + 20), layout.fileBytes - 8) << c.what;
    EXPECT_EQ(Assem8(h.data() + 28), data) << c.what;
    EXPECT_EQ(Assem8(h.data() + 36), c.frames) << c.what;
    EXPECT_EQ(Assem4(h.data() + 44), 0u) << c.what;
    if (c.tag == 3) {
      EXPECT_EQ(Assem4(h.data() + fmt + 26 + 8), 0xFFFFFFFFu) << c.what;  // fact: in ds64
    }
  }
}

TEST(Header, AStreamKeepsTheRoomOfADs64AndFillsItPastTheLimit) {
  // A stream of unknown length: its outputs' heads keep a 28-byte JUNK chunk where ds64 would
  // go, all sizes "unknown" until its end; then RIFF with the JUNK, or, past the limit (here a
  // small one), RF64 with ds64 in the same place: the samples never move.
  SourceFormat f;
  f.channels = 2;
  f.sampleRate = 48000;
  f.bytesPerSample = f.containerBytes = 2;
  f.bitsPerSample = 16;
  const struct {
    std::uint64_t frames;
    const char* form;
    const char* chunk;
    std::uint32_t riff, data;
  } cases[] = {
      {kUnknownSize, "RIFF", "JUNK", 0xFFFFFFFF, 0xFFFFFFFF},
      {100, "RIFF", "JUNK", 36 + 36 + 200, 200},
      {464, "RIFF", "JUNK", 1000, 928},  // a RIFF size of 1000: the most the limit allows
      {465, "RF64", "ds64", 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    const OutputLayout l = outputLayout(f, c.frames, 0, 0, true, 1000);
    Bytes h = l.head;
    h.insert(h.end(), l.dataHeader.begin(), l.dataHeader.end());
    ASSERT_EQ(h.size(), 80u) << c.frames;
    EXPECT_EQ(std::string(h.begin(), h.begin() + 4), c.form) << c.frames;
    EXPECT_EQ(Assem4(h.data() + 4), c.riff) << c.frames;
    EXPECT_EQ(std::string(h.begin() + 12, h.begin() + 16), c.chunk) << c.frames;
    EXPECT_EQ(Assem4(h.data() + 16), 28u) << c.frames;
    EXPECT_EQ(Assem4(h.data() + 76), c.data) << c.frames;
    if (c.chunk[0] == 'd') {
      EXPECT_EQ(Assem8(h.data() + 20), l.fileBytes - 8) << c.frames;
      EXPECT_EQ(Assem8(h.data() + 28), 2 * c.frames) << c.frames;
      EXPECT_EQ(Assem8(h.data() + 36), c.frames) << c.frames;
    }
  }
}

TEST(Header, RoomForADs64IsMadeByMovingTheRestOn) {
  // A stream that declared a size for RIFF and brought more than RIFF can count: its outputs'
  // bytes after "WAVE" move 36 bytes on, a small buffer at a time, nothing overwritten first.
  char name[] = "/tmp/tarnvell2-unit-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  Bytes file(1000);
  for (std::size_t k = 0; k < file.size(); ++k) file[k] = static_cast<unsigned char>(k * 7);
  ASSERT_EQ(pwrite(fd, file.data(), file.size(), 0), 1000);
  unsigned char buffer[64];
  ASSERT_TRUE(moveTail(fd, 12, 36, buffer, sizeof buffer));
  Bytes got(1036);
  ASSERT_EQ(pread(fd, got.data(), got.size(), 0), 1036);
  close(fd);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 12), Bytes(file.begin(), file.begin() + 12));
  EXPECT_EQ(Bytes(got.begin() + 48, got.end()), Bytes(file.begin() + 12, file.end()));
}

TEST(Metadata, CutsTheIxmlTrackListToOneChannel) {
  const std::string two =
      "<X><TRACK_LIST>\n <TRACK_COUNT> 2 </TRACK_COUNT>\n <TRACK><CHANNEL_INDEX>5</CHANNEL_INDEX>"
      "<INTERLEAVE_INDEX>1</INTERLEAVE_INDEX><NAME>BOOM</NAME></TRACK>\n <TRACK><INTERLEAVE_INDEX>"
      " 2 </INTERLEAVE_INDEX><NAME>LAV</NAME></TRACK>\n</TRACK_LIST><SCENE>4</SCENE></X>";
  const struct {
    const char* what;
    std::string xml;
    std::uint32_t channel;
    const char* out;      // nullptr: not carried
    const char* problem;  // why not
  } cases[] = {
      {"left", two, 0,
       "<X><TRACK_LIST>\n <TRACK_COUNT> 1 </TRACK_COUNT>\n <TRACK><CHANNEL_INDEX>5</CHANNEL_INDEX>"
       "<INTERLEAVE_INDEX>1</INTERLEAVE_INDEX><NAME>BOOM</NAME></TRACK>\n</TRACK_LIST><SCENE>4"
       "</SCENE></X>",
       ""},
      {"right", two, 1,
       "<X><TRACK_LIST>\n <TRACK_COUNT> 1 </TRACK_COUNT>\n <TRACK><INTERLEAVE_INDEX> 1 "
       "</INTERLEAVE_INDEX><NAME>LAV</NAME></TRACK>\n</TRACK_LIST><SCENE>4</SCENE></X>",
       ""},
      {"no track list: kept as it is", "<X><SCENE>4</SCENE></X>", 1, "<X><SCENE>4</SCENE></X>", ""},
      {"no track for the channel", two, 2, nullptr, "no track has INTERLEAVE_INDEX 3"},
      {"a track without an index", "<TRACK_LIST><TRACK><NAME>A</NAME></TRACK></TRACK_LIST>", 0,
       nullptr, "a track has no INTERLEAVE_INDEX"},
      {"two tracks for one channel",
       "<TRACK_LIST><TRACK><INTERLEAVE_INDEX>1</INTERLEAVE_INDEX></TRACK><TRACK><INTERLEAVE_INDEX>1"
       "</INTERLEAVE_INDEX></TRACK></TRACK_LIST>",
       0, nullptr, "several tracks have INTERLEAVE_INDEX 1"},
      {"a comment", "<TRACK_LIST><!-- x --></TRACK_LIST>", 0, nullptr,
       "its track list holds comments or CDATA"},
      {"not closed", "<TRACK_LIST><TRACK>", 0, nullptr, "its TRACK_LIST is not closed once"},
      // What an XML reader accepts, in the forms recorders write.
      {"white space and attributes in tags",
       "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- <TRACK_LIST> --><X><TRACK_LIST >\n<TRACK "
       "id='a>b'><INTERLEAVE_INDEX\t>1</INTERLEAVE_INDEX ><NAME>A</NAME></TRACK>"
       "<TRACK><INTERLEAVE_INDEX>2</INTERLEAVE_INDEX></TRACK></TRACK_LIST\n></X>\0\0",
       1,
       "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- <TRACK_LIST> --><X><TRACK_LIST >\n<TRACK>"
       "<INTERLEAVE_INDEX>1</INTERLEAVE_INDEX></TRACK></TRACK_LIST\n></X>\0\0",
       ""},
      // Read with certainty or not at all: never copied whole as if it had no track list.
      {"UTF-16", std::string("<\0T\0R\0", 6) + "ACK_LIST>", 0, nullptr,
       "its text is UTF-16, which is not read"},
      {"UTF-16 mark", "\xFF\xFE<X/>", 0, nullptr, "its text is UTF-16, which is not read"},
      {"a track list it cannot read", "<X>TRACK_LIST</X>", 0, nullptr,
       "its TRACK_LIST cannot be read"},
      {"a tag not closed", "<TRACK_LIST><TRACK id=\"1><INTERLEAVE_INDEX>1", 0, nullptr,
       "a tag is not closed"},
      {"an index that is no number",
       "<TRACK_LIST><TRACK><INTERLEAVE_INDEX>L</INTERLEAVE_INDEX>"
       "</TRACK></TRACK_LIST>",
       0, nullptr, "a track's INTERLEAVE_INDEX is not a channel number"},
      {"an empty list", "<TRACK_LIST/>", 0, nullptr, "no track has INTERLEAVE_INDEX 1"},
  };
  for (const auto& c : cases) {
    std::string out, problem;
    EXPECT_EQ(ixmlForChannel(c.xml, c.channel, out, problem), c.out != nullptr) << c.what;
    EXPECT_EQ(problem, c.problem) << c.what;
    if (c.out != nullptr) {
      EXPECT_EQ(out, c.out) << c.what;
    }
  }
}

TEST(Metadata, SortsChunksIntoCarriedAndNotCarried) {
  // bext (with history lacking its line end) and JUNK before fmt, PEAK and an odd LIST with its
  // pad byte before data, regn and a cut-off umid after it.
  Bytes b;
  chunk(b, "RIFF", 0);
  put(b, 8, "WAVE", 4);
  chunk(b, "bext", 604);
  b.resize(b.size() + 602, 0);
  put(b, b.size(), "A=", 2);
  chunk(b, "JUNK", 4);
  b.resize(b.size() + 4, 0);
  const Bytes fmt = wave(2, 16, 48000, 0);
  b.insert(b.end(), fmt.begin() + 12, fmt.begin() + 36);
  chunk(b, "PEAK", 24);
  for (std::uint32_t v : {1u, 9u, 0x3F000000u, 10u, 0x3E800000u, 20u}) put32(b, b.size(), v);
  chunk(b, "LIST", 7);
  put(b, b.size(), "INFOodd\0", 8);
  const std::uint32_t dataStart = static_cast<std::uint32_t>(b.size() + 8);
  chunk(b, "data", 8);
  b.resize(b.size() + 8, 0x55);
  chunk(b, "regn", 2);
  b.resize(b.size() + 2, 0);
  chunk(b, "umid", 64);  // cut off
  SourceFormat f = probe(b);
  ASSERT_EQ(f.verdict, Verdict::usable);
  ASSERT_EQ(f.dataStart, dataStart);
  Metadata m;
  ASSERT_TRUE(listMetadata(reader(b), b.size(), f, dataStart + 8, m));
  std::vector<std::string> carried;
  for (const CarriedChunk& c : m.chunks)
    carried.push_back(std::string(reinterpret_cast<const char*>(c.tag), 4) + (c.after ? "+" : ""));
  EXPECT_EQ(carried, (std::vector<std::string>{"bext", "PEAK", "LIST"}));
  EXPECT_EQ(m.dropped,
            (std::vector<std::string>{"JUNK", "regn", "umid (cut off by the end of the file)"}));
  // bext: the history gets its line end, then this step's line; PEAK keeps the right entry.
  const Bytes bext = chunkBody(m, m.chunks[0], f, 2, 1);
  const std::string history(bext.begin() + 602, bext.end());
  EXPECT_EQ(history, std::string("A=\r\nA=PCM,F=48000,W=16,M=mono,T=tarnvell2 ") +
                         TARNVELL2_VERSION_FOR_TESTS + "; channel R\r\n");
  EXPECT_EQ(chunkBody(m, m.chunks[1], f, 2, 1),
            Bytes({1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0x80, 0x3E, 20, 0, 0, 0}));
  EXPECT_EQ(chunkSize(m, m.chunks[2], f, 2, 1), 7u);
}

TEST(Extractor, PicksOneSampleOfEachFrame) {
  const Bytes frames16 = {0x10, 0x11, 0x20, 0x21, 0x12, 0x13, 0x22, 0x23};
  const Bytes frames24 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  // arecord -f S24_LE: each sample in the low three bytes of a 4-byte container.
  const Bytes frames24in32 = {1, 2, 3, 0xA0, 4, 5, 6, 0xA1, 7, 8, 9, 0xA2, 10, 11, 12, 0xA3};
  const struct {
    const Bytes& in;
    std::uint32_t width, container, selector;
    Bytes out;
  } cases[] = {
      {frames16, 2, 2, 0, {0x10, 0x11, 0x12, 0x13}},  {frames16, 2, 2, 1, {0x20, 0x21, 0x22, 0x23}},
      {frames16, 2, 2, 5, {0x10, 0x11, 0x12, 0x13}},  {frames24, 3, 3, 0, {1, 2, 3, 7, 8, 9}},
      {frames24, 3, 3, 1, {4, 5, 6, 10, 11, 12}},     {frames24in32, 3, 4, 0, {1, 2, 3, 7, 8, 9}},
      {frames24in32, 3, 4, 1, {4, 5, 6, 10, 11, 12}},
  };
  for (const auto& c : cases) {
    const std::size_t n = c.in.size() / (2 * c.container);
    Bytes out(n * c.width, 0xEE);
    extractChannel(c.in.data(), n, c.width, c.container, 2, c.selector, out.data());
    EXPECT_EQ(out, c.out) << c.container << " " << c.selector;
  }
}

TEST(Extractor, LongRunsMatchAPlainLoop) {
  // Long enough for any vectorised path and its scalar tail; at an odd address too, where the
  // aligned paths do not apply. Stereo 16/24-bit and the poly, float and 8-bit frames of -a.
  const struct {
    std::uint32_t width, container, channels;
  } cases[] = {{2, 2, 2}, {3, 3, 2}, {3, 4, 2}, {1, 1, 2}, {4, 4, 2},  {8, 8, 2},
               {3, 3, 6}, {2, 2, 3}, {4, 4, 8}, {6, 6, 2}, {1, 1, 64}, {8, 8, 64}};
  for (const auto& c : cases) {
    const std::size_t n = 1037;
    Bytes in(c.channels * c.container * n + 1);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 7 + i / 251);
    for (std::uint32_t channel = 0; channel<c.channels; channel += c.channels> 8 ? 21 : 1)
      for (std::size_t at : {0, 1}) {
        Bytes out(c.width * n), expected(c.width * n);
        extractChannel(in.data() + at, n, c.width, c.container, c.channels, channel, out.data());
        for (std::size_t k = 0; k < n; ++k)
          for (std::size_t j = 0; j < c.width; ++j)
            expected[k * c.width + j] = in[at + (k * c.channels + channel) * c.container + j];
        EXPECT_EQ(out, expected) << c.width << " " << c.container << " " << c.channels << " "
                                 << channel << " " << at;
      }
  }
}

}  // namespace

TEST(Verify, KnowsABlockOnlyAsItsWritesInOrderLeftIt) {
  // Random runs of writes in order, writes elsewhere and cuts over a file kept here: a block
  // the check says it knows hashes as the file holds it, whatever the pieces; the blocks that
  // were only written in order are known.
  std::uint64_t state = 32;
  const auto next = [&state](std::uint64_t below) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % below;
  };
  const std::uint64_t block = WriteCheck::kBlock;
  for (int run = 0; run < 40; ++run) {
    std::vector<unsigned char> file;
    std::uint64_t position = 0;
    WriteCheck check;
    bool inOrder = true;
    for (int step = 0; step < 30; ++step) {
      std::vector<unsigned char> bytes(next(3) == 0 ? next(40) : next(3 * block));
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(next(256));
      const std::uint64_t kind = run < 10 ? 0 : next(10);
      if (kind < 7) {
        if (file.size() < position + bytes.size()) file.resize(position + bytes.size());
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(position));
        check.append(bytes.data(), bytes.size());
        position += bytes.size();
      } else if (kind < 9 && !file.empty()) {
        const std::uint64_t at = next(file.size());
        bytes.resize(std::min<std::size_t>(bytes.size(), file.size() - at));
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(at));
        check.changed(at, at + bytes.size());
        inOrder = false;
      } else {
        position = next(file.size() + 1);
        file.resize(position);
        check.movedTo(position);
        inOrder = false;
      }
    }
    for (std::uint64_t b = 0; b * block < file.size(); ++b) {
      std::uint64_t hash = 0;
      const std::size_t n = static_cast<std::size_t>(std::min(block, file.size() - b * block));
      const bool known = check.known(b, file.size(), hash);
      if (known) {
        EXPECT_EQ(hash, hashBlock(file.data() + b * block, n)) << run << " " << b;
      }
      if (inOrder) {
        EXPECT_EQ(known, n == block) << run << " " << b;
      }
    }
  }
}
