// Output names. By default "song.wav" gives "songL.wav" and "songR.wav": the first run of
// characters other than '.' in the last path component, in the source's folder, so
// "old.takes/song.wav" gives "old.takes/songL.wav". -w keeps the whole name less its last
// extension, -d puts the outputs in another folder.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tarnvell2.h"

namespace {

// A name as a file system that ignores case compares it.
std::string foldCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The text of the last path component that names the outputs; "" when there is none.
std::string baseOf(const std::string& name, bool wholeName) {
  if (!wholeName) {
    const std::size_t start = name.find_first_not_of('.');
    if (start == std::string::npos) return "";
    const std::size_t end = name.find('.', start);
    return name.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  const std::size_t dot = name.rfind('.');
  // A leading dot marks a hidden file, not an extension.
  const std::string base = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  return base.find_first_not_of('.') == std::string::npos ? "" : base;
}

}  // namespace

const std::string& nameForOutputs(const std::string& sourceName, const Options& options) {
  return sourceName == "-" ? options.as : sourceName;
}

bool outputStem(const std::string& sourceName, const Options& options, std::string& stem) {
  const std::size_t slash = sourceName.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string base = baseOf(sourceName.substr(nameStart), options.wholeName);
  if (base.empty()) return false;
  if (options.outputDir.empty())
    stem = sourceName.substr(0, nameStart) + base;
  else
    stem = options.outputDir + (options.outputDir.back() == '/' ? "" : "/") + base;
  return true;
}

std::vector<std::string> outputNames(const std::string& stem, std::uint32_t channels,
                                     const std::string& separator) {
  if (channels == 2) return {stem + separator + "L.wav", stem + separator + "R.wav"};
  std::vector<std::string> names;
  for (std::uint32_t k = 1; k <= channels; ++k)
    names.push_back(stem + "_" + std::to_string(k) + ".wav");
  return names;
}

bool outputNames(const std::string& sourceName, std::string& leftName, std::string& rightName) {
  std::string stem;
  if (!outputStem(sourceName, Options(), stem)) return false;
  leftName = stem + "L.wav";
  rightName = stem + "R.wav";
  return true;
}

bool parseChannelList(const std::string& text, ChannelList& list) {
  list = ChannelList();
  std::size_t at = 0;
  auto number = [&](std::uint32_t& n) {
    if (at < text.size() && (text[at] == 'L' || text[at] == 'R')) {
      n = text[at++] == 'L' ? 1 : 2;
      list.stereoNames = true;
      return true;
    }
    const std::size_t start = at;
    unsigned long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
      value = value * 10 + static_cast<unsigned long>(text[at++] - '0');
    n = static_cast<std::uint32_t>(value);
    return at > start && value >= 1 && value <= 65535;
  };
  for (;;) {
    // An item that is no number, L or R is a track's name, up to the next ','.
    const std::size_t end = std::min(text.find(',', at), text.size());
    const char first = at < text.size() ? text[at] : ',';
    const bool stereo = (first == 'L' || first == 'R') && (at + 1 == end || text[at + 1] == '-');
    if (first != ',' && !stereo && (first < '0' || first > '9')) {
      list.tracks.push_back(text.substr(at, end - at));
      at = end;
    } else {
      std::uint32_t from, to;
      if (!number(from)) return false;
      to = from;
      if (at < text.size() && text[at] == '-') {
        ++at;
        if (at == text.size() || text[at] == ',')
          to = ChannelList::kOpen;  // "2-": to the last channel
        else if (!number(to) || to < from)
          return false;
      }
      list.ranges.emplace_back(from, to);
    }
    if (at == text.size()) return true;
    if (text[at++] != ',') return false;
  }
}

bool chooseChannels(const ChannelList& list, std::uint32_t channels,
                    const std::vector<std::string>& trackNames, std::vector<std::uint32_t>& chosen,
                    std::string& problem) {
  chosen.clear();
  if (list.empty()) {
    for (std::uint32_t k = 0; k < channels; ++k) chosen.push_back(k);
    return true;
  }
  if (list.stereoNames && channels != 2) {
    problem = "has " + std::to_string(channels) + " channels; L and R (-c) name those of a " +
              "stereo source";
    return false;
  }
  std::vector<bool> taken(channels, false);
  for (const auto& range : list.ranges) {
    const std::uint32_t last = range.second == ChannelList::kOpen ? channels : range.second;
    if (last > channels || range.first > channels) {
      problem = "has " + std::to_string(channels) + " channels, no channel " +
                std::to_string(std::max(range.first, channels + 1)) + " (-c)";
      return false;
    }
    for (std::uint32_t k = range.first; k <= last; ++k) taken[k - 1] = true;
  }
  // Names as a file system that ignores case would compare them, each naming at least one track.
  for (const std::string& name : list.tracks) {
    bool found = false;
    for (std::uint32_t k = 0; k < trackNames.size() && k < channels; ++k)
      if (!trackNames[k].empty() && foldCase(trackNames[k]) == foldCase(trackFileName(name)))
        found = taken[k] = true;
    if (!found) {
      problem = trackNames.empty() ? "has no iXML track names to choose " + name + " by (-c)"
                                   : "has no track named " + name + " (-c)";
      return false;
    }
  }
  for (std::uint32_t k = 0; k < channels; ++k)
    if (taken[k]) chosen.push_back(k);
  return true;
}

namespace {

void appendUtf8(std::string& text, unsigned long code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A code point that may stand in a file name: no C0 or C1 control, no surrogate.
bool nameable(unsigned long code) {
  return code >= 0x20 && code != 0x7F && (code < 0x80 || code > 0x9F) &&
         (code < 0xD800 || code > 0xDFFF) && code <= 0x10FFFF;
}

// The code point of the UTF-8 sequence at text[k] and its length; 0 where it is not valid
// UTF-8 (a stray byte, an overlong or cut sequence).
std::size_t decodeUtf8(const std::string& text, std::size_t k, unsigned long& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(k);
  const std::size_t n = lead < 0x80                   ? 1
                        : lead >= 0xC2 && lead < 0xE0 ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
  if (n == 0 || k + n > text.size()) return 0;
  code = n == 1 ? lead : lead & (0xFF >> (n + 1));
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(k + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(k + i) & 0x3F);
  }
  const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
  return code < least[n] ? 0 : n;
}

}  // namespace

std::string trackFileName(const std::string& value) {
  // XML's entities, by name and by number; what no file name should hold becomes '_'.
  std::string text;
  for (std::size_t k = 0; k < value.size(); ++k) {
    const std::size_t end = value[k] == '&' ? value.find(';', k) : std::string::npos;
    if (end == std::string::npos || end - k > 10) {
      text += value[k];
      continue;
    }
    const std::string name = value.substr(k + 1, end - k - 1);
    unsigned long code = 0;
    if (name == "amp")
      code = '&';
    else if (name == "lt")
      code = '<';
    else if (name == "gt")
      code = '>';
    else if (name == "quot")
      code = '"';
    else if (name == "apos")
      code = '\'';
    else if (name.size() > 1 && name[0] == '#')
      code = std::strtoul(name.c_str() + 1 + (name[1] == 'x'), nullptr, name[1] == 'x' ? 16 : 10);
    if (code == 0 || code > 0x10FFFF) {
      text += value[k];
      continue;
    }
    appendUtf8(text, nameable(code) ? code : '_');
    k = end;
  }
  // Valid UTF-8 only: a byte that starts no valid sequence is one '_', as is a control.
  std::string clean;
  for (std::size_t k = 0; k < text.size();) {
    unsigned long code = 0;
    const std::size_t n = decodeUtf8(text, k, code);
    appendUtf8(clean, n != 0 && nameable(code) ? code : '_');
    k += n != 0 ? n : 1;
  }
  const std::size_t first = clean.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  clean = clean.substr(first, clean.find_last_not_of(" \t\r\n") - first + 1);
  for (char& c : clean)
    if (c == '/') c = '_';
  if (clean[0] == '.' || clean[0] == '-') clean[0] = '_';
  return clean;
}

OutputNames nameOutputs(const std::string& stem, std::uint32_t channels,
                        const std::vector<std::uint32_t>& chosen,
                        const std::vector<std::string>& trackNames, const std::string& separator) {
  // Every channel is named, then the chosen ones taken: a channel's name never depends on -c.
  OutputNames out;
  out.channels = chosen;
  const std::vector<std::string> numbered = outputNames(stem, channels, separator);
  const std::size_t slash = stem.rfind('/');
  const std::size_t base = stem.size() - (slash == std::string::npos ? 0 : slash + 1);
  std::vector<bool> isChosen(channels, false);
  for (const std::uint32_t k : chosen) isChosen[k] = true;
  std::vector<std::string> track(channels);
  for (std::uint32_t k = 0; k < trackNames.size() && k < channels; ++k) {
    track[k] = trackNames[k];
    // A name that no file system takes keeps the number.
    if (base + 1 + track[k].size() + 4 > NAME_MAX) {
      if (isChosen[k]) out.tooLong += (out.tooLong.empty() ? "" : ", ") + std::to_string(k + 1);
      track[k].clear();
    }
  }
  // A stereo source takes its tracks' names only where both have one.
  if (channels == 2 && (track[0].empty() || track[1].empty())) track = {"", ""};
  // Names that would be one file, on a file system that ignores case too, go back to their
  // numbers; which may clash in turn with another track's name.
  for (bool again = true; again;) {
    again = false;
    std::map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t k = 0; k < channels; ++k)
      byName[foldCase(track[k].empty() ? numbered[k] : stem + "_" + track[k] + ".wav")].push_back(
          k);
    for (const auto& same : byName) {
      if (same.second.size() < 2) continue;
      for (const std::size_t k : same.second)
        if (!track[k].empty()) {
          if (isChosen[k])
            out.clash +=
                (out.clash.empty() ? "" : ", ") + std::to_string(k + 1) + " (" + track[k] + ")";
          track[k].clear();
          again = true;
        }
    }
  }
  for (const std::uint32_t k : chosen)
    out.names.push_back(track[k].empty() ? numbered[k] : stem + "_" + track[k] + ".wav");
  return out;
}

namespace {

// -t: each channel's track name from the source's iXML ("" where it has none); empty where
// there is no iXML track list to read.
std::vector<std::string> trackNamesOf(const Metadata& metadata, std::uint32_t channels) {
  std::vector<std::string> names;
  if (!metadata.ixmlTracks.present) return names;
  names.resize(channels);
  for (std::uint32_t k = 0; k < channels; ++k) {
    const std::uint32_t place = metadata.ixmlTracks.trackOf(k);
    if (place < metadata.ixmlTracks.tracks.size())
      names[k] = trackFileName(metadata.ixmlTracks.tracks[place].name);
  }
  return names;
}

}  // namespace

OutputNames NAME_OUTPUTS(const Source& source, const std::string& stem, const SourceFormat& format,
                         const Metadata& metadata, const Options& options) {
  std::vector<std::uint32_t> chosen;
  std::string problem;
  const std::vector<std::string> tracks = trackNamesOf(metadata, format.channels);
  if (!chooseChannels(options.channels, format.channels, tracks, chosen, problem))
    failRun(source.name, problem, "The file you want to convert is not a stereo track!", 1);
  if (options.trackNames && !metadata.ixmlProblem.empty())
    printReason(source.name, "numbered names kept: iXML (" + metadata.ixmlProblem + ")");
  OutputNames out =
      nameOutputs(stem, format.channels, chosen,
                  options.trackNames ? tracks : std::vector<std::string>(), options.separator);
  if (!out.clash.empty())
    printReason(source.name, "numbered names kept for tracks of one name: " + out.clash);
  if (!out.tooLong.empty())
    printReason(source.name,
                "numbered names kept for tracks whose names are too long for a "
                "file name: " +
                    out.tooLong);
  // Refused before a sample is read: the file system would refuse it only at the commit.
  for (const std::string& name : out.names) {
    const std::size_t slash = name.rfind('/');
    if (name.size() - (slash == std::string::npos ? 0 : slash + 1) > NAME_MAX ||
        name.size() >= PATH_MAX)
      failRun(name, std::strerror(ENAMETOOLONG), "Unable to open file.", 2);
  }
  return out;
}

bool namesOfSource(const std::string& sourceName, const Options& options,
                   std::vector<std::string>& names) {
  std::string stem;
  Source source;
  int error = 0;
  if (!outputStem(nameForOutputs(sourceName, options), options, stem) ||
      openSource(sourceName, source) != 0)
    return false;
  const SourceFormat format = probeSource(source.reader(error), source.length, options.anyFormat);
  std::uint64_t end = 0;
  Metadata metadata;
  std::vector<std::uint32_t> chosen;
  std::string problem;
  if (format.verdict != Verdict::usable) return false;
  if ((options.trackNames || !options.channels.tracks.empty()) &&
      (!measureSampleArea(source.reader(error), source.length, format.dataStart, end,
                          format.bigEndian) ||
       !listMetadata(source.reader(error), source.length, format, end, metadata)))
    return false;
  const std::vector<std::string> tracks = trackNamesOf(metadata, format.channels);
  if (!chooseChannels(options.channels, format.channels, tracks, chosen, problem)) return false;
  names = nameOutputs(stem, format.channels, chosen,
                      options.trackNames ? tracks : std::vector<std::string>(), options.separator)
              .names;
  return true;
}
