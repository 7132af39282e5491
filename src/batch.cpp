// Several sources in one run: each is split by a child process of its own, exactly as a run with
// that name alone would split it (the stages end their process when they are done), and its
// result line is "NAME: MESSAGE". The run goes on past a failure and ends with the highest
// status; a signal that ends a child ends the whole run the same way.
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "tarnvell2.h"

namespace {

using FileId = std::pair<dev_t, ino_t>;

bool idOf(const std::string& name, FileId& id) {
  struct stat status;
  if (stat(name.c_str(), &status) != 0) return false;
  id = {status.st_dev, status.st_ino};
  return true;
}

// The child being waited for, so that SIGTERM and SIGHUP reach it too.
volatile pid_t child = 0;
constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction callerActions[3];

extern "C" void passOn(int signal) {
  if (child > 0) {
    kill(child, signal);
    return;
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

sigset_t blocked() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kPassedOn) sigaddset(&set, s);
  return set;
}

void installPassOn() {
  for (std::size_t i = 0; i < 3; ++i) {
    sigaction(kPassedOn[i], nullptr, &callerActions[i]);
    // A signal the caller ignores stays ignored, in the children too.
    if (callerActions[i].sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);
    sigaction(kPassedOn[i], &action, nullptr);
  }
}

// Why a source must not be split in this run, or "" when it may. A batch must not lose audio that
// a run of one name would not touch.
std::string refusal(const std::vector<std::string>& names, const Options& options,
                    std::size_t index, const std::map<FileId, std::vector<std::size_t>>& sources,
                    const std::map<FileId, std::size_t>& written, std::string& output) {
  std::string stem;
  if (!outputStem(names[index], options, stem)) return "";
  for (const std::string& name : outputNames(stem, 2)) {
    FileId id;
    if (!idOf(name, id)) continue;
    output = name;
    // vocal.wav beside a stereo vocalR.wav: splitting would replace another source of the run.
    const auto same = sources.find(id);
    if (same != sources.end())
      for (const std::size_t other : same->second) {
        int error = 0;
        if (other != index && probeFile(names[other].c_str(), error).verdict == Verdict::usable)
          return "is a stereo source of this run, not replaced";
      }
    // take.1.wav and take.2.wav both name takeL.wav: the second would replace the first's split.
    const auto earlier = written.find(id);
    if (earlier != written.end())
      return "was written by " + names[earlier->second] + " in this run, not replaced";
  }
  return "";
}

}  // namespace

int SPLIT_EACH(const std::vector<std::string>& names, const Options& options,
               void (*split)(const std::string&)) {
  std::map<FileId, std::vector<std::size_t>> sources;
  for (std::size_t i = 0; i < names.size(); ++i) {
    FileId id;
    if (idOf(names[i], id)) sources[id].push_back(i);
  }
  std::map<FileId, std::size_t> written;
  installPassOn();
  int worst = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string output;
    const std::string why = refusal(names, options, i, sources, written, output);
    if (!why.empty()) {
      printReason(output, why);
      std::printf("%s: Unable to open file.\n", names[i].c_str());
      worst = 2;
      continue;
    }
    std::fflush(stdout);  // nothing of ours in the buffer for the child to repeat
    const sigset_t set = blocked();
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &set, &saved);
    const pid_t pid = fork();
    if (pid == 0) {
      for (std::size_t k = 0; k < 3; ++k) sigaction(kPassedOn[k], &callerActions[k], nullptr);
      sigprocmask(SIG_SETMASK, &saved, nullptr);
      setSourceLabel(names[i], i + 1, names.size());
      split(names[i]);
      std::exit(2);  // split ends the process itself; never go on as a second parent
    }
    child = pid;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
      printReason(names[i], std::strerror(errno));
      std::printf("%s: Not enough memory.\n", names[i].c_str());
      worst = 2;
      continue;
    }
    int status = 0;
    pid_t waited;
    do waited = waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    child = 0;
    if (waited == pid && WIFSIGNALED(status)) {
      std::fflush(stdout);
      const int signal = WTERMSIG(status);
      std::signal(signal, SIG_DFL);
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, signal);
      sigprocmask(SIG_UNBLOCK, &only, nullptr);
      std::raise(signal);
      return 128 + signal;  // a signal whose default is not to end the process
    }
    const int code = waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    if (code > worst) worst = code;
    std::string stem;
    if (code == 0 && outputStem(names[i], options, stem))
      for (const std::string& name : outputNames(stem, 2)) {
        FileId id;
        if (idOf(name, id)) written[id] = i;
      }
  }
  if (std::fflush(stdout) != 0 && worst == 0) worst = 2;
  return worst;
}
