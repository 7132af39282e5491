// The channel extractor: one pass over the source's samples, block by block, each block split
// into the left output and the right output, which already hold their headers. The source is
// read once: on a small board a recording does not fit the page cache, and a second pass
// would read it from the disk again.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tarnvell2.h"

namespace {

// The input block and the two output blocks together. Larger blocks keep the system calls few
// (one read and two writes per block); see bench/RESULTS.md for the sizes measured.
constexpr std::size_t kBlockBytes = 1024 * 1024;

// Fixed sizes, so that the compiler turns the copy into a few wide moves per frame.
template <std::size_t Move, std::size_t FrameBytes = 2 * Move, std::size_t Step = Move,
          std::size_t Align = 1>
void pick(const unsigned char* in, std::size_t frames, unsigned char* out) {
  in = static_cast<const unsigned char*>(__builtin_assume_aligned(in, Align));
  out = static_cast<unsigned char*>(__builtin_assume_aligned(out, Align));
#pragma GCC unroll 8
  for (std::size_t k = 0; k < frames; ++k) {
    if constexpr (Move == 3) {
      // Byte by byte: for ARMv5, which has no unaligned loads, GCC calls memcpy for this.
      out[k * Step] = in[k * FrameBytes];
      out[k * Step + 1] = in[k * FrameBytes + 1];
      out[k * Step + 2] = in[k * FrameBytes + 2];
    } else {
      std::memcpy(out + k * Step, in + k * FrameBytes, Move);
    }
  }
}

// The same for frames of any size, known only at run time: poly files, 5.1 stems, float.
template <std::size_t Move, std::size_t Step = Move>
void strided(const unsigned char* in, std::size_t frames, std::size_t stride, unsigned char* out) {
#pragma GCC unroll 4
  for (std::size_t k = 0; k < frames; ++k) std::memcpy(out + k * Step, in + k * stride, Move);
}

// Without unaligned loads (ARMv5) a four-byte move is a call to memcpy: three byte moves take a
// quarter of the instructions there.
#if defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)
constexpr std::size_t kMove24 = 3;
#else
constexpr std::size_t kMove24 = 4;
#endif

bool aligned2(const void* a, const void* b) {
  return ((reinterpret_cast<std::uintptr_t>(a) | reinterpret_cast<std::uintptr_t>(b)) & 1) == 0;
}

}  // namespace

void extractChannel(const unsigned char* in, std::size_t frames, std::uint32_t bytesPerSample,
                    std::uint32_t containerBytes, std::uint32_t channels, std::uint32_t channel,
                    unsigned char* out) {
  in += std::size_t{channel < channels ? channel : 0} * containerBytes;
  if (channels == 2 && bytesPerSample == 2 && containerBytes == 2) {
    // Processors without unaligned loads (ARMv5) copy byte by byte unless told.
    if (aligned2(in, out))
      pick<2, 4, 2, 2>(in, frames, out);
    else
      pick<2>(in, frames, out);
  } else if (channels == 2 && bytesPerSample == 3 && (containerBytes == 3 || containerBytes == 4)) {
    // Four-byte moves whose fourth byte the next sample overwrites: one load and one store
    // per sample instead of three. The last sample is copied exactly, so nothing is touched
    // past either buffer.
    if (frames == 0) return;
    if (containerBytes == 3)
      pick<kMove24, 6, 3>(in, frames - 1, out);
    else
      pick<kMove24, 8, 3>(in, frames - 1, out);
    std::memcpy(out + 3 * (frames - 1), in + 2 * containerBytes * (frames - 1), 3);
  } else {
    const std::size_t stride = std::size_t{channels} * containerBytes;
    switch (bytesPerSample) {
      case 1:
        return strided<1>(in, frames, stride, out);
      case 2:
        return strided<2>(in, frames, stride, out);
      case 3:
        if (frames == 0) return;
        strided<kMove24, 3>(in, frames - 1, stride, out);
        std::memcpy(out + 3 * (frames - 1), in + stride * (frames - 1), 3);
        return;
      case 4:
        return strided<4>(in, frames, stride, out);
      case 8:
        return strided<8>(in, frames, stride, out);
      default:
        for (std::size_t k = 0; k < frames; ++k)
          std::memcpy(out + k * bytesPerSample, in + k * stride, bytesPerSample);
    }
  }
}

bool readFully(int fd, std::uint64_t at, unsigned char* buffer, std::size_t count) {
  errno = 0;
  while (count > 0) {
    const ssize_t n = ::pread(fd, buffer, count, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    at += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

// Sources shorter than this are left in the page cache: the advice costs more than it saves.
constexpr std::uint64_t kAdviseFrom = 1 << 20;

// The block buffers, obtained once and reused by every source of the run: fresh pages for each
// of thousands of short sources would cost more than their split. On one huge page where the
// kernel has them: every read and write copies through these buffers, and with small pages the
// kernel's copies cost the split a third of its time in a virtual machine (measured: 512 MiB
// warm, 2.5 times cp's time before, 1.15 after). Only the first mebibyte is ever touched.
constexpr std::size_t kHugePage = 2 << 20;
static_assert(kBlockBytes <= kHugePage, "the blocks fit the huge page");
unsigned char* blocks() {
  static unsigned char* const memory = [] {
    void* p = std::aligned_alloc(kHugePage, kHugePage);
    if (p != nullptr) (void)madvise(p, kHugePage, MADV_HUGEPAGE);  // no huge pages: small ones
    return static_cast<unsigned char*>(p);
  }();
  if (!memory) endRun("Not enough memory.", 2);
  return memory;
}

}  // namespace

unsigned char* blockMemory(std::size_t& bytes) {
  bytes = kBlockBytes;
  return blocks();
}

namespace {

// The blocks of one pass: the source's frames in, each output's samples out.
struct Blocks {
  unsigned char* in;
  unsigned char* out;
  std::size_t frames;  // a block holds
};

Blocks blocksFor(const SourceFormat& format) {
  const std::size_t frameBytes = std::size_t{format.channels} * format.containerBytes;
  // Whole multiples of 4096 frames where they fit, so that every block spans whole pages of the
  // source; at least one frame, whatever the channels.
  std::size_t frames =
      kBlockBytes / (frameBytes + std::size_t{format.channels} * format.bytesPerSample);
  if (frames >= 4096) frames -= frames % 4096;
  unsigned char* const in = blocks();
  return {in, in + frames * frameBytes, frames};
}

// Splits n whole frames of the in block into the outputs, each its own channel; the channels
// not chosen cost nothing. For a stream, false where an output cannot grow (plan.full says
// which and why): a live take is kept as far as it went.
bool split(const Blocks& b, std::size_t n, OutputPlan& plan, OutputSet& outputs) {
  const SourceFormat& format = plan.format;
  const std::size_t width = format.bytesPerSample;
  for (std::size_t k = 0; k < plan.channels.size(); ++k) {
    unsigned char* const samples = b.out + k * b.frames * width;
    extractChannel(b.in, n, format.bytesPerSample, format.containerBytes, format.channels,
                   plan.channels[k], samples);
    if (!plan.stream) {
      outputs.write(k, samples, n * width);
    } else if (!outputs.writeOrFull(k, samples, n * width)) {
      plan.full = errno;
      plan.fullOutput = k;
      return false;
    }
  }
  return true;
}

// A stream's samples, as they come: to the data chunk's declared end, where what follows
// decides, as in a file, whether the sample area ends there (a chunk follows) or goes on to the
// end of the stream; or to the end where the size says nothing. A partial frame waits for the
// rest of itself; what is left of one at the end is not copied.
void copyStream(Source& source, OutputPlan& plan, OutputSet& outputs) {
  const SourceFormat& format = plan.format;
  const Blocks b = blocksFor(format);
  const std::size_t frameBytes = std::size_t{format.channels} * format.containerBytes;
  std::uint64_t limit = source.declaredEnd, at = format.dataStart, frames = 0;
  std::size_t have = 0;  // bytes of a frame not yet whole, at the start of the in block
  source.samplesAt = at;
  for (;;) {
    std::size_t want = b.frames * frameBytes - have;
    if (limit != kUnknownSize)
      want = static_cast<std::size_t>(std::min<std::uint64_t>(want, limit - at));
    // A block filled before it is split: two writes a block, not two a pipe's read.
    std::size_t got = 0;
    for (long n = 1; got < want && n > 0; got += static_cast<std::size_t>(n)) {
      n = source.readSamples(b.in + have + got, want - got);
      if (n < 0) failRun(source.name, std::strerror(errno), "Unable to read file.", 2);
      // As it comes, not a block at a time: a block of a slow stream takes seconds to fill.
      showStreamProgress(
          source.name.c_str(),
          source.pulled > format.dataStart ? (source.pulled - format.dataStart) / frameBytes : 0,
          format.sampleRate, source.pulled);
    }
    have += got;
    at += got;
    const std::size_t n = have / frameBytes;
    if (n > 0) {
      // The card is full: the reading ends, as at a first signal, and the take is kept up to the
      // last frame that every output holds.
      if (!split(b, n, plan, outputs)) break;
      frames += n;
      have -= n * frameBytes;
      std::memmove(b.in, b.in + n * frameBytes, have);
    }
    if (want > 0 && got == 0) break;  // the end of the stream
    if (at == limit) {
      if (!source.hold(limit + kStreamHold))
        failRun(source.name, std::strerror(errno), "Unable to read file.", 2);
      if (source.ended) {
        unsigned char next[9];
        const long m = source.read(limit, next, sizeof next);
        if (sampleAreaEnd(format.dataStart, limit - format.dataStart, source.length, next,
                          static_cast<std::size_t>(m < 0 ? 0 : m), format.bigEndian) == limit)
          break;
      }
      limit = kUnknownSize;  // samples, on to the end
    }
  }
  endStreamReading();
  plan.frames = frames;
  plan.leftover = plan.full ? 0 : have;
  source.sampleEnd = at;
  if (!plan.full) return;
  const std::uint64_t bytes = frames * format.bytesPerSample;
  for (std::size_t k = 0; k < outputs.size(); ++k) outputs.cut(k, samplesAt(plan, k) + bytes);
}

}  // namespace

void COPY_DATA(Source& source, OutputPlan& plan, OutputSet& outputs) {
  if (source.stream) return copyStream(source, plan, outputs);
  const SourceFormat& format = plan.format;
  const Blocks b = blocksFor(format);
  const std::size_t frameBytes = std::size_t{format.channels} * format.containerBytes;
  const std::uint64_t totalBytes = plan.frames * frameBytes;
  showProgress(source.name.c_str(), 0, totalBytes);
  off_t readAt = format.dataStart;
  for (std::uint64_t remaining = plan.frames; remaining > 0;) {
    const std::size_t n = remaining < b.frames ? static_cast<std::size_t>(remaining) : b.frames;
    // A short read means the source shrank since it was measured: never copy stale bytes.
    if (!readFully(source.fd.fd, readAt, b.in, n * frameBytes))
      failRun(source.name, errno != 0 ? std::strerror(errno) : "shrank during the run",
              "Unable to read file.", 2);
    // Blocks already split are not needed again: a long recording should not push everything
    // else out of a small board's page cache. Measured no slower, and faster under a memory
    // limit; advice on the outputs and POSIX_FADV_SEQUENTIAL measured slower.
    if (totalBytes >= kAdviseFrom)
      posix_fadvise(source.fd.fd, readAt, static_cast<off_t>(n * frameBytes), POSIX_FADV_DONTNEED);
    readAt += static_cast<off_t>(n * frameBytes);
    split(b, n, plan, outputs);
    remaining -= n;
    showProgress(source.name.c_str(), totalBytes - remaining * frameBytes, totalBytes);
  }
}
