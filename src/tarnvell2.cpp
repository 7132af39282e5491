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

const char* const kUsage =
    "Usage: tarnvell2 [--] [SOURCE...]\n"
    "       tarnvell2 --help | -h | --version\n"
    "\n"
    "Splits each stereo PCM WAVE file SOURCE (16 or 24 bits) into two mono WAVE files\n"
    "beside it, the left and the right channel, the samples copied byte for byte. The\n"
    "outputs are named after the text of the name before its first '.', then L.wav\n"
    "or R.wav: takes/song.wav gives takes/songL.wav and takes/songR.wav. Existing\n"
    "outputs are replaced whole, or not at all. Without SOURCE the name is asked for.\n"
    "\n"
    "With several sources each is split in turn and reported on a line of its own,\n"
    "NAME: MESSAGE. A source is refused when its outputs would replace another stereo\n"
    "source of the run, or outputs that an earlier source of the run wrote\n"
    "(take.1.wav and take.2.wav both name takeL.wav and takeR.wav).\n"
    "\n"
    "Exit status: 0 when every source was split; 1 when a source is not stereo, not\n"
    "16 or 24 bits or too large, or when the prompt was left; 2 for any other\n"
    "failure. With several sources, the highest of them.\n"
    "\n"
    "See man tarnvell2.";

// POSIX stat rather than std::filesystem, whose locale machinery would make the binary six
// times larger. A file that does not exist yet is nobody's twin.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// One source, through the stages in order; every way out ends the process.
void splitSource(const std::string& sourceName) {
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
  for (const std::string* output : {&leftName, &rightName})
    if (sameFile(sourceName, *output))
      failRun(*output, "is the source itself", "Unable to open file.", 2);
  if (sameFile(leftName, rightName))
    failRun(rightName, "is the same file as " + leftName, "Unable to open file.", 2);

  std::string leftFile, rightFile;
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
  std::vector<std::string> names(argv + 1, argv + argc);
  // Only a first argument is an option; every other one is a source name, even "-x".
  if (!names.empty() && (names[0] == "--help" || names[0] == "-h")) endRun(kUsage, 0);
  if (!names.empty() && names[0] == "--version") endRun("tarnvell2 " TARNVELL2_VERSION, 0);
  if (!names.empty() && names[0] == "--") names.erase(names.begin());

  if (names.size() > 1) return SPLIT_EACH(names, splitSource);
  splitSource(names.empty() ? askSourceName() : names[0]);
}
