// Output names. By default "song.wav" gives "songL.wav" and "songR.wav": the first run of
// characters other than '.' in the last path component, in the source's folder, so
// "old.takes/song.wav" gives "old.takes/songL.wav". -w keeps the whole name less its last
// extension, -d puts the outputs in another folder.
#include "tarnvell2.h"

namespace {

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

std::vector<std::string> outputNames(const std::string& stem, std::uint32_t channels) {
  if (channels == 2) return {stem + "L.wav", stem + "R.wav"};
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
