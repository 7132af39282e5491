// Output names: "song.wav" gives "songL.wav" and "songR.wav". Only the last path component is
// cut, so "old.takes/song.wav" gives "old.takes/songL.wav" and the outputs land beside the
// source.
#include "tarnvell2.h"

bool outputNames(const std::string& sourceName, std::string& leftName, std::string& rightName) {
  const std::size_t slash = sourceName.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t baseStart = sourceName.find_first_not_of('.', nameStart);
  if (baseStart == std::string::npos) return false;
  const std::size_t baseEnd = sourceName.find('.', baseStart);
  const std::string stem =
      sourceName.substr(0, nameStart) + sourceName.substr(baseStart, baseEnd == std::string::npos
                                                                         ? std::string::npos
                                                                         : baseEnd - baseStart);
  leftName = stem + "L.wav";
  rightName = stem + "R.wav";
  return true;
}
