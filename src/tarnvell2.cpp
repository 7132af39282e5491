// tarnvell2 [SOURCE...]: splits each stereo 16- or 24-bit PCM WAVE file into two mono WAVE files
// beside it, one per channel, with the samples copied byte for byte. The outputs take the
// source's folder and the text of its name before the first '.': "takes/song.wav" gives
// "takes/songL.wav" (left) and "takes/songR.wav" (right); existing files of those names are
// replaced whole. Without SOURCE the name is asked for on the console.
#include "tarnvell2.h"

#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

Options options;

// POSIX stat rather than std::filesystem, whose locale machinery would make the binary six
// times larger. A file that does not exist yet is nobody's twin.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// One source, through the stages in order; every way out ends the process.
void splitSource(const std::string& sourceName) {
  std::string stem;
  if (!outputStem(sourceName, options, stem))
    endRun("Filename error: looking for format of type name.wav", 2);
  const std::vector<std::string> names = outputNames(stem, 2);
  const std::string &leftName = names[0], &rightName = names[1];

  std::uint32_t channels[1], dataStart[1], sampleRate[1], bytesPerSample[1], bitsPerSample[1],
      containerBytes[1];
  GET_ATTRIBUTES(0, sourceName.c_str(), channels, dataStart, sampleRate, bytesPerSample,
                 bitsPerSample, containerBytes);

  if (options.noClobber) KEEP_EXISTING(names);

  const std::uint64_t end = SAMPLE_END(sourceName.c_str(), dataStart[0]);
  const std::uint64_t frames =
      end > dataStart[0] ? (end - dataStart[0]) / (std::uint64_t{containerBytes[0]} * channels[0])
                         : 0;
  if (frames * bytesPerSample[0] > kMaxDataBytes)
    endRun("The file you want to convert is too large!", 1);
  const auto frameCount = static_cast<std::uint32_t>(frames);

  // Truncating an output that is the source (or the other output) under another name would
  // destroy the audio before it is read.
  for (const std::string* output : {&leftName, &rightName})
    if (sameFile(sourceName, *output))
      failRun(*output, "is the source itself", "Unable to open file.", 2);
  if (sameFile(leftName, rightName))
    failRun(rightName, "is the same file as " + leftName, "Unable to open file.", 2);

  std::string leftFile, rightFile;
  CHECK_OUTPUT_FOLDER(options.outputDir);
  PREPARE_OUTPUTS(leftName, rightName, leftFile, rightFile);
  MAKE_HEADER(leftFile.c_str(), sampleRate[0], bitsPerSample[0], frameCount);
  MAKE_HEADER(rightFile.c_str(), sampleRate[0], bitsPerSample[0], frameCount);
  COPY_DATA(sourceName.c_str(), leftFile.c_str(), rightFile.c_str(), dataStart[0], bitsPerSample[0],
            containerBytes[0], frameCount);
  COMMIT_OUTPUTS();
  endRun("done", 0);
}

}  // namespace

int main(int argc, char** argv) {
  // A file size limit is a failed write, like a full disk, not a process killed mid-file.
  std::signal(SIGXFSZ, SIG_IGN);
  const int first = parseOptions(argc, argv, options);
  const std::vector<std::string> names(argv + first, argv + argc);
  if (names.size() > 1) return SPLIT_EACH(names, options, splitSource);
  splitSource(names.empty() ? askSourceName() : names[0]);
}
