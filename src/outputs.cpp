// All-or-nothing outputs: each output is written under a temporary name in the folder where it
// will live, and renamed over its final name only when all of them are complete and closed. A
// failure or a signal removes the temporary files, so the final names hold either the previous
// outputs or the new ones, never a part of a file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tarnvell2.h"

namespace {

// An output of the source being split: the name the user knows, the file it stands for
// (through symbolic links), the temporary file written for it (empty when the output is written
// in place), and its one descriptor from creation to commit.
struct Output {
  std::string name;
  std::string destination;
  std::string temporary;
  Fd fd;
};
std::vector<Output> outputs;

// What the signal handler and the exit handler remove: the temporary names still waiting for
// their rename. Fixed storage, so that the handler never reads a string that a later source
// reuses; it grows, and slots change, only with the signals blocked.
struct PendingName {
  char path[PATH_MAX];
};
PendingName* volatile pending = nullptr;
volatile std::size_t pendingSlots = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void removePending() {
  for (std::size_t k = 0; k < pendingSlots; ++k)
    if (pending[k].path[0] != '\0') {
      ::unlink(pending[k].path);
      pending[k].path[0] = '\0';
    }
}

// Async-signal-safe: unlink, then die by the same signal so that the caller sees it.
extern "C" void removeAndDie(int signal) {
  removePending();
  eraseProgressForSignal();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Blocks the four signals while the pending names change, so that no handler sees half a change.
struct Guard {
  Guard() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kSignals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved);
  }
  ~Guard() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  sigset_t saved;
};

void setPending(std::size_t slot, const std::string& path) {
  Guard guard;
  if (slot >= pendingSlots) {
    std::unique_ptr<PendingName[]> old(pending);
    pending = new PendingName[slot + 1]();
    for (std::size_t k = 0; k < pendingSlots; ++k) pending[k] = old[k];
    pendingSlots = slot + 1;
  }
  std::memcpy(pending[slot].path, path.c_str(), path.size() + 1);
}

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(removePending);
  for (const int s : kSignals) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a background job) stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = removeAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a name stands for: symbolic links followed (to a file that may not exist yet, which
// is then created, as writing through the link would). 0 or an errno value.
int destinationOf(const std::string& name, std::string& destination) {
  destination = name;
  for (int links = 0; links < 40; ++links) {
    struct stat status;
    if (lstat(destination.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return 0;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t n = readlink(destination.c_str(), &target[0], target.size());
    if (n < 0) return errno;
    target.resize(static_cast<std::size_t>(n));
    destination = target[0] == '/' ? target : folderOf(destination) + target;
  }
  return ELOOP;
}

// Finds where one output goes and checks that it may be written there; `mode` gets the mode the
// new file will have. False for a device or a pipe, which is written in place.
bool check(Output& output, mode_t& mode) {
  int error = destinationOf(output.name, output.destination);
  struct stat status;
  if (error == 0 && stat(output.destination.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) error = EISDIR;
    // A device or a pipe is written in place, as it always was.
    else if (!S_ISREG(status.st_mode))
      return false;
    else if (access(output.destination.c_str(), W_OK) != 0)
      error = errno;
    mode = status.st_mode & 07777;
  }
  if (error != 0) failRun(output.name, std::strerror(error), "Unable to open file.", 2);
  return true;
}

// Makes the temporary file of one output; false where the folder may not be written, though
// the output in it may: then it is written in place.
bool makeTemporary(Output& output, std::size_t slot, mode_t mode) {
  std::string temporary = temporaryName(output.destination);
  int error;
  {
    Guard guard;
    output.fd = Fd(mkstemp(&temporary[0]));
    error = errno;
    if (output.fd.fd >= 0) {
      output.temporary = temporary;
      setPending(slot, temporary);
    }
  }
  if (output.fd.fd < 0) {
    if (error == EACCES || error == EPERM || error == EROFS) return false;
    failRun(output.name, std::strerror(error), "Unable to open file.", 2);
  }
  // mkstemp gives 0600; the output gets what the old one had, or what a new file would get.
  (void)fchmod(output.fd.fd, mode);
  return true;
}

}  // namespace

std::string temporaryName(const std::string& destination) {
  const std::string folder = folderOf(destination);
  std::string base = destination.substr(folder.size());
  // The name must stay within NAME_MAX with its dot and its six random characters.
  const std::size_t room = NAME_MAX - 8;
  if (base.size() > room) base.resize(room);
  return folder + "." + base + ".XXXXXX";
}

void CHECK_OUTPUT_FOLDER(const std::string& folder) {
  struct stat status;
  if (folder.empty()) return;
  if (stat(folder.c_str(), &status) != 0)
    failRun(folder, std::strerror(errno), "Unable to open file.", 2);
  if (!S_ISDIR(status.st_mode)) failRun(folder, std::strerror(ENOTDIR), "Unable to open file.", 2);
}

void KEEP_EXISTING(const std::vector<std::string>& outputNames) {
  for (const std::string& name : outputNames) {
    struct stat status;
    if (lstat(name.c_str(), &status) == 0) {
      printReason(name, "exists, not replaced");
      endRun("skipped", 0);
    }
  }
}

void CHECK_NOT_SOURCE(const Source& source, const std::vector<std::string>& outputNames) {
  // POSIX stat rather than std::filesystem, whose locale machinery would make the binary six
  // times larger. A file that does not exist yet is nobody's twin.
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& name : outputNames) {
    struct stat status;
    if (stat(name.c_str(), &status) != 0) continue;
    if (status.st_dev == source.device && status.st_ino == source.inode)
      failRun(name, "is the source itself", "Unable to open file.", 2);
    for (std::size_t k = 0; k < seen.size(); ++k)
      if (seen[k] == std::make_pair(status.st_dev, status.st_ino))
        failRun(name, "is the same file as " + outputNames[k], "Unable to open file.", 2);
    seen.emplace_back(status.st_dev, status.st_ino);
  }
}

void PREPARE_OUTPUTS(const Source& source, const std::vector<std::string>& outputNames) {
  // Every output stays open until all are complete: a poly file needs a descriptor each, beside
  // the source, the standard streams and a folder. Asked for, or refused, before anything is
  // written.
  const rlim_t needed = outputNames.size() + 8;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < needed) {
    const rlim_t had = limit.rlim_cur;
    limit.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed ? needed : limit.rlim_max;
    if (limit.rlim_cur < needed || setrlimit(RLIMIT_NOFILE, &limit) != 0)
      failRun(source.name,
              std::to_string(outputNames.size()) + " outputs need " + std::to_string(needed) +
                  " open files, more than the limit of " + std::to_string(had) + " (ulimit -n)",
              "Unable to open file.", 2);
  }
  installHandlers();
  const mode_t umaskBits = umask(0);
  umask(umaskBits);
  outputs.clear();
  outputs.resize(outputNames.size());
  std::vector<mode_t> modes(outputs.size(), 0666 & ~umaskBits);
  std::vector<bool> named(outputs.size());
  // Every output is checked before any is created, and created before any is opened in place,
  // so that a refusal leaves every file as it was.
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    outputs[k].name = outputNames[k];
    named[k] = check(outputs[k], modes[k]);
    // Two links to one missing file would otherwise race for it.
    for (std::size_t j = 0; j < k; ++j)
      if (outputs[j].destination == outputs[k].destination)
        failRun(outputs[k].name, "is the same file as " + outputs[j].name, "Unable to open file.",
                2);
  }
  for (std::size_t k = 0; k < outputs.size(); ++k)
    if (named[k]) named[k] = makeTemporary(outputs[k], k, modes[k]);
  for (Output& output : outputs)
    if (output.temporary.empty()) {
      output.fd = Fd(::open(output.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
      if (output.fd.fd < 0) failRun(output.name, std::strerror(errno), "Unable to open file.", 2);
    }
}

int outputFd(std::size_t output) {
  return outputs[output].fd.fd;
}

const std::string& outputName(std::size_t output) {
  return outputs[output].name;
}

void COMMIT_OUTPUTS() {
  // The close is what reports a failed write-back on some file systems: all are closed before
  // any is renamed.
  for (Output& output : outputs)
    if (::close(output.fd.release()) != 0)
      failRun(output.name, std::strerror(errno), "Unable to write file.", 2);
  for (std::size_t slot = 0; slot < outputs.size(); ++slot) {
    Output& output = outputs[slot];
    if (output.temporary.empty()) continue;
    int error = 0;
    {
      Guard guard;
      if (std::rename(output.temporary.c_str(), output.destination.c_str()) == 0)
        pending[slot].path[0] = '\0';
      else
        error = errno;
    }
    if (error != 0) failRun(output.name, std::strerror(error), "Unable to write file.", 2);
    output.temporary.clear();
  }
  outputs.clear();
}

void DISCARD_OUTPUTS() {
  outputs.clear();  // closes the descriptors
  Guard guard;
  removePending();
}

bool writeFully(int fd, const unsigned char* buffer, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    buffer += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}
