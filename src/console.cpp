// The console: prompts, the help screen and the one-word answers, the progress line, and the
// single way a source's run ends: its result line, then an exception that releases what the run
// holds on its way back to RUN_SOURCE.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tarnvell2.h"

namespace {

using Clock = std::chrono::steady_clock;

// "NAME: " before the result line of a source in a run with several, and which one it is.
std::string label;
std::size_t sourceIndex = 0, sourceCount = 0;

// The progress line: shown only on a terminal, only once the run has gone on for a second.
Clock::time_point runStart = Clock::now();
Clock::time_point copyStart, lastShown;
volatile std::sig_atomic_t progressShown = 0;

constexpr char kErase[] = "\r\033[K";

void eraseProgress() {
  if (!progressShown) return;
  std::fputs(kErase, stderr);
  std::fflush(stderr);
  progressShown = 0;
}

}  // namespace

void setSourceLabel(const std::string& sourceName, std::size_t index, std::size_t count) {
  label = sourceName + ": ";
  sourceIndex = index;
  sourceCount = count;
  runStart = Clock::now();
}

namespace {

// A stream's line comes about once a second: a recordist watches it come in real time.
constexpr auto kStreamSpacing = std::chrono::milliseconds(900);

// Whether a line would be shown at `now`: on a terminal, once the run has gone on for a second,
// `spacing` after the last.
bool dueAt(Clock::time_point now, Clock::duration spacing) {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal && now - runStart >= std::chrono::seconds(1) && now - lastShown >= spacing;
}

// Whether a progress line is due, every `spacing`; `seconds` of copying (of a stream: of
// receiving) so far.
bool progressDue(bool starting, double& seconds,
                 Clock::duration spacing = std::chrono::milliseconds(250)) {
  const Clock::time_point now = Clock::now();
  if (starting) copyStart = now;
  if (!dueAt(now, spacing)) return false;
  lastShown = now;
  seconds = std::chrono::duration<double>(now - copyStart).count();
  return true;
}

void showLine(const char* sourceName, const char* figures) {
  std::string line = "tarnvell2: ";
  if (sourceCount > 1)
    line += "[" + std::to_string(sourceIndex) + "/" + std::to_string(sourceCount) + "] ";
  // One line that the next update overwrites: it must not wrap.
  struct winsize size = {};
  const std::size_t width =
      ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
  std::string name = sourceName;
  const std::size_t fixed = line.size() + std::strlen(figures) + 1;
  if (fixed + name.size() > width)
    name = width > fixed + 3 ? "..." + name.substr(name.size() - (width - fixed - 3)) : "";
  line += name + figures;
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  progressShown = 1;
}

}  // namespace

void showProgress(const char* sourceName, std::uint64_t doneBytes, std::uint64_t totalBytes) {
  double seconds;
  if (!progressDue(doneBytes == 0, seconds)) return;
  char figures[64];
  std::snprintf(figures, sizeof figures, " %3u%% %.1f MB/s",
                static_cast<unsigned>(totalBytes ? doneBytes * 100 / totalBytes : 100),
                seconds > 0 ? static_cast<double>(doneBytes) / seconds / 1e6 : 0.0);
  showLine(sourceName, figures);
}

void showStreamProgress(const char* sourceName, std::uint64_t frames, std::uint32_t sampleRate,
                        std::uint64_t bytes) {
  double seconds;
  // From the stream's first byte.
  if (!progressDue(bytes == 0, seconds, kStreamSpacing)) return;
  // A stream has no percent: the audio received so far, and how fast it comes.
  const std::uint64_t audio = sampleRate ? frames / sampleRate : 0;
  char figures[96];
  std::snprintf(figures, sizeof figures, " %u:%02u:%02u received %.1f MB/s",
                static_cast<unsigned>(audio / 3600), static_cast<unsigned>(audio / 60 % 60),
                static_cast<unsigned>(audio % 60),
                seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
  showLine(sourceName, figures);
}

bool streamProgressDue() {
  return dueAt(Clock::now(), kStreamSpacing);
}

void eraseProgressForSignal() {
  if (progressShown) (void)!write(STDERR_FILENO, kErase, sizeof kErase - 1);
}

namespace {

// Whether the last result line said "done".
bool splitDone = false;

// The result line; the status it leaves, 2 where standard output could not take it.
int printResult(const std::string& message, int status) {
  eraseProgress();
  splitDone = message == "done";
  std::fputs(label.c_str(), stdout);
  std::fputs(message.c_str(), stdout);
  std::fputc('\n', stdout);
  // A run whose report cannot be delivered (standard output on a full disk) has not succeeded.
  // Flushed at once in a batch too, so that a signal later in the run loses no line.
  if (std::fflush(stdout) != 0) {
    printReason("standard output", std::strerror(errno));
    if (status == 0) status = 2;
  }
  return status;
}

}  // namespace

bool lastRunSplit() {
  return splitDone;
}

void OPEN_STANDARD_STREAMS() {
  // A descriptor from 0 to 2 that the caller closed would be the first file the tool opens, an
  // output perhaps, and a reason line meant for standard error would go into it.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
        ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      std::exit(2);
}

void endRun(const std::string& message, int status) {
  throw RunEnded{printResult(message, status)};
}

void exitWith(const std::string& message, int status) {
  std::exit(printResult(message, status));
}

int RUN_SOURCE(SplitSource split, const std::string& sourceName, const Options& options) {
  try {
    split(sourceName, options);
  } catch (const RunEnded& end) {
    return end.status;
  } catch (const std::bad_alloc&) {
    // Everything the run held is released by now: its outputs are discarded.
    return printResult("Not enough memory.", 2);
  }
  return 0;  // a split always ends its run; not reached
}

void printReason(const std::string& name, const std::string& reason) {
  eraseProgress();
  std::fprintf(stderr, "tarnvell2: %s: %s\n", name.c_str(), reason.c_str());
}

void failRun(const std::string& name, const std::string& reason, const std::string& message,
             int status) {
  printReason(name, reason);
  endRun(message, status);
}

bool readWord(std::string& word) {
  word.clear();
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(c));
  while (c != EOF && !std::isspace(c)) {
    word.push_back(static_cast<char>(c));
    c = std::getchar();
  }
  return !word.empty();
}

static std::string answer(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  std::string word;
  if (!readWord(word)) exitWith("", 1);
  return word;
}

std::string askSourceName() {
  std::string name = answer("\nEnter the name of .wav file or 'h' for help: ");
  if (name != "h") return name;
  std::fputs("Tarnvell 1.021 by Oskavar\n", stdout);
  std::fputs("\nThis program will split a stereo wave file into two mono wave files.\n", stdout);
  name = answer("\nEnter the name of .wav file or 'x' to exit: ");
  if (name == "x") {
    std::fflush(stdout);
    std::exit(1);
  }
  return name;
}
