// tarnvell2 SOURCE: splits a stereo 16- or 24-bit PCM WAVE file into two mono WAVE files beside
// it, one per channel, with the samples copied byte for byte. The outputs take the source's
// folder and the text of its name before the first '.': "takes/song.wav" gives
// "takes/songL.wav" (left) and "takes/songR.wav" (right); existing files of those names are
// replaced. Without SOURCE the name is asked for on the console.
#include "tarnvell2.h"

#include <sys/stat.h>

#include <string>

namespace {

// POSIX stat rather than std::filesystem, whose locale machinery would make the binary six
// times larger. A file that does not exist yet is nobody's twin.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string sourceName = argc > 1 ? std::string(argv[1]) : askSourceName();
  std::string leftName, rightName;
  if (!outputNames(sourceName, leftName, rightName))
    endRun("Filename error: looking for format of type name.wav", 2);

  std::uint32_t channels[1], dataStart[1], sampleRate[1], bytesPerSample[1], bitsPerSample[1],
      containerBytes[1];
  GET_ATTRIBUTES(0, sourceName.c_str(), channels, dataStart, sampleRate, bytesPerSample,
                 bitsPerSample, containerBytes);

  const std::uint64_t end = SAMPLE_END(sourceName.c_str(), dataStart[0]);
  const std::uint64_t frames =
      end > dataStart[0] ? (end - dataStart[0]) / (std::uint64_t{containerBytes[0]} * channels[0])
                         : 0;
  if (frames * bytesPerSample[0] > kMaxDataBytes)
    endRun("The file you want to convert is too large!", 1);
  const auto frameCount = static_cast<std::uint32_t>(frames);

  // Truncating an output that is the source (or the other output) under another name would
  // destroy the audio before it is read.
  if (sameFile(sourceName, leftName) || sameFile(sourceName, rightName) ||
      sameFile(leftName, rightName))
    endRun("Unable to open file.", 2);

  std::string leftFile, rightFile;
  PREPARE_OUTPUTS(leftName, rightName, leftFile, rightFile);
  MAKE_HEADER(leftFile.c_str(), sampleRate[0], bitsPerSample[0], frameCount);
  MAKE_HEADER(rightFile.c_str(), sampleRate[0], bitsPerSample[0], frameCount);
  COPY_DATA(sourceName.c_str(), leftFile.c_str(), rightFile.c_str(), dataStart[0], bitsPerSample[0],
            containerBytes[0], frameCount);
  COMMIT_OUTPUTS();
  endRun("done", 0);
}
