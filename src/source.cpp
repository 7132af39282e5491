// The source, opened once and read through one descriptor by every stage: a file, read by
// offset, or a stream (standard input, a FIFO, a character device), read once front to back.
// A stream's bytes are kept only while a decision needs them: its head until the probe has
// decided, and past the data chunk's declared end, until what follows is known to be chunks or
// samples; never more than kStreamHold of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tarnvell2.h"

namespace {

// The probe's window, obtained once and shared by every source of the run; a source's view of
// it is good only while no other source has filled it since (the batch guards probe other
// sources while one is open).
constexpr std::size_t kWindowBytes = 16 * 1024;
unsigned char window[kWindowBytes];
std::uint64_t windowFills = 0;

}  // namespace

Source::~Source() {
  if (stream) endStreamReading();
}

int openSource(const std::string& name, Source& source, bool streams) {
  source.name = name;
  if (streams && name == "-") {
    // Standard input, read from where it stands; a terminal holds no WAVE stream.
    if (isatty(STDIN_FILENO) == 1) return kTerminal;
    source.fd = Fd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  } else {
    // Where no stream is wanted, a FIFO is not even opened: that would let its writer go on
    // into a pipe nobody reads.
    struct stat status;
    if (!streams && stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode) &&
        !S_ISDIR(status.st_mode))
      return kNotRegularFile;
    // O_NONBLOCK, so that a FIFO with no writer cannot hang the open; it means nothing for a
    // regular file.
    source.fd = Fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  }
  struct stat status;
  if (source.fd.fd < 0 || fstat(source.fd.fd, &status) != 0) return errno;
  if (S_ISDIR(status.st_mode)) return EISDIR;
  source.device = status.st_dev;
  source.inode = status.st_ino;
  source.stream = name == "-" || S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) ||
                  S_ISSOCK(status.st_mode);
  if (!source.stream && !S_ISREG(status.st_mode)) return kNotRegularFile;
  if (source.stream && !streams) return kNotRegularFile;
  source.length = source.stream ? kUnknownSize : static_cast<std::uint64_t>(status.st_size);
  return 0;
}

long Source::readDirect(std::uint64_t at, unsigned char* buffer, std::size_t count) {
  if (stream) return read(at, buffer, count);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = pread(fd.fd, buffer + got, count - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long>(got);
}

long Source::read(std::uint64_t at, unsigned char* buffer, std::size_t count) {
  if (stream) {
    // What is kept, read on up to the hold; bytes gone by are an error, bytes past the hold or
    // the end are not there.
    if (at < keptFrom) {
      errno = ESPIPE;
      return -1;
    }
    if (at + count > pulled && !hold(std::min<std::uint64_t>(at + count, keptFrom + kStreamHold)))
      return -1;
    const std::uint64_t have = at < pulled ? pulled - at : 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(have, count));
    if (n > 0) std::memcpy(buffer, kept.data() + (at - keptFrom), n);
    return static_cast<long>(n);
  }
  if (count > kWindowBytes) return readDirect(at, buffer, count);
  if (windowFill != windowFills || at < windowStart || at + count > windowStart + windowLength) {
    const long got = readDirect(at, window, kWindowBytes);
    if (got < 0) return -1;
    windowFill = ++windowFills;
    windowStart = at;
    windowLength = static_cast<std::uint64_t>(got);
  }
  const std::uint64_t have = windowStart + windowLength - at;
  const std::size_t n = have < count ? static_cast<std::size_t>(have) : count;
  std::memcpy(buffer, window + (at - windowStart), n);
  return static_cast<long>(n);
}

void Source::showHeld() {
  // What the head held so far says of the samples, once its format chunk has come: read from
  // what is kept alone, never waiting for more.
  const ReadAt kept = [this](std::uint64_t at, unsigned char* buffer, std::size_t count) {
    if (at < keptFrom || at >= pulled) return 0L;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(pulled - at, count));
    std::memcpy(buffer, this->kept.data() + (at - keptFrom), n);
    return static_cast<long>(n);
  };
  const SourceFormat format = probeSource(kept, pulled, true);
  const std::uint64_t frameBytes = std::uint64_t{format.channels} * format.containerBytes;
  const bool known =
      format.verdict == Verdict::usable && frameBytes > 0 && pulled > format.dataStart;
  showStreamProgress(name.c_str(), known ? (pulled - format.dataStart) / frameBytes : 0,
                     known ? format.sampleRate : 0, pulled);
}

bool Source::hold(std::uint64_t upTo) {
  while (!ended && pulled < upTo) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(upTo - pulled, std::size_t{1} << 20));
    kept.resize(kept.size() + want);
    const long got = readStream(fd.fd, kept.data() + kept.size() - want, want);
    kept.resize(kept.size() - want + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got < 0) return false;
    if (got == 0) {
      ended = true;
      length = pulled;
    }
    pulled += static_cast<std::uint64_t>(got);
    if (streamProgressDue()) showHeld();
  }
  return true;
}

long Source::readSamples(unsigned char* buffer, std::size_t count) {
  if (samplesAt < pulled) {
    // Kept bytes first; once passed, they are let go.
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(pulled - samplesAt, count));
    std::memcpy(buffer, kept.data() + (samplesAt - keptFrom), n);
    samplesAt += n;
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(samplesAt - keptFrom));
    keptFrom = samplesAt;
    if (kept.empty()) std::vector<unsigned char>().swap(kept);
    return static_cast<long>(n);
  }
  if (ended) return 0;
  const long got = readStream(fd.fd, buffer, count);
  if (got < 0) return -1;
  if (got == 0) {
    ended = true;
    length = pulled;
  }
  pulled += static_cast<std::uint64_t>(got);
  keptFrom = samplesAt = pulled;
  return got;
}

ReadAt Source::reader(int& error) {
  return [this, &error](std::uint64_t at, unsigned char* buffer, std::size_t count) {
    const long got = read(at, buffer, count);
    if (got < 0) error = errno;
    return got;
  };
}

std::string reasonOf(int error) {
  return error == kNotRegularFile ? "not a regular file"
         : error == kTerminal     ? "standard input is a terminal, not a stream"
         : error == EISDIR        ? "is a folder, not a WAVE file"
                                  : std::strerror(error);
}

void OPEN_SOURCE(const std::string& name, Source& source) {
  const int error = openSource(name, source, true);
  if (error != 0)
    failRun(name, reasonOf(error), "Cannot find file in track list called " + name + "!!", 2);
  if (!source.stream) return;
  // A stream is read from here to the end of its samples; a first signal ends the reading, not
  // the run. A FIFO with no writer yet is waited for, and a second of waiting is said. A larger
  // pipe: fewer, larger reads.
  (void)fcntl(source.fd.fd, F_SETPIPE_SZ, 1 << 20);
  beginStreamReading();
  showStreamProgress(name.c_str(), 0, 0, 0);  // its rate counts from here
  if (!waitForWriter(source.fd.fd, name))
    failRun(name, std::strerror(errno), "Cannot find file in track list called " + name + "!!", 2);
}
