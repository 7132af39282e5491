// The mono header writer: a header whose sizes already count the samples that the extractor
// will append and the chunks that -m carries. Plain PCM whose bits fill the container gets the
// canonical 44-byte header; PCM that leaves part of its container unused says so with
// WAVE_FORMAT_EXTENSIBLE; float, A-law and mu-law get an 18-byte format chunk and the fact chunk
// that non-PCM data needs. An output whose RIFF size would pass 32 bits is RF64 (EBU Tech 3306),
// its sizes in a ds64 chunk. An odd data size is followed by the zero pad byte that RIFF asks
// for, and the RIFF size counts it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarnvell2.h"

namespace {

// The sub-format GUID of EXTENSIBLE PCM, as stored in a file.
const unsigned char kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// ... and as sox writes it in RIFX, its 16-bit fields big-endian.
const unsigned char kPcmGuidBig[16] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Room for n more bytes at the end (resize and copy: GCC 12 warns wrongly about insert here).
unsigned char* grow(std::vector<unsigned char>& b, std::size_t n) {
  b.resize(b.size() + n);
  return b.data() + b.size() - n;
}
void put(std::vector<unsigned char>& b, const char* tag) {
  std::memcpy(grow(b, 4), tag, 4);
}
void put16(std::vector<unsigned char>& b, std::uint32_t v, bool big) {
  Decon2(static_cast<std::uint16_t>(v & 0xFFFF), grow(b, 2), big);
}
void put32(std::vector<unsigned char>& b, std::uint32_t v, bool big) {
  Decon4(v, grow(b, 4), big);
}
void put64(std::vector<unsigned char>& b, std::uint64_t v, bool big) {
  put32(b, static_cast<std::uint32_t>(v & 0xFFFFFFFFu), big);
  put32(b, static_cast<std::uint32_t>(v >> 32), big);
}
std::uint32_t clamp32(std::uint64_t v) {
  return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

}  // namespace

OutputLayout outputLayout(const SourceFormat& format, std::uint64_t frames,
                          std::uint64_t beforeBytes, std::uint64_t afterBytes, bool reserve,
                          std::uint64_t riffLimit) {
  const std::uint32_t width = format.bytesPerSample;
  // RIFX in, RIFX out: the same fields, big-endian, and never RF64, which has no such form.
  const bool big = format.bigEndian;
  const bool plain =
      format.coding == Coding::pcm && format.bitsPerSample == width * 8 && width <= 4;
  const bool extensible = format.coding == Coding::pcm && !plain;
  const std::uint32_t fmtSize = plain ? 16 : extensible ? 40 : 18;
  const std::uint64_t factBytes = format.coding == Coding::pcm ? 0 : 12;
  OutputLayout layout;
  // A stream of unknown length: every size "unknown", as streaming writers leave them.
  const bool unknown = frames == kUnknownSize;
  layout.dataBytes = unknown ? 0 : frames * width;
  layout.pad = (layout.dataBytes & 1) != 0;
  std::uint64_t riffSize =
      4 + 8 + fmtSize + factBytes + beforeBytes + 8 + layout.dataBytes + layout.pad + afterBytes;
  const bool rf64 = !big && riffSize + (reserve ? 36 : 0) > riffLimit;
  // The ds64 chunk, or its place kept for it by a JUNK chunk of its size (EBU Tech 3306).
  if (rf64 || reserve) riffSize += 8 + 28;
  layout.fileBytes = unknown ? 0 : riffSize + 8;

  std::vector<unsigned char>& h = layout.head;
  put(h, rf64 ? "RF64" : big ? "RIFX" : "RIFF");
  put32(h, unknown || rf64 ? 0xFFFFFFFFu : clamp32(riffSize), big);
  put(h, "WAVE");
  if (!rf64 && reserve) {
    put(h, "JUNK");
    put32(h, 28, big);
    std::memset(grow(h, 28), 0, 28);
  }
  if (rf64) {
    put(h, "ds64");
    put32(h, 28, big);
    put64(h, riffSize, big);
    put64(h, layout.dataBytes, big);
    put64(h, frames, big);
    put32(h, 0, big);  // no other chunk needs a 64-bit size
  }
  put(h, "fmt ");
  put32(h, fmtSize, big);
  put16(h,
        plain || extensible                  ? (plain ? 1 : 0xFFFE)
        : format.coding == Coding::ieeeFloat ? 3
        : format.coding == Coding::aLaw      ? 6
                                             : 7,
        big);
  put16(h, 1, big);
  put32(h, format.sampleRate, big);
  put32(h, format.sampleRate * width, big);
  put16(h, width, big);
  put16(h, plain ? format.bitsPerSample : width * 8, big);
  if (extensible) {
    put16(h, 22, big);
    put16(h, format.bitsPerSample, big);  // the valid bits, at the top of the container
    put32(h, 0x4, big);                   // front centre, as sox writes mono: any player's middle
    std::memcpy(grow(h, 16), big ? kPcmGuidBig : kPcmGuid, 16);
  } else if (!plain) {
    put16(h, 0, big);
    put(h, "fact");
    put32(h, 4, big);
    put32(h, clamp32(frames), big);  // in ds64 where it does not fit
  }
  put(layout.dataHeader, "data");
  put32(layout.dataHeader, rf64 || unknown ? 0xFFFFFFFFu : clamp32(layout.dataBytes), big);
  return layout;
}

std::vector<unsigned char> outputHeader(const OutputLayout& layout) {
  std::vector<unsigned char> header = layout.head;
  std::memcpy(grow(header, layout.dataHeader.size()), layout.dataHeader.data(),
              layout.dataHeader.size());
  return header;
}

std::vector<unsigned char> outputHeader(const SourceFormat& format, std::uint64_t frames) {
  return outputHeader(outputLayout(format, frames, 0, 0));
}

OutputPlan PLAN_OUTPUTS(const Source& source, const SourceFormat& format, std::uint64_t sampleEnd,
                        Metadata metadata, std::vector<std::uint32_t> channels) {
  const std::uint64_t bytes = sampleEnd > format.dataStart ? sampleEnd - format.dataStart : 0;
  const std::uint64_t frameBytes = std::uint64_t{format.containerBytes} * format.channels;
  OutputPlan plan{
      format, bytes / frameBytes, bytes % frameBytes, std::move(metadata), std::move(channels), {}};
  plan.stream = source.stream;
  // A stream that does not say how long it is: its sizes are set at its end, past 4 GiB in a
  // ds64 chunk whose place a JUNK chunk keeps.
  plan.reserve = sampleEnd == kUnknownSize;
  if (plan.reserve) plan.frames = kUnknownSize, plan.leftover = 0;
  layOut(plan);
  return plan;
}

void layOut(OutputPlan& plan, std::uint64_t riffLimit) {
  plan.layouts.clear();
  plan.layouts.reserve(plan.channels.size());
  for (const std::uint32_t channel : plan.channels) {
    std::uint64_t bytes[2] = {0, 0};  // before the samples, after them
    for (const CarriedChunk& chunk : plan.metadata.chunks) {
      const std::uint32_t size = chunkSize(plan.metadata, chunk, plan.format, plan.frames, channel);
      bytes[chunk.after] += 8 + std::uint64_t{size} + (size & 1);
    }
    plan.layouts.push_back(
        outputLayout(plan.format, plan.frames, bytes[0], bytes[1], plan.reserve, riffLimit));
  }
}

void MAKE_HEADER(OutputSet& outputs, std::size_t output, const std::vector<unsigned char>& bytes) {
  outputs.write(output, bytes.data(), bytes.size());
}

void WRITE_HEADERS(Source& source, const OutputPlan& plan, OutputSet& outputs) {
  const bool carried = std::any_of(plan.metadata.chunks.begin(), plan.metadata.chunks.end(),
                                   [](const CarriedChunk& chunk) { return !chunk.after; });
  for (std::size_t k = 0; k < plan.layouts.size(); ++k) {
    const OutputLayout& layout = plan.layouts[k];
    // One write for the whole header where nothing comes between: thousands of short sources.
    MAKE_HEADER(outputs, k, carried ? layout.head : outputHeader(layout));
  }
  if (!carried) return;
  CARRY_CHUNKS(source, plan, false, outputs);
  for (std::size_t k = 0; k < plan.layouts.size(); ++k)
    MAKE_HEADER(outputs, k, plan.layouts[k].dataHeader);
}

std::uint64_t samplesAt(const OutputPlan& plan, std::size_t k) {
  std::uint64_t at = plan.layouts[k].head.size() + plan.layouts[k].dataHeader.size();
  for (const CarriedChunk& chunk : plan.metadata.chunks) {
    if (chunk.after) continue;
    const std::uint32_t size =
        chunkSize(plan.metadata, chunk, plan.format, plan.frames, plan.channels[k]);
    at += 8 + std::uint64_t{size} + (size & 1);
  }
  return at;
}

void WRITE_TRAILERS(Source& source, OutputPlan& plan, OutputSet& outputs) {
  std::vector<std::size_t> written;  // each head's size as written
  if (plan.stream) {
    for (const OutputLayout& layout : plan.layouts) written.push_back(layout.head.size());
    // A take cut short was not read to its end: what followed its samples is not known.
    if (!plan.full) READ_METADATA_AFTER(source, plan.format, plan.metadata);
    // A head written as RF64 for a declared size keeps its place where the stream fit RIFF.
    plan.reserve = plan.reserve || (!written.empty() && plan.layouts[0].head[1] == 'F');
    layOut(plan);
  }
  for (std::size_t k = 0; k < plan.layouts.size(); ++k)
    if (plan.layouts[k].pad) MAKE_HEADER(outputs, k, {0});
  CARRY_CHUNKS(source, plan, true, outputs);
  if (!plan.stream) return;
  // The sizes, now that they are known, where the output can seek; a pipe keeps what the
  // stream declared.
  for (std::size_t k = 0; k < plan.layouts.size(); ++k) {
    if (!outputs.seekable(k)) continue;
    const OutputLayout& layout = plan.layouts[k];
    // A stream that declared a size for RIFF and brought more than RF64 allows without ds64:
    // room is made for it.
    if (layout.head.size() > written[k]) outputs.insertAt(k, 12, layout.head.size() - written[k]);
    outputs.writeAt(k, 0, layout.head);
    std::uint64_t at = layout.head.size();
    for (const CarriedChunk& chunk : plan.metadata.chunks) {
      if (chunk.after) continue;
      const std::uint32_t channel = plan.channels[k];
      const std::uint32_t size = chunkSize(plan.metadata, chunk, plan.format, plan.frames, channel);
      if (chunk.kind == ChunkKind::fact)
        outputs.writeAt(k, at + 8,
                        chunkBody(plan.metadata, chunk, plan.format, plan.frames, channel));
      at += 8 + std::uint64_t{size} + (size & 1);
    }
    outputs.writeAt(k, at, layout.dataHeader);
  }
}

void REPORT_CUT(const Source& source, const OutputPlan& plan, const OutputSet& outputs) {
  if (!plan.full) return;
  const std::uint64_t rate = plan.format.sampleRate ? plan.format.sampleRate : 1;
  const std::uint64_t ms = plan.frames % rate * 1000 / rate, s = plan.frames / rate;
  char kept[64];
  std::snprintf(kept, sizeof kept, "%llu:%02u:%02u.%03u", static_cast<unsigned long long>(s / 3600),
                static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60),
                static_cast<unsigned>(ms));
  printReason(outputs.name(plan.fullOutput), std::strerror(plan.full));
  failRun(source.name,
          std::string(plan.full == EFBIG ? "size limit" : "disk full") + ": the first " + kept +
              " of the take kept",
          "Unable to write file.", 2);
}

void REPORT_LEFT_OUT(const Source& source, const OutputPlan& plan) {
  if (plan.leftover != 0)
    printReason(source.name, std::to_string(plan.leftover) +
                                 (plan.leftover == 1 ? " byte" : " bytes") +
                                 " after the last whole frame not copied");
  if (!plan.metadata.dropped.empty()) printReason(source.name, droppedLine(plan.metadata));
}
