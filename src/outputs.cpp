// All-or-nothing outputs: each output is written under a temporary name in the folder where it
// will live, and renamed over its final name only when both are complete and closed. A failure
// or a signal removes the temporary files, so the final names hold either the previous outputs
// or the new ones, never a part of a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tarnvell2.h"

namespace {

// Outputs of the run: the name the user knows, the file it stands for (through symbolic links),
// and the temporary file written for it (empty when the output is written in place).
struct Output {
  std::string name;
  std::string destination;
  std::string temporary;
};
Output outputs[2];

// What the signal handler and the exit handler remove: the temporary names of this run still
// waiting for their rename. Set and cleared with the signals blocked.
const char* volatile pending[2] = {nullptr, nullptr};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void removePending() {
  for (auto& name : pending)
    if (name != nullptr) {
      ::unlink(name);
      name = nullptr;
    }
}

// Async-signal-safe: unlink, then die by the same signal so that the caller sees it.
extern "C" void removeAndDie(int signal) {
  removePending();
  eraseProgressForSignal();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Blocks the four signals while pending changes, so that no handler sees half a change.
struct Guard {
  Guard() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kSignals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &saved);
  }
  ~Guard() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
  sigset_t saved;
};

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

// Finds where one output goes and makes its temporary file there.
void prepare(Output& output, const std::string& name, std::size_t slot, mode_t umaskBits) {
  output = Output{name, {}, {}};
  int error = destinationOf(name, output.destination);
  struct stat status;
  mode_t mode = 0666 & ~umaskBits;
  if (error == 0 && stat(output.destination.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) error = EISDIR;
    // A device or a pipe is written in place, as it always was.
    else if (!S_ISREG(status.st_mode))
      return;
    else if (access(output.destination.c_str(), W_OK) != 0)
      error = errno;
    mode = status.st_mode & 07777;
  }
  if (error != 0) failRun(name, std::strerror(error), "Unable to open file.", 2);

  std::string temporary = temporaryName(output.destination);
  int fd;
  {
    Guard guard;
    fd = mkstemp(&temporary[0]);
    error = errno;
    if (fd >= 0) {
      output.temporary = temporary;
      pending[slot] = output.temporary.c_str();
    }
  }
  if (fd < 0) {
    // A folder the user may not write, though the output in it is writable: in place.
    if (error == EACCES || error == EPERM || error == EROFS) return;
    failRun(name, std::strerror(error), "Unable to open file.", 2);
  }
  // mkstemp gives 0600; the output gets what the old one had, or what fopen would give.
  (void)fchmod(fd, mode);
  if (::close(fd) != 0) failRun(name, std::strerror(errno), "Unable to open file.", 2);
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

void PREPARE_OUTPUTS(const std::string& leftName, const std::string& rightName,
                     std::string& leftFile, std::string& rightFile) {
  installHandlers();
  const mode_t umaskBits = umask(0);
  umask(umaskBits);
  prepare(outputs[0], leftName, 0, umaskBits);
  prepare(outputs[1], rightName, 1, umaskBits);
  // Two links to one missing file would otherwise race for it.
  if (outputs[0].destination == outputs[1].destination)
    failRun(rightName, "is the same file as " + leftName, "Unable to open file.", 2);
  leftFile = outputs[0].temporary.empty() ? leftName : outputs[0].temporary;
  rightFile = outputs[1].temporary.empty() ? rightName : outputs[1].temporary;
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

void COMMIT_OUTPUTS() {
  for (std::size_t slot = 0; slot < 2; ++slot) {
    Output& output = outputs[slot];
    if (output.temporary.empty()) continue;
    int error = 0;
    {
      Guard guard;
      if (std::rename(output.temporary.c_str(), output.destination.c_str()) == 0)
        pending[slot] = nullptr;
      else
        error = errno;
    }
    if (error != 0) failRun(output.name, std::strerror(error), "Unable to write file.", 2);
  }
}

std::string shownName(const std::string& file) {
  for (const Output& output : outputs)
    if (!output.temporary.empty() && file == output.temporary) return output.name;
  return file;
}
