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

// At most kNamed names, then a count: a file of a million distinct tags costs no memory.
constexpr std::size_t kNamed = 20;

void noteDropped(Metadata& metadata, const std::string& name) {
  if (std::find(metadata.dropped.begin(), metadata.dropped.end(), name) != metadata.dropped.end())
    return;
  if (metadata.dropped.size() < kNamed)
    metadata.dropped.push_back(name);
  else
    ++metadata.droppedMore;
}

// One tag of an XML text: <NAME attributes>, </NAME> or <NAME/>, from `start` to just past its
// '>'. Comments, CDATA, declarations and processing instructions are passed over as `other`.
struct Tag {
  std::size_t start = 0, end = 0;
  std::string name;
  bool closing = false, empty = false, other = false;
};

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
         c == ':' || (c & 0x80) != 0;
}

// The next tag at or after `from`; false at the end of the text, and with `broken` set when a
// tag is not closed.
bool nextTag(const std::string& xml, std::size_t from, Tag& tag, bool& broken) {
  const std::size_t at = xml.find('<', from);
  if (at == std::string::npos) return false;
  tag = Tag();
  tag.start = at;
  auto skipTo = [&](const char* end) {
    const std::size_t e = xml.find(end, at + 1);
    broken = e == std::string::npos;
    tag.end = broken ? xml.size() : e + std::strlen(end);
    tag.other = true;
    return !broken;
  };
  if (xml.compare(at, 4, "<!--") == 0) return skipTo("-->");
  if (xml.compare(at, 9, "<![CDATA[") == 0) return skipTo("]]>");
  if (xml.compare(at, 2, "<?") == 0) return skipTo("?>");
  if (xml.compare(at, 2, "<!") == 0) return skipTo(">");
  std::size_t k = at + 1;
  tag.closing = k < xml.size() && xml[k] == '/';
  if (tag.closing) ++k;
  const std::size_t nameStart = k;
  while (k < xml.size() && isNameChar(xml[k])) ++k;
  tag.name = xml.substr(nameStart, k - nameStart);
  // Attributes, with '>' allowed inside their quotes.
  for (char quote = 0; k < xml.size(); ++k) {
    if (quote != 0) {
      if (xml[k] == quote) quote = 0;
    } else if (xml[k] == '"' || xml[k] == '\'') {
      quote = xml[k];
    } else if (xml[k] == '<') {
      break;  // a tag inside a tag: not XML
    } else if (xml[k] == '>') {
      tag.empty = xml[k - 1] == '/';
      tag.end = k + 1;
      broken = tag.name.empty();
      return !broken;
    }
  }
  broken = true;
  return false;
}

// The span of each element named `name` between from and to: start tag to end tag.
struct Element {
  std::size_t start, valueStart, valueEnd, end;
};

// The elements named `name` directly or deeper between from and to; false with the problem when
// one is not closed, or another tag is.
bool elements(const std::string& xml, const std::string& name, std::size_t from, std::size_t to,
              std::vector<Element>& found, std::string& problem) {
  Tag tag;
  bool broken = false;
  std::size_t open = std::string::npos, valueStart = 0;
  for (std::size_t at = from; nextTag(xml, at, tag, broken) && tag.start < to; at = tag.end) {
    if (tag.other || tag.name != name) continue;
    if (!tag.closing && tag.empty && open == std::string::npos) {
      found.push_back({tag.start, tag.end, tag.end, tag.end});
    } else if (!tag.closing && open == std::string::npos) {
      open = tag.start;
      valueStart = tag.end;
    } else if (tag.closing && open != std::string::npos) {
      found.push_back({open, valueStart, tag.start, tag.end});
      open = std::string::npos;
    } else {
      problem = "its " + name + " is not closed once";
      return false;
    }
  }
  if (broken || open != std::string::npos) {
    problem = broken ? "a tag is not closed" : "its " + name + " is not closed once";
    return false;
  }
  return true;
}

void trim(const std::string& text, std::size_t& start, std::size_t& end) {
  while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
}

// The one element named `name` inside [from, to), its value trimmed; false when there is none,
// and with the problem when there are several.
bool onlyElement(const std::string& xml, const std::string& name, std::size_t from, std::size_t to,
                 Element& element, std::string& problem) {
  std::vector<Element> found;
  if (!elements(xml, name, from, to, found, problem)) return false;
  if (found.size() > 1) problem = "a track has " + name + " twice";
  if (found.size() != 1) return false;
  element = found[0];
  trim(xml, element.valueStart, element.valueEnd);
  return true;
}

}  // namespace

bool readIxmlTracks(const std::string& xml, IxmlTracks& list, std::string& problem) {
  list = IxmlTracks();
  // Trailing NUL bytes pad a chunk for a later, longer text; any other NUL is another encoding.
  const std::size_t text = xml.find_last_not_of('\0') + 1;
  if (xml.compare(0, 2, "\xFF\xFE") == 0 || xml.compare(0, 2, "\xFE\xFF") == 0 ||
      xml.find('\0') < text) {
    problem = "its text is UTF-16, which is not read";
    return false;
  }
  std::vector<Element> lists;
  if (!elements(xml, "TRACK_LIST", 0, xml.size(), lists, problem)) return false;
  if (lists.empty()) {
    // Nothing that says which track is which: the take's scene and notes hold for every one.
    // But a track list that is there and cannot be read is never taken for none.
    if (xml.find("TRACK_LIST") != std::string::npos) {
      problem = "its TRACK_LIST cannot be read";
      return false;
    }
    return true;
  }
  if (lists.size() > 1) {
    problem = "it has more than one TRACK_LIST";
    return false;
  }
  list.present = true;
  list.start = lists[0].start;
  list.end = lists[0].end;
  Tag tag;
  bool broken = false;
  for (std::size_t at = lists[0].valueStart;
       nextTag(xml, at, tag, broken) && tag.start < lists[0].valueEnd; at = tag.end)
    if (tag.other) {
      problem = "its track list holds comments or CDATA";
      return false;
    }
  Element count;
  if (onlyElement(xml, "TRACK_COUNT", lists[0].valueStart, lists[0].valueEnd, count, problem)) {
    list.countStart = count.valueStart;
    list.countEnd = count.valueEnd;
    list.countElementStart = count.start;
    list.countElementEnd = count.end;
  } else if (!problem.empty()) {
    return false;
  }
  std::vector<Element> tracks;
  if (!elements(xml, "TRACK", lists[0].valueStart, lists[0].valueEnd, tracks, problem))
    return false;
  for (const Element& t : tracks) {
    Element index, name;
    if (!onlyElement(xml, "INTERLEAVE_INDEX", t.valueStart, t.valueEnd, index, problem)) {
      if (problem.empty()) problem = "a track has no INTERLEAVE_INDEX";
      return false;
    }
    const std::string value = xml.substr(index.valueStart, index.valueEnd - index.valueStart);
    if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != value.npos) {
      problem = "a track's INTERLEAVE_INDEX is not a channel number";
      return false;
    }
    IxmlTrack track{t.start,
                    t.end,
                    index.valueStart,
                    index.valueEnd,
                    static_cast<std::uint32_t>(std::stoul(value)),
                    std::string()};
    if (onlyElement(xml, "NAME", t.valueStart, t.valueEnd, name, problem))
      track.name = xml.substr(name.valueStart, name.valueEnd - name.valueStart);
    else if (!problem.empty())
      return false;
    list.tracks.push_back(track);
  }
  for (std::uint32_t k = 0; k < list.tracks.size(); ++k) {
    const std::uint32_t index = list.tracks[k].index;
    if (index >= list.byIndex.size()) list.byIndex.resize(index + 1, IxmlTracks::kNone);
    list.byIndex[index] = list.byIndex[index] == IxmlTracks::kNone ? k : IxmlTracks::kSeveral;
  }
  return true;
}

bool ixmlForChannel(const std::string& xml, const IxmlTracks& list, std::uint32_t channel,
                    std::string& out, std::string& problem) {
  if (!list.present) {
    out = xml;
    return true;
  }
  // The one track whose INTERLEAVE_INDEX is this channel's position in the source, renumbered
  // 1, in place of all of them; TRACK_COUNT 1.
  const std::uint32_t place = list.trackOf(channel);
  if (place == IxmlTracks::kNone || place == IxmlTracks::kSeveral) {
    problem = (place == IxmlTracks::kNone ? "no track has INTERLEAVE_INDEX "
                                          : "several tracks have INTERLEAVE_INDEX ") +
              std::to_string(channel + 1);
    return false;
  }
  const IxmlTrack* kept = &list.tracks[place];
  const std::size_t first = list.tracks.front().start, last = list.tracks.back().end;
  out.clear();
  auto copy = [&](std::size_t from, std::size_t to) {
    if (list.countStart >= from && list.countEnd <= to && list.countEnd > 0) {
      out.append(xml, from, list.countStart - from);
      out += '1';
      out.append(xml, list.countEnd, to - list.countEnd);
    } else {
      out.append(xml, from, to - from);
    }
  };
  // A TRACK_COUNT among the tracks stays there, before or after the track kept.
  const bool among = list.countEnd > 0 && list.countStart > first && list.countEnd < last;
  auto count = [&] {
    out.append(xml, list.countElementStart, list.countStart - list.countElementStart);
    out += '1';
    out.append(xml, list.countEnd, list.countElementEnd - list.countEnd);
  };
  copy(0, first);
  if (among && list.countElementEnd <= kept->start) count();
  out.append(xml, kept->start, kept->indexStart - kept->start);
  out += '1';
  out.append(xml, kept->indexEnd, kept->end - kept->indexEnd);
  if (among && list.countElementStart >= kept->end) count();
  copy(last, xml.size());
  return true;
}

bool ixmlForChannel(const std::string& xml, std::uint32_t channel, std::string& out,
                    std::string& problem) {
  IxmlTracks list;
  return readIxmlTracks(xml, list, problem) && ixmlForChannel(xml, list, channel, out, problem);
}

namespace {

// EBU R98: the line each output adds to bext's coding history for this step.
std::string historyLine(const SourceFormat& format, std::uint32_t channel) {
  const char* algorithm = format.coding == Coding::aLaw    ? "ALAW"
                          : format.coding == Coding::muLaw ? "ULAW"
                                                           : "PCM";
  char line[160];
  std::snprintf(
      line, sizeof line, "A=%s,F=%u,W=%u,M=mono,T=tarnvell2 %s; channel %s\r\n", algorithm,
      format.sampleRate, format.bitsPerSample, TARNVELL2_VERSION,
      format.channels == 2 ? (channel == 0 ? "L" : "R") : std::to_string(channel + 1).c_str());
  return line;
}

// The length of ixmlForChannel's text, without making it.
std::size_t ixmlLength(const std::string& xml, const IxmlTracks& list, std::uint32_t channel) {
  if (!list.present) return xml.size();
  const std::uint32_t place = list.trackOf(channel);
  if (place >= list.tracks.size()) return 0;  // not carried
  const IxmlTrack& kept = list.tracks[place];
  const std::size_t first = list.tracks.front().start, last = list.tracks.back().end;
  std::size_t n =
      first + (kept.end - kept.start) - (kept.indexEnd - kept.indexStart) + 1 + (xml.size() - last);
  if (list.countEnd > 0 && (list.countEnd <= first || list.countStart >= last))
    n = n - (list.countEnd - list.countStart) + 1;
  else if (list.countEnd > 0)  // among the tracks: its element, with 1
    n += list.countElementEnd - list.countElementStart - (list.countEnd - list.countStart) + 1;
  return n;
}

}  // namespace

std::vector<unsigned char> chunkBody(const Metadata& metadata, const CarriedChunk& chunk,
                                     const SourceFormat& format, std::uint64_t frames,
                                     std::uint32_t channel) {
  std::vector<unsigned char> body;
  switch (chunk.kind) {
    case ChunkKind::copied:
      break;
    case ChunkKind::bext: {
      // One line for this step, behind the history the source already has.
      const std::string line = historyLine(format, channel);
      body = metadata.bext;
      body.insert(body.end(), line.begin(), line.end());
      break;
    }
    case ChunkKind::ixml: {
      std::string out, problem;
      ixmlForChannel(metadata.ixml, metadata.ixmlTracks, channel, out, problem);
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
      Decon4(frames > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(frames), body.data(),
             format.bigEndian);
      break;
  }
  return body;
}

std::uint32_t chunkSize(const Metadata& metadata, const CarriedChunk& chunk,
                        const SourceFormat& format, std::uint64_t /*frames*/,
                        std::uint32_t channel) {
  // Without making the body: planning a poly file costs its channels times its chunks, not
  // times their sizes.
  switch (chunk.kind) {
    case ChunkKind::copied:
      return chunk.size;
    case ChunkKind::bext:
      return static_cast<std::uint32_t>(metadata.bext.size() + historyLine(format, channel).size());
    case ChunkKind::ixml:
      return static_cast<std::uint32_t>(ixmlLength(metadata.ixml, metadata.ixmlTracks, channel));
    case ChunkKind::peak:
      return 16;
    case ChunkKind::fact:
      break;
  }
  return 4;  // fact: a sample count, whatever the frames
}

bool listMetadata(const ReadAt& read, std::uint64_t fileLength, const SourceFormat& format,
                  std::uint64_t sampleEnd, Metadata& metadata, bool after) {
  unsigned char head[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  if (!after &&
      (read(0, head, 12) != 12 || !((is(head, "RIFF") || is(head, "RF64") || is(head, "BW64") ||
                                     (is(head, "RIFX") && format.bigEndian)) &&
                                    is(head + 8, "WAVE"))))
    return true;  // no chunk list to carry from
  // RIFX: the sizes big-endian; the bodies carried as they are, in the order of the outputs.
  const bool big = format.bigEndian;
  const std::uint64_t dataAt = format.dataStart - 8;
  const bool madeFact = format.coding != Coding::pcm;  // non-PCM outputs get a fact of their own
  // Each kind made anew for the output is carried once, from its first chunk: a second would
  // get the first one's body, or, for many, outputs far larger than the source.
  bool haveBext = false, haveIxml = false, havePeak = false, haveFact = false;
  std::string last = tagName(head) + " at byte 0";  // the last chunk walked, for a reason
  for (std::uint64_t at = after ? dataAt : 12; at < fileLength;) {
    unsigned char header[8];
    if (at == dataAt) {
      // Behind the samples, and the pad byte of an odd sample area where a chunk follows it or
      // it ends the file.
      last = "data at byte " + std::to_string(at);
      at = sampleEnd;
      unsigned char next[8];
      if (((sampleEnd - format.dataStart) & 1) != 0 && at + 1 == fileLength) break;
      if (at + 9 <= fileLength && read(at, next, 8) == 8 &&
          !wellFormedChunk(next, at, fileLength, big) && read(at + 1, next, 8) == 8 &&
          wellFormedChunk(next, at + 1, fileLength, big))
        ++at;
      continue;
    }
    ++metadata.steps;
    const long got = at + 8 <= fileLength ? read(at, header, 8) : 0;
    if (got < 0) return false;
    if (got != 8 || !wellFormedChunk(header, at, fileLength, big)) {
      // A chunk whose body the end of the file cuts off is named; bytes that are no chunk are
      // named by where they start, so that nothing goes unmentioned.
      if (got == 8 && printableTag(header) && Assem4(header + 4, big) > fileLength - at - 8)
        noteDropped(metadata, tagName(header) + " (cut off by the end of the file)");
      else
        noteDropped(metadata, "the rest of the file after " + last);
      break;
    }
    const std::uint32_t size = Assem4(header + 4, big);
    std::uint64_t next = at + 8 + size + (size & 1);
    // Seen in files whose writer left out the pad byte after an odd size: the next header is
    // tried both where the pad byte puts it and where it would be without one.
    if ((size & 1) != 0 && next < fileLength && next != dataAt) {
      unsigned char there[8];
      const long padded = next + 8 <= fileLength ? read(next, there, 8) : 0;
      if (padded < 0) return false;
      if (padded != 8 || !wellFormedChunk(there, next, fileLength, big)) {
        const long unpadded = read(next - 1, there, 8);
        if (unpadded < 0) return false;
        if ((unpadded == 8 && wellFormedChunk(there, next - 1, fileLength, big)) ||
            next - 1 == dataAt)
          --next;
      }
    }
    // A chunk that spans the data chunk's header is no chunk of this list.
    if (at < dataAt && next > dataAt) {
      noteDropped(metadata, "the rest of the file after " + last);
      break;
    }
    last = tagName(header) + " at byte " + std::to_string(at);
    CarriedChunk chunk;
    std::memcpy(chunk.tag, header, 4);
    chunk.at = at + 8;
    chunk.size = size;
    chunk.after = at > dataAt;
    bool carry = false;
    std::vector<unsigned char>* keep = nullptr;
    const char* twice = nullptr;
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
    } else if (is(header, "bext") && size >= 602 && size <= kMaxRewritten) {
      if (haveBext) twice = "bext";
      chunk.kind = ChunkKind::bext;
      keep = &metadata.bext;
    } else if (is(header, "iXML") && size <= kMaxRewritten) {
      if (haveIxml) twice = "iXML";
      chunk.kind = ChunkKind::ixml;
    } else if (is(header, "PEAK") && size >= 8 + 8 * std::uint64_t{format.channels} &&
               size <= kMaxRewritten) {
      if (havePeak) twice = "PEAK";
      chunk.kind = ChunkKind::peak;
      keep = &metadata.peak;
    } else if (is(header, "fact") && size >= 4) {
      if (haveFact) twice = "fact";
      chunk.kind = ChunkKind::fact;
    } else {
      noteDropped(metadata, tagName(header));
    }
    if (twice != nullptr) {
      noteDropped(metadata, std::string(twice) + " (a second one)");
    } else if (chunk.kind == ChunkKind::ixml) {
      haveIxml = true;
      std::string xml(size, '\0');
      if (size > 0 &&
          read(at + 8, reinterpret_cast<unsigned char*>(&xml[0]), size) != static_cast<long>(size))
        return false;
      // Every output needs its own track, or none gets the iXML: never a guess.
      std::string problem;
      const IxmlTracks& tracks = metadata.ixmlTracks;
      if (!readIxmlTracks(xml, metadata.ixmlTracks, problem)) {
        metadata.ixmlProblem = problem;
        metadata.ixmlTracks = IxmlTracks();
      } else if (tracks.present)
        for (std::uint32_t k = 0; k < format.channels && problem.empty(); ++k)
          if (tracks.trackOf(k) >= tracks.tracks.size())
            problem =
                (tracks.trackOf(k) == IxmlTracks::kNone ? "no track has INTERLEAVE_INDEX "
                                                        : "several tracks have INTERLEAVE_INDEX ") +
                std::to_string(k + 1);
      if (problem.empty()) {
        metadata.ixml = xml;
        carry = true;
      } else {
        noteDropped(metadata, "iXML (" + problem + ")");
      }
    } else if (keep != nullptr) {
      (chunk.kind == ChunkKind::bext ? haveBext : havePeak) = true;
      keep->resize(size);
      if (read(at + 8, keep->data(), size) != static_cast<long>(size)) return false;
      carry = true;
      // bext: its coding history ends in a line end, for the line each output adds.
      std::vector<unsigned char>& body = *keep;
      while (chunk.kind == ChunkKind::bext && body.size() > 602 && body.back() == 0)
        body.pop_back();
      if (chunk.kind == ChunkKind::bext && body.size() > 602 &&
          (body.size() < 604 || body[body.size() - 2] != '\r' || body.back() != '\n')) {
        body.push_back('\r');
        body.push_back('\n');
      }
    } else if (chunk.kind == ChunkKind::fact) {
      haveFact = carry = true;
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
                       const Options& options) {
  Metadata metadata;
  // Of a stream not yet ended, what comes before the samples: what follows them is known only
  // once they are read.
  metadata.afterKnown = !source.stream || source.ended;
  if (!options.metadata && !options.trackNames && options.channels.tracks.empty()) return metadata;
  int error = 0;
  if (!listMetadata(source.reader(error), metadata.afterKnown ? source.length : source.pulled,
                    format, metadata.afterKnown ? sampleEnd : kUnknownSize, metadata))
    failRun(source.name, std::strerror(error), "Unable to read file.", 2);
  metadata.wanted = options.metadata;
  if (!metadata.wanted) {
    // -t alone: the names of the tracks, and nothing carried or said.
    Metadata names;
    names.ixmlTracks = std::move(metadata.ixmlTracks);
    names.ixmlProblem = std::move(metadata.ixmlProblem);
    names.afterKnown = true;
    return names;
  }
  return metadata;
}

void READ_METADATA_AFTER(Source& source, const SourceFormat& format, Metadata& metadata) {
  if (!metadata.wanted || metadata.afterKnown) return;
  metadata.afterKnown = true;
  Metadata tail;
  int error = 0;
  if (source.sampleEnd < source.length &&
      !listMetadata(source.reader(error), source.length, format, source.sampleEnd, tail, true))
    failRun(source.name, std::strerror(error), "Unable to read file.", 2);
  // Each kind made anew is still carried once: the first of the whole file.
  for (const CarriedChunk& chunk : tail.chunks) {
    const bool twice = chunk.kind != ChunkKind::copied &&
                       std::any_of(metadata.chunks.begin(), metadata.chunks.end(),
                                   [&](const CarriedChunk& c) { return c.kind == chunk.kind; });
    if (twice) {
      noteDropped(metadata, tagName(chunk.tag) + " (a second one)");
      continue;
    }
    if (chunk.kind == ChunkKind::bext) metadata.bext = std::move(tail.bext);
    if (chunk.kind == ChunkKind::peak) metadata.peak = std::move(tail.peak);
    if (chunk.kind == ChunkKind::ixml) {
      metadata.ixml = std::move(tail.ixml);
      metadata.ixmlTracks = std::move(tail.ixmlTracks);
    }
    if (metadata.chunks.size() < kMaxCarried)
      metadata.chunks.push_back(chunk);
    else
      noteDropped(metadata,
                  tagName(chunk.tag) + " (past " + std::to_string(kMaxCarried) + " chunks)");
  }
  for (const std::string& name : tail.dropped) noteDropped(metadata, name);
  metadata.droppedMore += tail.droppedMore;
}

std::string droppedLine(const Metadata& metadata) {
  std::string line = "not carried: ";
  for (std::size_t k = 0; k < metadata.dropped.size(); ++k)
    line += (k == 0 ? "" : ", ") + metadata.dropped[k];
  if (metadata.droppedMore > 0) line += " and " + std::to_string(metadata.droppedMore) + " more";
  return line;
}

void CARRY_CHUNKS(Source& source, const OutputPlan& plan, bool after, OutputSet& outputs) {
  // A pipe written as a stream is read keeps the sizes the stream declared: nothing after its
  // samples that they would not count.
  auto skip = [&](std::size_t k) { return after && plan.stream && !outputs.seekable(k); };
  std::size_t room = 0;
  unsigned char* const buffer = blockMemory(room);
  for (const CarriedChunk& chunk : plan.metadata.chunks) {
    if (chunk.after != after) continue;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      if (skip(k)) continue;
      std::vector<unsigned char> body;
      if (chunk.kind != ChunkKind::copied)
        body = chunkBody(plan.metadata, chunk, plan.format, plan.frames, plan.channels[k]);
      const std::uint32_t size =
          chunk.kind == ChunkKind::copied ? chunk.size : static_cast<std::uint32_t>(body.size());
      unsigned char header[8];
      std::memcpy(header, chunk.tag, 4);
      Decon4(size, header + 4, plan.format.bigEndian);
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
      for (std::size_t k = 0; k < outputs.size(); ++k)
        if (!skip(k)) outputs.write(k, buffer, n);
      done += n;
    }
    const unsigned char pad = 0;
    if (chunk.size & 1)
      for (std::size_t k = 0; k < outputs.size(); ++k)
        if (!skip(k)) outputs.write(k, &pad, 1);
  }
}
