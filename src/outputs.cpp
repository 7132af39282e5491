// All-or-nothing outputs. Each output is made as an unnamed file (O_TMPFILE) in the folder where
// it will live, its blocks allocated for its planned length, and written through one
// descriptor. Only when all of them are complete are they named, under a lock on each folder:
// one whose name is free is linked to it; one that replaces a file is linked to a fixed
// temporary name, then exchanged with the previous file (renameat2 RENAME_EXCHANGE), the last
// renamed over it, and only then are the previous files
// removed; a failure at any step puts back what the earlier steps placed. A crash, a SIGKILL or
// the OOM killer before the renames leaves at most fixed names that the next run in the folder
// removes. Where the file system has no O_TMPFILE (vfat on SD cards, some network file systems),
// the outputs are named temporary files from the start; where it refuses the exchange, a plain
// rename replaces the previous file at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <tuple>

#include "tarnvell2.h"

struct OutputSet::Output {
  std::string name;         // as the user knows it
  std::string destination;  // the file it stands for, symbolic links followed
  std::size_t folder = 0;   // of the destination, in folders_
  std::string fixed;        // ".NAME.tarnvell2" beside the destination
  std::string temporary;    // the named temporary file, while it has that name
  bool exists = false;      // something was at the destination when it was resolved
  bool regular = false;     // ... a regular file
  bool directory = false;   // ... a folder
  mode_t mode = 0;          // what the output gets: the previous file's, or 0666 less the umask
  int makeError = 0;        // why no file could be made beside it (written in place then)
  enum Way { unnamed, named, inPlace } way = unnamed;
  enum Step { made, linked, swapped, moved, replaced } step = made;
  std::size_t pendingSlot = 0;
  WriteCheck check;  // --verify
  Fd fd;
};

struct OutputSet::Folder {
  std::string path;  // as the outputs spell it, "." for the current folder
  dev_t device;
  ino_t inode;
  Fd fd;  // open from the commit's lock to its end
};

namespace {

// What the signal handler removes: the named temporary files of the source being split, where
// the file system has no O_TMPFILE. One block, sized once for all of its outputs: the number
// of slots, each slot's offset, then the names (a slot whose first byte is 0 holds none).
// Changed only with the signals blocked.
struct Pending {
  std::size_t slots;
  std::size_t* at;
  char* names;
};
Pending* volatile pending = nullptr;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Outputs of at least this many bytes have their blocks allocated before they are written.
constexpr std::uint64_t kAllocateAhead = 1 << 20;

// While a stream is read, and until a first signal has ended its reading.
volatile std::sig_atomic_t streamReading = 0, stopSignal = 0;

// Async-signal-safe: unlink, then die by the same signal so that the caller sees it; or, the
// first time while a stream is read, only end its reading.
extern "C" void onSignal(int signal) {
  if (streamReading && !stopSignal && signal != SIGPIPE) {
    stopSignal = signal;
    return;
  }
  if (Pending* p = pending)
    for (std::size_t k = 0; k < p->slots; ++k)
      if (p->names[p->at[k]] != '\0') ::unlink(p->names + p->at[k]);
  eraseProgressForSignal();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

sigset_t signalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kSignals) sigaddset(&set, s);
  return set;
}

// Blocks the four signals while the pending names change, so that no handler sees half a change.
struct Guard {
  Guard() {
    const sigset_t set = signalSet();
    sigprocmask(SIG_BLOCK, &set, &saved);
  }
  ~Guard() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  sigset_t saved;
};

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int s : kSignals) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a background job) stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    // No SA_RESTART: a blocked read of a stream returns, to see that its reading has ended.
    struct sigaction action = {};
    action.sa_handler = onSignal;
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

bool unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTTY;
}

// Names an unnamed file: by its descriptor where the kernel lets an unprivileged process (Linux
// 6.10 on), else through /proc, whose look-up costs a batch of short sources a twentieth of its
// time. 0 or an errno value.
int linkUnnamed(int fd, const char* name) {
  static bool byDescriptor = true;
  if (byDescriptor) {
    if (linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM && !unsupported(errno)) return errno;
    byDescriptor = false;
  }
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) ? errno : 0;
}

// Every output stays open until all are complete: a poly file needs a descriptor each, beside
// the source, the standard streams and its folders. Asked for, or refused, before anything is
// made.
void raiseDescriptorLimit(const std::string& sourceName, std::size_t outputs, std::size_t folders) {
  const rlim_t needed = outputs + folders + 8;
  static rlim_t enough = 0;  // known to be allowed: asked once in a batch
  struct rlimit limit;
  if (needed <= enough || getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) {
    enough = std::max(enough, needed);
    return;
  }
  const rlim_t had = limit.rlim_cur;
  limit.rlim_cur =
      limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed ? needed : limit.rlim_max;
  if (limit.rlim_cur < needed || setrlimit(RLIMIT_NOFILE, &limit) != 0)
    failRun(sourceName,
            std::to_string(outputs) + " outputs need " + std::to_string(needed) +
                " open files, more than the limit of " + std::to_string(had) + " (ulimit -n)",
            "Unable to open file.", 2);
  enough = needed;
}

// Waits for an exclusive lock on a folder: says so after a second, gives up after `wait`
// seconds. A file system without locks is renamed into unlocked, as it always was.
bool lockFolder(int fd, const std::string& shown, unsigned wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  bool told = false;
  auto pause = std::chrono::microseconds(500);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR)) return true;
    const auto waited = Clock::now() - start;
    if (waited >= std::chrono::seconds(wait)) return false;
    if (!told && waited >= std::chrono::seconds(1)) {
      printReason(shown, "waiting for a lock on the folder");
      told = true;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(50000));
  }
}

}  // namespace

std::string temporaryName(const std::string& destination, const std::string& suffix) {
  const std::string folder = folderOf(destination);
  std::string base = destination.substr(folder.size());
  // The name must stay within NAME_MAX with its dot and its suffix.
  const std::size_t room = NAME_MAX - 1 - suffix.size();
  if (base.size() > room) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (const char c : base) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char tail[18];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
    base.resize(room - 17);
    base += tail;
  }
  return folder + "." + base + suffix;
}

void CHECK_OUTPUT_FOLDER(const std::string& folder) {
  struct stat status;
  if (folder.empty()) return;
  const int error = stat(folder.c_str(), &status) != 0 ? errno
                    : !S_ISDIR(status.st_mode)         ? ENOTDIR
                                                       : 0;
  if (error == 0) return;
  printReason(folder, std::strerror(error));
  std::exit(2);
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

OutputSet::OutputSet(const Source& source, const std::vector<std::string>& names, bool verify)
    : sourceName_(source.name),
      sourceDevice_(source.device),
      sourceInode_(source.inode),
      outputs_(names.size()),
      verify_(verify) {
  // Pass one: what each name stands for, and whether two stand for one file. POSIX stat rather
  // than std::filesystem, whose locale machinery would make the binary six times larger.
  std::map<std::pair<dev_t, ino_t>, std::size_t> files, folders;
  std::map<std::tuple<dev_t, ino_t, std::string>, std::size_t> destinations;
  std::vector<int> errors(names.size(), 0);
  struct stat lastFolder {};
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    Output& output = outputs_[k];
    output.name = names[k];
    output.mode = 0666 & ~umaskBits();
    struct stat status;
    errors[k] = destinationOf(output.name, output.destination, output.exists, status);
    if (errors[k] != 0) continue;
    if (output.exists) {
      output.regular = S_ISREG(status.st_mode);
      output.directory = S_ISDIR(status.st_mode);
      output.mode = status.st_mode & 07777;
      if (status.st_dev == source.device && status.st_ino == source.inode)
        failRun(output.name, "is the source itself", "Unable to open file.", 2);
      const auto file = files.emplace(std::make_pair(status.st_dev, status.st_ino), k);
      if (!file.second)
        failRun(output.name, "is the same file as " + outputs_[file.first->second].name,
                "Unable to open file.", 2);
    }
    const std::string folder = folderOf(output.destination);
    // A folder is looked at once: the outputs of a pair share one.
    struct stat where;
    if (k == 0 || folder != folderOf(outputs_[k - 1].destination) || errors[k - 1] != 0) {
      if (stat(folder.empty() ? "." : folder.c_str(), &where) != 0) {
        errors[k] = errno;
        continue;
      }
      lastFolder = where;
    } else {
      where = lastFolder;
    }
    // Two links to one missing file, spelled x/new.wav and x/../x/new.wav, are one file.
    const auto destination = destinations.emplace(
        std::make_tuple(where.st_dev, where.st_ino, output.destination.substr(folder.size())), k);
    if (!destination.second)
      failRun(output.name, "is the same file as " + outputs_[destination.first->second].name,
              "Unable to open file.", 2);
    const auto known = folders.emplace(std::make_pair(where.st_dev, where.st_ino), folders_.size());
    if (known.second)
      folders_.push_back(Folder{folder.empty() ? "." : folder, where.st_dev, where.st_ino, Fd()});
    output.folder = known.first->second;
    output.fixed = temporaryName(output.destination, ".tarnvell2");
  }
  // The fixed names, by identity: only a dead run's leftover may be removed there, never a file
  // of the user's, nor the file an output stands for.
  for (const Output& output : outputs_) {
    if (output.fixed.empty()) continue;
    const Folder& folder = folders_[output.folder];
    const std::string component = output.fixed.substr(folderOf(output.fixed).size());
    const auto linked = destinations.find(std::make_tuple(folder.device, folder.inode, component));
    if (linked != destinations.end())
      failRun(output.fixed,
              "is the file " + outputs_[linked->second].name + " stands for, not removed",
              "Unable to open file.", 2);
    if (const char* why = notLeftover(output.fixed))
      failRun(output.fixed, why, "Unable to open file.", 2);
  }
  // Pass two: whether each may be written.
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    Output& output = outputs_[k];
    int error = errors[k];
    if (error == 0 && output.exists) {
      if (output.directory)
        error = EISDIR;
      else if (!output.regular)
        output.way = Output::inPlace;  // a device or a pipe, as it always was
      else if (access(output.destination.c_str(), W_OK) != 0)
        error = errno;
    }
    if (error != 0) failRun(output.name, std::strerror(error), "Unable to open file.", 2);
  }
}

const char* OutputSet::notLeftover(const std::string& fixed) const {
  struct stat status;
  if (lstat(fixed.c_str(), &status) != 0) return nullptr;
  if (S_ISLNK(status.st_mode)) return "is a symbolic link, not removed";
  if (!S_ISREG(status.st_mode)) return "is not a regular file, not removed";
  if ((status.st_dev == sourceDevice_ && status.st_ino == sourceInode_) ||
      isSourceOfRun(status.st_dev, status.st_ino))
    return "is a source of this run, not removed";
  return nullptr;
}

OutputSet::~OutputSet() {
  if (!committed_) {
    holdSignals();
    rollback();
    if (pending) {
      for (std::size_t k = 0; k < pending->slots; ++k)
        if (pending->names[pending->at[k]] != '\0') ::unlink(pending->names + pending->at[k]);
      pending = nullptr;
    }
  }
  outputs_.clear();  // closes the descriptors: an unnamed file is gone with its last one
  // A signal held back since the commit ends the run now, after its result line.
  if (signalsHeld_) sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
}

void OutputSet::holdSignals() {
  if (signalsHeld_) return;
  const sigset_t set = signalSet();
  sigprocmask(SIG_BLOCK, &set, &savedMask_);
  signalsHeld_ = true;
}

std::size_t OutputSet::size() const {
  return outputs_.size();
}

const std::string& OutputSet::name(std::size_t k) const {
  return outputs_[k].name;
}

void OutputSet::make(const std::vector<std::uint64_t>& bytes, bool readable) {
  readable = readable || verify_;
  const int access = readable ? O_RDWR : O_WRONLY;
  raiseDescriptorLimit(sourceName_, outputs_.size(), folders_.size());
  installHandlers();
  // Every output is made before any is opened in place, and those are all opened before any is
  // truncated, so that a refusal leaves every file as it was.
  for (Output& output : outputs_) {
    if (output.way == Output::inPlace) continue;
    const std::string& folder = folders_[output.folder].path;
    output.fd = Fd(::open(folder.c_str(), O_TMPFILE | access | O_CLOEXEC, 0666));
    int error = errno;
    if (output.fd.fd >= 0) {
      // The link that names it at the end goes through /proc: without /proc, a named file now.
      static const bool proc = [&output] {
        struct stat status;
        return stat(("/proc/self/fd/" + std::to_string(output.fd.fd)).c_str(), &status) == 0;
      }();
      if (proc) {
        // A new file gets 0666 less the umask by itself; a replacement keeps the old one's mode.
        if (output.exists) (void)fchmod(output.fd.fd, output.mode);
        continue;
      }
      output.fd = Fd();
      error = EOPNOTSUPP;
    }
    if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL) {
      // Named from the start; the handler's storage for all of them is had once.
      if (!pendingMemory_) {
        std::size_t text = 0;
        for (const Output& o : outputs_) text += temporaryName(o.destination).size() + 1;
        const std::size_t head = sizeof(Pending) + outputs_.size() * sizeof(std::size_t);
        pendingMemory_.reset(new char[head + text]());
        Pending* table = reinterpret_cast<Pending*>(pendingMemory_.get());
        table->slots = outputs_.size();
        table->at = reinterpret_cast<std::size_t*>(pendingMemory_.get() + sizeof(Pending));
        table->names = pendingMemory_.get() + head;
        for (std::size_t k = 0, at = 0; k < outputs_.size(); ++k) {
          table->at[k] = at;
          at += temporaryName(outputs_[k].destination).size() + 1;
        }
        Guard guard;
        pending = table;
      }
      output.pendingSlot = static_cast<std::size_t>(&output - outputs_.data());
      for (int tries = 0; tries < 100 && output.fd.fd < 0; ++tries) {
        const std::string name = freshName(output.destination);
        {
          Guard guard;
          std::memcpy(pending->names + pending->at[output.pendingSlot], name.c_str(),
                      name.size() + 1);
          output.fd = Fd(::open(name.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC, output.mode));
          error = errno;
          if (output.fd.fd < 0) pending->names[pending->at[output.pendingSlot]] = '\0';
        }
        if (output.fd.fd >= 0) output.temporary = name;
        if (error != EEXIST) break;
      }
      if (output.fd.fd >= 0) {
        output.way = Output::named;
        (void)fchmod(output.fd.fd, output.mode);  // whatever the umask, the mode it should have
        continue;
      }
    }
    // A folder that may not be written, though its outputs may: written in place.
    if (error != EACCES && error != EPERM && error != EROFS)
      failRun(output.name, std::strerror(error), "Unable to open file.", 2);
    output.way = Output::inPlace;
    output.makeError = error;
  }
  for (Output& output : outputs_)
    if (output.way == Output::inPlace) {
      if (!output.exists)
        failRun(output.name, std::strerror(output.makeError), "Unable to open file.", 2);
      // Read too where it may have to be, if the file allows.
      output.fd = Fd(::open(output.destination.c_str(), access | O_CLOEXEC));
      if (output.fd.fd < 0 && readable)
        output.fd = Fd(::open(output.destination.c_str(), O_WRONLY | O_CLOEXEC));
      if (output.fd.fd < 0) failRun(output.name, std::strerror(errno), "Unable to open file.", 2);
    }
  for (std::size_t k = 0; k < outputs_.size(); ++k) {
    Output& output = outputs_[k];
    if (!output.regular && output.way == Output::inPlace) continue;  // a pipe or a device
    if (output.way == Output::inPlace && ftruncate(output.fd.fd, 0) != 0)
      failRun(output.name, std::strerror(errno), "Unable to write file.", 2);
    // Blocks had now, so that a full disk fails before anything is written, and ext4 has no
    // delayed allocation left to write out when the file is renamed over the previous one (a
    // quarter of a second for 512 MiB). Below a mebibyte that write-out takes no time to speak
    // of, and the call would cost a twentieth of a short source's split. The size is left to the
    // writes: a file system without fallocate is not written twice.
    if (k < bytes.size() && bytes[k] >= kAllocateAhead) {
      int error = 0;
      while (fallocate(output.fd.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes[k])) != 0 &&
             (error = errno) == EINTR) {
      }
      if (error != 0 && !unsupported(error))
        failRun(output.name, std::strerror(error), "Unable to write file.", 2);
    }
  }
}

void OutputSet::write(std::size_t k, const unsigned char* bytes, std::size_t count) {
  if (!writeFully(outputs_[k].fd.fd, bytes, count))
    failRun(outputs_[k].name, std::strerror(errno), "Unable to write file.", 2);
  if (verify_) outputs_[k].check.append(bytes, count);
}

bool OutputSet::writeOrFull(std::size_t k, const unsigned char* bytes, std::size_t count) {
  if (writeFully(outputs_[k].fd.fd, bytes, count)) {
    if (verify_) outputs_[k].check.append(bytes, count);
    return true;
  }
  const int error = errno;
  if (error != ENOSPC && error != EFBIG && error != EDQUOT)
    failRun(outputs_[k].name, std::strerror(error), "Unable to write file.", 2);
  errno = error;
  return false;
}

void OutputSet::cut(std::size_t k, std::uint64_t length) {
  const int fd = outputs_[k].fd.fd;
  if (ftruncate(fd, static_cast<off_t>(length)) != 0 ||
      lseek(fd, static_cast<off_t>(length), SEEK_SET) < 0)
    failRun(outputs_[k].name, std::strerror(errno), "Unable to write file.", 2);
  if (verify_) outputs_[k].check.movedTo(length);
}

bool OutputSet::seekable(std::size_t k) const {
  return outputs_[k].way != Output::inPlace || outputs_[k].regular;
}

void OutputSet::writeAt(std::size_t k, std::uint64_t at, const std::vector<unsigned char>& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = pwrite(outputs_[k].fd.fd, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failRun(outputs_[k].name, std::strerror(errno), "Unable to write file.", 2);
    done += static_cast<std::size_t>(n);
  }
  if (verify_) outputs_[k].check.changed(at, at + bytes.size());
}

bool moveTail(int fd, std::uint64_t at, std::size_t count, unsigned char* buffer,
              std::size_t room) {
  // From the end backwards, a block at a time, so that nothing is overwritten before it moved.
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  for (auto end = static_cast<std::uint64_t>(status.st_size); end > at;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, end - at));
    end -= n;
    errno = EIO;  // a short read: the file changed under us
    if (pread(fd, buffer, n, static_cast<off_t>(end)) != static_cast<ssize_t>(n) ||
        pwrite(fd, buffer, n, static_cast<off_t>(end + count)) != static_cast<ssize_t>(n))
      return false;
  }
  return true;
}

void OutputSet::insertAt(std::size_t k, std::uint64_t at, std::size_t count) {
  std::size_t room = 0;
  unsigned char* const buffer = blockMemory(room);
  if (!moveTail(outputs_[k].fd.fd, at, count, buffer, room))
    failRun(outputs_[k].name, std::strerror(errno), "Unable to write file.", 2);
  if (verify_) outputs_[k].check.changed(at, ~std::uint64_t{0});
}

void OutputSet::commit(bool sync, unsigned lockWait, bool noClobber) {
  // --verify: each read back from the storage (which syncs it) before the folders are locked,
  // so that another run does not wait on the reading. A pipe or a device cannot be read back.
  if (verify_)
    for (std::size_t k = 0; k < outputs_.size(); ++k)
      if (seekable(k)) readBack(k);
  // --sync: on the disk before any is renamed, so that a power cut leaves the previous outputs
  // or the new ones. A pipe or a device written in place has nothing to sync.
  if (sync && !verify_)
    for (std::size_t k = 0; k < outputs_.size(); ++k)
      if (seekable(k) && fsync(outputs_[k].fd.fd) != 0)
        failRun(outputs_[k].name, std::strerror(errno), "Unable to write file.", 2);
  // The folders whose outputs are renamed, locked in one order for every run (by identity), so
  // that racing runs never leave the left output of one beside the right output of another, nor
  // wait for each other's second folder. A signal while waiting discards, as before.
  std::vector<bool> renamedInto(folders_.size(), false);
  for (const Output& output : outputs_)
    if (output.way != Output::inPlace) renamedInto[output.folder] = true;
  std::vector<std::size_t> order;
  for (std::size_t f = 0; f < folders_.size(); ++f)
    if (renamedInto[f]) order.push_back(f);
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    return std::tie(folders_[a].device, folders_[a].inode) <
           std::tie(folders_[b].device, folders_[b].inode);
  });
  for (const std::size_t f : order) {
    Folder& folder = folders_[f];
    folder.fd = Fd(::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A folder that cannot be opened is renamed into unlocked.
    // The folder as the user spells it: "out", not "out/".
    std::string shown = folder.path;
    if (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    if (folder.fd.fd >= 0 && !lockFolder(folder.fd.fd, shown, lockWait))
      failRun(shown, "still locked by another process after " + std::to_string(lockWait) + " s",
              "Unable to write file.", 2);
  }
  // -n again, under the locks: a racing run may have placed its outputs since the start.
  if (noClobber) {
    std::vector<std::string> names;
    for (const Output& output : outputs_) names.push_back(output.name);
    KEEP_EXISTING(names);
  }
  // From here the signals wait: the run is split or put back before one can end it.
  holdSignals();
  int error = 0;
  std::size_t failed = 0;
  for (std::size_t k = 0; k < outputs_.size() && error == 0; ++k) {
    Output& output = outputs_[k];
    if (output.way == Output::inPlace) continue;
    // Under the lock no live run has a fixed name: a regular file there is a dead run's
    // leftover, replaced; anything else that came since the start stays, and the commit fails.
    const char* why = nullptr;
    if (output.way == Output::named) {
      if ((why = notLeftover(output.fixed)) == nullptr &&
          std::rename(output.temporary.c_str(), output.fixed.c_str()) != 0)
        error = errno;
    } else {
      // Where nothing was, the file is linked under its own name at once: the link refuses a
      // name taken meanwhile, which then goes the fixed name's way. A batch of short sources
      // spends a tenth of its calls on the fixed names and their renames.
      if (!output.exists) {
        error = linkUnnamed(output.fd.fd, output.destination.c_str());
        if (error == 0) {
          output.step = Output::moved;
          continue;
        }
        if (error != EEXIST) {
          failed = k;
          break;
        }
      }
      for (int tries = 0; tries < 2; ++tries) {
        error = linkUnnamed(output.fd.fd, output.fixed.c_str());
        if (error != EEXIST || (why = notLeftover(output.fixed)) != nullptr ||
            ::unlink(output.fixed.c_str()) != 0)
          break;
      }
    }
    if (why != nullptr) {
      printReason(output.fixed, why);
      error = EEXIST;
    }
    if (error != 0) {
      failed = k;
      break;
    }
    if (output.way == Output::named) {
      pending->names[pending->at[output.pendingSlot]] = '\0';
      output.temporary.clear();
    }
    output.step = Output::linked;
  }
  // The close is what reports a failed write-back on some file systems: all are closed before
  // any previous file is replaced.
  for (std::size_t k = 0; k < outputs_.size() && error == 0; ++k) {
    noteWritten(outputs_[k].fd.fd);
    if (::close(outputs_[k].fd.release()) != 0) {
      error = errno;
      failed = k;
    }
  }
  std::size_t last = outputs_.size();
  for (std::size_t k = 0; k < outputs_.size(); ++k)
    if (outputs_[k].way != Output::inPlace) last = k;
  bool exchange = true;
  for (std::size_t k = 0; k < outputs_.size() && error == 0; ++k) {
    Output& output = outputs_[k];
    if (output.way == Output::inPlace || output.step == Output::moved) continue;
    const char* fixed = output.fixed.c_str();
    const char* final = output.destination.c_str();
    failed = k;
    // What is there now counts, not what was there when resolved: a racing run may have placed
    // its outputs since. What was there decides only which is tried first, to spare a call.
    // The last is renamed over whatever is there.
    for (int tries = 0; tries < 3 && k != last; ++tries) {
      if (output.exists == (tries != 1)) {
        error = exchange
                    ? (renameat2(AT_FDCWD, fixed, AT_FDCWD, final, RENAME_EXCHANGE) ? errno : 0)
                    : EINVAL;
        if (error == 0) output.step = Output::swapped;
        // Where the file system has no exchange, the previous file is replaced at once.
        if (unsupported(error)) exchange = false;
        if (error != ENOENT) break;
      } else {
        // Nothing there: moved, unless something came in the meantime.
        error = renameat2(AT_FDCWD, fixed, AT_FDCWD, final, RENAME_NOREPLACE) ? errno : 0;
        if (error == 0) output.step = Output::moved;
        if (unsupported(error)) error = EINVAL;
        if (error != EEXIST) break;
      }
    }
    if (k == last || error == EINVAL) {
      error = std::rename(fixed, final) ? errno : 0;
      if (error == 0) output.step = Output::replaced;
    }
  }
  if (error != 0) {
    rollback();
    failRun(outputs_[failed].name, std::strerror(error), "Unable to write file.", 2);
  }
  committed_ = true;
  pending = nullptr;
  // Split. The previous files go; one that cannot stays at its fixed name until the next run in
  // its folder removes it.
  for (Output& output : outputs_)
    if (output.step == Output::swapped && ::unlink(output.fixed.c_str()) != 0)
      printReason(output.name,
                  "the previous file stays as " + output.fixed + ": " + std::strerror(errno));
  // --sync: the renames themselves on the disk.
  if (sync)
    for (const std::size_t f : order)
      if (folders_[f].fd.fd >= 0 && fsync(folders_[f].fd.fd) != 0) {
        const std::string reason = std::strerror(errno);
        const auto first = std::find_if(outputs_.begin(), outputs_.end(),
                                        [f](const Output& output) { return output.folder == f; });
        failRun(first->name, reason, "Unable to write file.", 2);
      }
  for (const std::size_t f : order) folders_[f].fd = Fd();  // unlocked
}

void OutputSet::readBack(std::size_t k) {
  Output& output = outputs_[k];
  const int fd = output.fd.fd;
  const auto fail = [&output](const std::string& why) {
    failRun(output.name, why, "Unable to write file.", 2);
  };
  struct stat status;
  if (fstat(fd, &status) != 0) fail(std::strerror(errno));
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t block = WriteCheck::kBlock;
  std::size_t room = 0;
  unsigned char* const buffer = blockMemory(room);
  room -= room % block;
  // A file shorter than it was a moment ago reads as an I/O error.
  const auto readAll = [fd](std::uint64_t at, std::size_t count, unsigned char* to) {
    if (readFully(fd, at, to, count)) return true;
    if (errno == 0) errno = EIO;
    return false;
  };
  // What the blocks should hold: from the writes, or, for the blocks changed out of order, from
  // the page cache, which holds what was written until it is flushed.
  std::vector<std::uint64_t> expected((size + block - 1) / block);
  for (std::uint64_t b = 0; b < expected.size(); ++b) {
    if (output.check.known(b, size, expected[b])) continue;
    const auto n = static_cast<std::size_t>(std::min(block, size - b * block));
    if (!readAll(b * block, n, buffer)) fail(std::strerror(errno));
    expected[b] = hashBlock(buffer, n);
  }
  // On the storage, out of the cache, then read again from there: a mebibyte a read (reads of a
  // block take four times as long from a disk), and a block a read where that fails, so that a
  // failed read names its block as a differing one does.
  if (fsync(fd) != 0) fail(std::strerror(errno));
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  for (std::uint64_t at = 0; at < size; at += room) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(room, size - at));
    const bool whole = readAll(at, n, buffer);
    for (std::size_t within = 0; within < n; within += block) {
      const std::uint64_t b = (at + within) / block;
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(block, n - within));
      const auto where = [b] {
        return "read back from the storage, the block of 64 KiB at byte " +
               std::to_string(b * WriteCheck::kBlock);
      };
      if (!whole && !readAll(b * block, length, buffer + within))
        fail(where() + ": " + std::strerror(errno));
      if (hashBlock(buffer + within, length) != expected[b])
        fail(where() + " differs from what was written");
    }
  }
}

// Puts back what the commit placed, newest first, and removes the new files' names. Called with
// the signals held back.
void OutputSet::rollback() {
  for (std::size_t k = outputs_.size(); k-- > 0;) {
    Output& output = outputs_[k];
    const char* fixed = output.fixed.c_str();
    const char* final = output.destination.c_str();
    int error = 0;
    switch (output.step) {
      case Output::made:
        continue;
      case Output::linked:
        error = ::unlink(fixed) == 0 ? 0 : errno;
        break;
      case Output::swapped:  // the previous file back, then the new one's name gone
        error = renameat2(AT_FDCWD, fixed, AT_FDCWD, final, RENAME_EXCHANGE) == 0 ? 0 : errno;
        if (error == 0) error = ::unlink(fixed) == 0 ? 0 : errno;
        break;
      case Output::moved:
        error = ::unlink(final) == 0 ? 0 : errno;
        break;
      case Output::replaced:
        error = EOPNOTSUPP;  // renamed over without an exchange: the previous file is gone
        break;
    }
    if (error != 0)
      printReason(output.name, std::string("could not be put back: ") + std::strerror(error));
    output.step = Output::made;
  }
}

void beginStreamReading() {
  installHandlers();
  // Each stream's reading is ended by a signal of its own.
  stopSignal = 0;
  streamReading = 1;
}

void endStreamReading() {
  streamReading = 0;
}

bool streamStopped() {
  return stopSignal != 0;
}

long readStream(int fd, unsigned char* buffer, std::size_t count) {
  sigset_t stops;
  sigemptyset(&stops);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  for (;;) {
    struct pollfd wait = {fd, POLLIN, 0};
    if (stopSignal) {
      // The reading has ended: what is still there is taken, without waiting for more.
      const int ready = poll(&wait, 1, 0);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return ready;
    } else {
      // The signals are let in only while waiting, so that one cannot come between the look
      // at the flag and the wait.
      sigset_t old;
      sigprocmask(SIG_BLOCK, &stops, &old);
      const int ready = stopSignal ? 0 : ppoll(&wait, 1, nullptr, &old);
      const int error = errno;
      sigprocmask(SIG_SETMASK, &old, nullptr);
      if (ready < 0 && error != EINTR) {
        errno = error;
        return -1;
      }
      if (ready <= 0) continue;
    }
    const ssize_t n = ::read(fd, buffer, count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

bool waitForWriter(int fd, const std::string& name) {
  struct pollfd wait = {fd, POLLIN, 0};
  int ready;
  while ((ready = poll(&wait, 1, 1000)) < 0 && errno == EINTR && !stopSignal) {
  }
  if (ready == 0) printReason(name, "waiting for data");
  return ready >= 0 || errno == EINTR;
}

void PREPARE_OUTPUTS(OutputSet& outputs, const OutputPlan& plan) {
  // A stream's length is not known: nothing is allocated ahead that it may not fill.
  std::vector<std::uint64_t> bytes;
  for (const OutputLayout& layout : plan.layouts)
    bytes.push_back(plan.stream ? 0 : layout.fileBytes);
  // A stream planned as RIFF may turn out to need RF64, and room made for its ds64.
  outputs.make(bytes, plan.stream && !plan.reserve);
}

void COMMIT_OUTPUTS(OutputSet& outputs, const Options& options) {
  outputs.commit(options.sync, options.lockWait, options.noClobber);
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
