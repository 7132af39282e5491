// -m: the chunks of the source carried to each output, made right for one channel. Chunks whose
// positions count sample frames are copied as they are (a mono output keeps the frames); bext
// gains a line of coding history, iXML's track list is cut to the output's own track, PEAK keeps
// this channel's entry and fact the output's sample count. Chunks that describe the source's
// layout or a program's private state are not carried, and are named once.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarnvell2.h"

namespace {

// Copied as they are: their positions count sample frames, which a mono output keeps.
const char* const kCopied[] = {"LIST", "cue ", "smpl", "inst", "cart", "id3 ", "ID3 ", "umid"};
// Carried with a body made for the output: read into memory, so bounded.
constexpr std::uint32_t kMaxRewritten = 1 << 20;
// More chunks than any recorder writes: the rest are not carried.
constexpr std::size_t kMaxCarried = 4096;

bool is(const unsigned char* tag, const char* name) {
  return std::memcmp(tag, name, 4) == 0;
}

// A tag as the user reads it: "PAD " is "PAD".
std::string tagName(const unsigned char* tag) {
  std::string name(reinterpret_cast<const char*>(tag), 4);
  return name.substr(0, name.find_last_not_of(' ') + 1);
}

void noteDropped(Metadata& metadata, const std::string& name) {
  if (std::find(metadata.dropped.begin(), metadata.dropped.end(), name) == metadata.dropped.end())
    metadata.dropped.push_back(name);
}

std::size_t find(const std::string& text, const std::string& what, std::size_t from,
                 std::size_t end) {
  const std::size_t at = text.find(what, from);
  return at == std::string::npos || at + what.size() > end ? std::string::npos : at;
}

// The text of <NAME>...</NAME> between from and end, trimmed; false when it is not there once.
bool element(const std::string& text, const std::string& name, std::size_t from, std::size_t end,
             std::size_t& valueStart, std::size_t& valueEnd) {
  const std::size_t open = find(text, "<" + name + ">", from, end);
  if (open == std::string::npos) return false;
  valueStart = open + name.size() + 2;
  valueEnd = find(text, "</" + name + ">", valueStart, end);
  if (valueEnd == std::string::npos ||
      find(text, "<" + name + ">", valueEnd, end) != std::string::npos)
    return false;
  while (valueStart < valueEnd && std::isspace(static_cast<unsigned char>(text[valueStart])))
    ++valueStart;
  while (valueEnd > valueStart && std::isspace(static_cast<unsigned char>(text[valueEnd - 1])))
    --valueEnd;
  return true;
}

}  // namespace

bool ixmlForChannel(const std::string& xml, std::uint32_t channel, std::string& out,
                    std::string& problem) {
  const std::size_t listOpen = xml.find("<TRACK_LIST>");
  if (listOpen == std::string::npos) {
    // Nothing that says which track is which: the take's scene and notes hold for every one.
    out = xml;
    return true;
  }
  const std::size_t listClose = xml.find("</TRACK_LIST>", listOpen);
  if (listClose == std::string::npos ||
      xml.find("<TRACK_LIST>", listOpen + 1) != std::string::npos) {
    problem = "its track list is not closed once";
    return false;
  }
  if (find(xml, "<!", listOpen, listClose) != std::string::npos) {
    problem = "its track list holds comments or CDATA";
    return false;
  }
  // The tracks, each <TRACK>...</TRACK>; the one whose INTERLEAVE_INDEX is this channel's
  // position in the source is kept.
  std::size_t firstTrack = std::string::npos, lastTrackEnd = 0, keepStart = 0, keepEnd = 0;
  int kept = 0;
  for (std::size_t at = find(xml, "<TRACK>", listOpen, listClose); at != std::string::npos;
       at = find(xml, "<TRACK>", lastTrackEnd, listClose)) {
    const std::size_t close = find(xml, "</TRACK>", at, listClose);
    std::size_t valueStart, valueEnd;
    if (close == std::string::npos ||
        !element(xml, "INTERLEAVE_INDEX", at, close, valueStart, valueEnd)) {
      problem = "a track has no INTERLEAVE_INDEX";
      return false;
    }
    if (firstTrack == std::string::npos) firstTrack = at;
    lastTrackEnd = close + 8;
    if (xml.compare(valueStart, valueEnd - valueStart, std::to_string(channel + 1)) == 0) {
      ++kept;
      keepStart = at;
      keepEnd = lastTrackEnd;
    }
  }
  if (kept != 1) {
    problem =
        (kept == 0 ? "no track has INTERLEAVE_INDEX " : "several tracks have INTERLEAVE_INDEX ") +
        std::to_string(channel + 1);
    return false;
  }
  std::string track = xml.substr(keepStart, keepEnd - keepStart);
  std::size_t valueStart, valueEnd;
  element(track, "INTERLEAVE_INDEX", 0, track.size(), valueStart, valueEnd);
  track.replace(valueStart, valueEnd - valueStart, "1");
  std::string list = xml.substr(listOpen, firstTrack - listOpen) + track +
                     xml.substr(lastTrackEnd, listClose - lastTrackEnd);
  if (element(list, "TRACK_COUNT", 0, list.size(), valueStart, valueEnd))
    list.replace(valueStart, valueEnd - valueStart, "1");
  out = xml.substr(0, listOpen) + list + xml.substr(listClose);
  return true;
}

std::vector<unsigned char> chunkBody(const Metadata& metadata, const CarriedChunk& chunk,
                                     const SourceFormat& format, std::uint64_t frames,
                                     std::uint32_t channel) {
  std::vector<unsigned char> body;
  switch (chunk.kind) {
    case ChunkKind::copied:
      break;
    case ChunkKind::bext: {
      // EBU R98: one line for this step, behind the history the source already has.
      body = metadata.bext;
      while (body.size() > 602 && body.back() == 0) body.pop_back();
      if (body.size() > 602 &&
          (body.size() < 604 || body[body.size() - 2] != '\r' || body.back() != '\n')) {
        body.push_back('\r');
        body.push_back('\n');
      }
      const char* algorithm = format.coding == Coding::aLaw    ? "ALAW"
                              : format.coding == Coding::muLaw ? "ULAW"
                                                               : "PCM";
      char line[160];
      std::snprintf(
          line, sizeof line, "A=%s,F=%u,W=%u,M=mono,T=tarnvell2 %s; channel %s\r\n", algorithm,
          format.sampleRate, format.bitsPerSample, TARNVELL2_VERSION,
          format.channels == 2 ? (channel == 0 ? "L" : "R") : std::to_string(channel + 1).c_str());
      const std::size_t n = std::strlen(line);
      body.resize(body.size() + n);
      std::memcpy(body.data() + body.size() - n, line, n);
      break;
    }
    case ChunkKind::ixml: {
      std::string out, problem;
      ixmlForChannel(metadata.ixml, channel, out, problem);
      body.assign(out.begin(), out.end());
      break;
    }
    case ChunkKind::peak:
      // Version and time stamp, then this channel's value and position.
      body.resize(16);
      std::memcpy(body.data(), metadata.peak.data(), 8);
      std::memcpy(body.data() + 8, metadata.peak.data() + 8 + 8 * std::size_t{channel}, 8);
      break;
    case ChunkKind::fact:
      body.resize(4);
      Decon4(frames > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(frames), body.data());
      break;
  }
  return body;
}

std::uint32_t chunkSize(const Metadata& metadata, const CarriedChunk& chunk,
                        const SourceFormat& format, std::uint64_t frames, std::uint32_t channel) {
  return chunk.kind == ChunkKind::copied
             ? chunk.size
             : static_cast<std::uint32_t>(
                   chunkBody(metadata, chunk, format, frames, channel).size());
}

bool listMetadata(const ReadAt& read, std::uint64_t fileLength, const SourceFormat& format,
                  std::uint64_t sampleEnd, Metadata& metadata) {
  unsigned char head[12];
  if (read(0, head, 12) != 12 ||
      !((is(head, "RIFF") || is(head, "RF64") || is(head, "BW64")) && is(head + 8, "WAVE")))
    return true;  // no chunk list to carry from
  const std::uint64_t dataAt = format.dataStart - 8;
  const bool madeFact = format.coding != Coding::pcm;  // non-PCM outputs get a fact of their own
  for (std::uint64_t at = 12; at + 8 <= fileLength;) {
    unsigned char header[8];
    if (read(at, header, 8) != 8) return false;
    if (at == dataAt) {
      // Behind the samples, and the pad byte of an odd sample area where a chunk follows it.
      at = sampleEnd;
      unsigned char next[8];
      if (at + 9 <= fileLength && read(at, next, 8) == 8 &&
          !wellFormedChunk(next, at, fileLength) && read(at + 1, next, 8) == 8 &&
          wellFormedChunk(next, at + 1, fileLength))
        ++at;
      continue;
    }
    if (!wellFormedChunk(header, at, fileLength)) {
      // A chunk whose body the end of the file cuts off is named; bytes that are no chunk are not.
      if (printableTag(header))
        noteDropped(metadata, tagName(header) + " (cut off by the end of the file)");
      break;
    }
    const std::uint32_t size = Assem4(header + 4);
    const std::uint64_t next = at + 8 + size + (size & 1);
    // A chunk that spans the data chunk's header is no chunk of this list.
    if (at < dataAt && next > dataAt) break;
    CarriedChunk chunk;
    std::memcpy(chunk.tag, header, 4);
    chunk.at = at + 8;
    chunk.size = size;
    chunk.after = at > dataAt;
    bool carry = false;
    std::vector<unsigned char>* keep = nullptr;
    if (is(header, "fmt ") || is(header, "ds64") || (is(header, "fact") && madeFact)) {
      // Made anew for the output.
    } else if (is(header, "LIST")) {
      unsigned char type[4] = {};
      if (size >= 4 && read(at + 8, type, 4) != 4) return false;
      carry = size >= 4 && (is(type, "INFO") || is(type, "adtl"));
      if (!carry)
        noteDropped(metadata, size >= 4 && printableTag(type) ? "LIST " + tagName(type) : "LIST");
    } else if (std::any_of(std::begin(kCopied), std::end(kCopied),
                           [&](const char* t) { return is(header, t); })) {
      carry = true;
    } else if (is(header, "bext") && metadata.bext.empty() && size >= 602 &&
               size <= kMaxRewritten) {
      chunk.kind = ChunkKind::bext;
      keep = &metadata.bext;
    } else if (is(header, "iXML") && metadata.ixml.empty() && size <= kMaxRewritten) {
      chunk.kind = ChunkKind::ixml;
    } else if (is(header, "PEAK") && metadata.peak.empty() &&
               size >= 8 + 8 * std::uint64_t{format.channels} && size <= kMaxRewritten) {
      chunk.kind = ChunkKind::peak;
      keep = &metadata.peak;
    } else if (is(header, "fact") && size >= 4) {
      chunk.kind = ChunkKind::fact;
    } else {
      noteDropped(metadata, tagName(header));
    }
    if (chunk.kind == ChunkKind::ixml) {
      std::string xml(size, '\0');
      if (size > 0 &&
          read(at + 8, reinterpret_cast<unsigned char*>(&xml[0]), size) != static_cast<long>(size))
        return false;
      // Every output needs its own track, or none gets the iXML: never a guess.
      std::string out, problem;
      for (std::uint32_t k = 0; k < format.channels && problem.empty(); ++k)
        ixmlForChannel(xml, k, out, problem);
      if (problem.empty()) {
        metadata.ixml = xml;
        carry = true;
      } else {
        noteDropped(metadata, "iXML (" + problem + ")");
      }
    } else if (keep != nullptr) {
      keep->resize(size);
      if (read(at + 8, keep->data(), size) != static_cast<long>(size)) return false;
      carry = true;
    } else if (chunk.kind == ChunkKind::fact) {
      carry = true;
    }
    if (carry && metadata.chunks.size() < kMaxCarried)
      metadata.chunks.push_back(chunk);
    else if (carry)
      noteDropped(metadata, tagName(header) + " (past " + std::to_string(kMaxCarried) + " chunks)");
    at = next;
  }
  return true;
}

Metadata READ_METADATA(Source& source, const SourceFormat& format, std::uint64_t sampleEnd,
                       bool wanted) {
  Metadata metadata;
  if (!wanted) return metadata;
  int error = 0;
  if (!listMetadata(source.reader(error), source.length, format, sampleEnd, metadata))
    failRun(source.name, std::strerror(error), "Unable to read file.", 2);
  if (!metadata.dropped.empty()) {
    std::string names;
    for (const std::string& name : metadata.dropped) names += (names.empty() ? "" : ", ") + name;
    printReason(source.name, "not carried: " + names);
  }
  return metadata;
}

void CARRY_CHUNKS(Source& source, const OutputPlan& plan, bool after, OutputSet& outputs) {
  std::size_t room = 0;
  unsigned char* const buffer = blockMemory(room);
  for (const CarriedChunk& chunk : plan.metadata.chunks) {
    if (chunk.after != after) continue;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      std::vector<unsigned char> body;
      if (chunk.kind != ChunkKind::copied)
        body = chunkBody(plan.metadata, chunk, plan.format, plan.frames,
                         static_cast<std::uint32_t>(k));
      const std::uint32_t size =
          chunk.kind == ChunkKind::copied ? chunk.size : static_cast<std::uint32_t>(body.size());
      unsigned char header[8];
      std::memcpy(header, chunk.tag, 4);
      Decon4(size, header + 4);
      if (size & 1) body.push_back(0);  // the pad byte that RIFF asks for after an odd size
      outputs.write(k, header, 8);
      if (chunk.kind != ChunkKind::copied) outputs.write(k, body.data(), body.size());
    }
    if (chunk.kind != ChunkKind::copied) continue;
    // Read once, written to every output.
    for (std::uint64_t done = 0; done < chunk.size;) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(room, chunk.size - done));
      const long got = source.readDirect(chunk.at + done, buffer, n);
      if (got != static_cast<long>(n))
        failRun(source.name, got < 0 ? std::strerror(errno) : "shrank during the run",
                "Unable to read file.", 2);
      for (std::size_t k = 0; k < outputs.size(); ++k) outputs.write(k, buffer, n);
      done += n;
    }
    const unsigned char pad = 0;
    if (chunk.size & 1)
      for (std::size_t k = 0; k < outputs.size(); ++k) outputs.write(k, &pad, 1);
  }
}
