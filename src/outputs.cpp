// All-or-nothing outputs. Each output is made as an unnamed file (O_TMPFILE) in the folder where
// it will live and written through one descriptor; only when all of them are complete is each
// linked to a temporary name and renamed over its final name, under a lock on the folder. A
// crash, a SIGKILL or the OOM killer before that moment leaves nothing at all, and a failure or
// a catchable signal removes what has a name, so the final names hold either the previous
// outputs or the new ones, never a part of a file. Where the file system has no O_TMPFILE (vfat
// on SD cards, some network file systems), the outputs are named temporary files from the start.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "tarnvell2.h"

namespace {

// An output of the source being split: the name the user knows, the file it stands for
// (through symbolic links), the temporary name it has (empty while it is unnamed, and for an
// output written in place), and its one descriptor from creation to commit.
struct Output {
  std::string name;
  std::string destination;
  std::string temporary;
  bool unnamed = false;
  bool inPlace = false;
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
volatile std::sig_atomic_t pendingCount = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void removePending() {
  for (std::size_t k = 0; k < pendingSlots; ++k)
    if (pending[k].path[0] != '\0') {
      ::unlink(pending[k].path);
      pending[k].path[0] = '\0';
    }
  pendingCount = 0;
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

// Called with the signals blocked.
void setPending(std::size_t slot, const std::string& path) {
  if (slot >= pendingSlots) {
    std::unique_ptr<PendingName[]> old(pending);
    pending = new PendingName[slot + 1]();
    for (std::size_t k = 0; k < pendingSlots; ++k) pending[k] = old[k];
    pendingSlots = slot + 1;
  }
  std::memcpy(pending[slot].path, path.c_str(), path.size() + 1);
  pendingCount = 1;
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
// is then created, as writing through the link would). 0 or an errno value; `exists` says
// whether the file is there, and `status` is then its own.
int destinationOf(const std::string& name, std::string& destination, bool& exists,
                  struct stat& status) {
  destination = name;
  for (int links = 0; links < 40; ++links) {
    exists = lstat(destination.c_str(), &status) == 0;
    if (!exists || !S_ISLNK(status.st_mode)) return 0;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t n = readlink(destination.c_str(), &target[0], target.size());
    if (n < 0) return errno;
    target.resize(static_cast<std::size_t>(n));
    destination = target[0] == '/' ? target : folderOf(destination) + target;
  }
  return ELOOP;
}

// Finds where one output goes and checks that it may be written there; `mode` gets the mode of
// the file it replaces, if any. A device or a pipe is written in place, as it always was.
void check(Output& output, mode_t& mode, bool& replaces) {
  struct stat status;
  bool exists = false;
  const int found = destinationOf(output.name, output.destination, exists, status);
  int error = found;
  replaces = false;
  if (found == 0 && exists) {
    if (S_ISDIR(status.st_mode))
      error = EISDIR;
    else if (!S_ISREG(status.st_mode))
      output.inPlace = true;
    else if (access(output.destination.c_str(), W_OK) != 0)
      error = errno;
    mode = status.st_mode & 07777;
    replaces = true;
  }
  if (error != 0) failRun(output.name, std::strerror(error), "Unable to open file.", 2);
}

mode_t umaskBits() {
  static const mode_t bits = [] {
    const mode_t b = umask(0);
    umask(b);
    return b;
  }();
  return bits;
}

// A name no other file has yet, beside the destination: ".NAME.XXXXXX" with the X random.
std::string freshName(const std::string& destination) {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::uint64_t state =
      static_cast<std::uint64_t>(std::time(nullptr)) * 6364136223846793005u ^
      static_cast<std::uint64_t>(getpid());
  std::string name = temporaryName(destination);
  for (std::size_t k = name.size() - 6; k < name.size(); ++k) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    name[k] = letters[(state >> 33) % (sizeof letters - 1)];
  }
  return name;
}

// Makes one output's file: unnamed where the folder's file system allows, else a named
// temporary file; false where the folder may not be written, though the output in it may: it
// is then written in place.
bool makeFile(Output& output, std::size_t slot, mode_t mode, bool replaces) {
  const std::string folder = folderOf(output.destination);
  output.fd =
      Fd(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  int error = errno;
  if (output.fd.fd >= 0) {
    // The link that names it at the end goes through /proc: without /proc, a named file now.
    static const bool proc = [&output] {
      struct stat status;
      return stat(("/proc/self/fd/" + std::to_string(output.fd.fd)).c_str(), &status) == 0;
    }();
    if (proc) {
      output.unnamed = true;
      // A new file gets 0666 less the umask by itself; a replacement keeps the old one's mode.
      if (replaces) (void)fchmod(output.fd.fd, mode);
      return true;
    }
    output.fd = Fd();
    error = EOPNOTSUPP;
  }
  if (error == EACCES || error == EPERM || error == EROFS) return false;
  if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL)
    failRun(output.name, std::strerror(error), "Unable to open file.", 2);
  std::string temporary = temporaryName(output.destination);
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

// The folders the outputs go into, each opened once: locked while the outputs are renamed, so
// that racing runs never leave the left output of one beside the right output of another, and
// synced after, with --sync. Best effort for the lock: a folder that cannot be opened, or a file
// system without locks, is renamed into unlocked.
struct Folders {
  explicit Folders(const std::vector<Output>& all) {
    for (const Output& output : all) {
      const std::string folder = folderOf(output.destination);
      // Nothing to rename in place; one open for the outputs of one folder.
      if (output.inPlace || std::count(names.begin(), names.end(), folder.empty() ? "." : folder))
        continue;
      Fd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      struct stat status;
      if (fd.fd < 0 || fstat(fd.fd, &status) != 0) continue;
      const auto id = std::make_pair(status.st_dev, status.st_ino);
      if (std::none_of(ids.begin(), ids.end(), [&](const auto& known) { return known == id; })) {
        ids.push_back(id);
        names.push_back(folder.empty() ? "." : folder);
        outputNames.push_back(output.name);
        fds.push_back(std::move(fd));
      }
    }
    // One order for every run, so that two runs never wait for each other's second folder.
    std::vector<std::size_t> order(fds.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
    for (const std::size_t k : order)
      while (flock(fds[k].fd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  std::vector<std::pair<dev_t, ino_t>> ids;
  std::vector<std::string> names;
  std::vector<std::string> outputNames;  // the first output of each, for a reason line
  std::vector<Fd> fds;                   // closed, and so unlocked, when the commit is over
};

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
  static rlim_t enough = 0;  // known to be allowed: asked once in a batch
  struct rlimit limit;
  if (needed > enough && getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
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
  enough = std::max(enough, needed);
  installHandlers();
  outputs.clear();
  outputs.resize(outputNames.size());
  std::vector<mode_t> modes(outputs.size(), 0666 & ~umaskBits());
  std::vector<bool> replaces(outputs.size());
  // Every output is checked before any is created, and created before any is opened in place,
  // so that a refusal leaves every file as it was.
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    outputs[k].name = outputNames[k];
    bool replacing = false;
    check(outputs[k], modes[k], replacing);
    replaces[k] = replacing;
    // Two links to one missing file would otherwise race for it.
    for (std::size_t j = 0; j < k; ++j)
      if (outputs[j].destination == outputs[k].destination)
        failRun(outputs[k].name, "is the same file as " + outputs[j].name, "Unable to open file.",
                2);
  }
  for (std::size_t k = 0; k < outputs.size(); ++k)
    if (!outputs[k].inPlace) outputs[k].inPlace = !makeFile(outputs[k], k, modes[k], replaces[k]);
  for (Output& output : outputs)
    if (output.inPlace) {
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

void COMMIT_OUTPUTS(bool sync) {
  // --sync: on the disk before any is renamed, so that a power cut leaves the previous outputs
  // or the new ones. A pipe or a device written in place has nothing to sync.
  if (sync)
    for (Output& output : outputs) {
      struct stat status;
      if (fstat(output.fd.fd, &status) == 0 && S_ISREG(status.st_mode) && fsync(output.fd.fd) != 0)
        failRun(output.name, std::strerror(errno), "Unable to write file.", 2);
    }
  Folders folders(outputs);
  int error = 0;
  std::size_t failed = 0;
  {
    // Signals wait until the names are final: only a SIGKILL between a link and its rename can
    // leave a named temporary file.
    Guard guard;
    for (std::size_t k = 0; k < outputs.size() && error == 0; ++k) {
      Output& output = outputs[k];
      if (!output.unnamed) continue;
      const std::string proc = "/proc/self/fd/" + std::to_string(output.fd.fd);
      for (int tries = 0; tries < 100; ++tries) {
        output.temporary = freshName(output.destination);
        if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, output.temporary.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
          setPending(k, output.temporary);
          error = 0;
          break;
        }
        error = errno;
        output.temporary.clear();
        if (error != EEXIST) break;
      }
      failed = k;
    }
    // The close is what reports a failed write-back on some file systems: all are closed
    // before any is renamed.
    for (std::size_t k = 0; k < outputs.size() && error == 0; ++k)
      if (::close(outputs[k].fd.release()) != 0) {
        error = errno;
        failed = k;
      }
    for (std::size_t k = 0; k < outputs.size() && error == 0; ++k) {
      Output& output = outputs[k];
      if (output.temporary.empty()) continue;
      if (std::rename(output.temporary.c_str(), output.destination.c_str()) != 0) {
        error = errno;
        failed = k;
        break;
      }
      pending[k].path[0] = '\0';
      output.temporary.clear();
    }
  }
  if (error != 0) failRun(outputs[failed].name, std::strerror(error), "Unable to write file.", 2);
  // --sync: the renames themselves on the disk.
  if (sync)
    for (std::size_t k = 0; k < folders.fds.size(); ++k)
      if (fsync(folders.fds[k].fd) != 0)
        failRun(folders.outputNames[k], std::strerror(errno), "Unable to write file.", 2);
  outputs.clear();
  pendingCount = 0;
}

void DISCARD_OUTPUTS() {
  outputs.clear();  // closes the descriptors: an unnamed file is gone with its last one
  if (pendingCount == 0) return;
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
