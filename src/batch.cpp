// Several sources in one run: each is split in this process in turn, exactly as a run with that
// name alone would split it, and its result line is "NAME: MESSAGE". A source's run ends with
// RunEnded instead of the process; the run goes on past a failure and ends with the highest
// status. A signal ends the whole run (the outputs handler removes the temporary files).
//
// Guards keep a batch from losing audio that a run of one name would not touch, and skips keep
// a re-run over a folder of earlier outputs from failing. What they remember grows with the
// number of sources only: one entry per source and per output written.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>

#include "tarnvell2.h"

namespace {

struct FileId {
  dev_t device;
  ino_t inode;
  bool operator<(const FileId& o) const {
    return device != o.device ? device < o.device : inode < o.inode;
  }
  bool operator==(const FileId& o) const { return device == o.device && inode == o.inode; }
};

struct Entry {
  FileId id;
  std::uint32_t index;  // of the source in the run
  bool operator<(const Entry& o) const { return id < o.id || (id == o.id && index < o.index); }
};

bool idOf(const std::string& name, FileId& id) {
  struct stat status;
  if (stat(name.c_str(), &status) != 0) return false;
  id = {status.st_dev, status.st_ino};
  return true;
}

// The run, while SPLIT_EACH goes through it.
char** names = nullptr;
std::size_t count = 0;
const Options* options = nullptr;
std::size_t current = 0;
// The files the source names stood for when the run began, sorted: an index of candidates
// only, since the run itself replaces files and the file system reuses their inode numbers. A
// candidate counts when its name still stands for that file.
std::vector<Entry> sources;
// The outputs that sources of this run wrote: a sorted part and a short unsorted tail, merged
// now and then, so that neither a lookup nor an insertion grows with the run.
std::vector<Entry> written;
std::size_t writtenSorted = 0;
// The files the source being split placed, taken from their descriptors at its commit.
std::vector<FileId> currentWritten;
// With -t, the outputs' names of the sources asked for so far, each read once: the names come
// from a walk of the source's chunks, which a run over 60 mono files would otherwise repeat 60
// times.
std::map<std::uint32_t, std::pair<FileId, std::vector<std::string>>> trackNamed;

// Whether source j's name stands for that file now.
bool stillIs(std::size_t j, const FileId& id) {
  FileId now;
  return idOf(names[j], now) && now == id;
}

const Entry* findWritten(const FileId& id) {
  const auto at = std::lower_bound(written.begin(), written.begin() + writtenSorted, Entry{id, 0});
  if (at != written.begin() + writtenSorted && at->id == id) return &*at;
  for (std::size_t k = writtenSorted; k < written.size(); ++k)
    if (written[k].id == id) return &written[k];
  return nullptr;
}

void remember(const FileId& id, std::uint32_t index) {
  written.push_back({id, index});
  if (written.size() - writtenSorted < 64) return;
  // The tail merged in from the back, through a copy of the tail alone: std::inplace_merge
  // would borrow a buffer as large as the whole list.
  std::vector<Entry> tail(written.begin() + writtenSorted, written.end());
  std::sort(tail.begin(), tail.end());
  std::size_t to = written.size(), from = writtenSorted;
  while (!tail.empty()) {
    if (from > 0 && tail.back() < written[from - 1]) {
      written[--to] = written[--from];
    } else {
      written[--to] = tail.back();
      tail.pop_back();
    }
  }
  writtenSorted = written.size();
}

// "takeL.wav" names the left output of "take.wav", with -a "take_3.wav" its third channel, and
// with -t "take_MIX_L.wav" a track of "take.wav" or of "take_MIX.wav": the stems' last
// components and the suffixes they could have.
std::vector<std::pair<std::string, std::string>> outputSuffixes(const std::string& base) {
  std::vector<std::pair<std::string, std::string>> found;
  const std::size_t n = base.size(), m = 5 + options->separator.size();
  if (n > m && (base.compare(n - 5, 5, "L.wav") == 0 || base.compare(n - 5, 5, "R.wav") == 0) &&
      base.compare(n - m, m - 5, options->separator) == 0)
    found.emplace_back(base.substr(0, n - m), base.substr(n - m));
  if (n < 6 || base.compare(n - 4, 4, ".wav") != 0) return found;
  for (std::size_t u = base.find('_'); u != std::string::npos && u + 5 <= n - 1;
       u = base.find('_', u + 1)) {
    const bool numbered = base.find_first_not_of("0123456789", u + 1) == n - 4;
    if ((options->anyFormat && numbered) || options->trackNames)
      found.emplace_back(base.substr(0, u), base.substr(u));
  }
  return found;
}

std::string lastComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint64_t hashOf(const std::string& text) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

// The sources of the run by the last component of their outputs' stem, made when a mono source
// first needs it: which sources could have named it as an output.
std::vector<std::pair<std::uint64_t, std::uint32_t>> stems;

void indexStems() {
  if (!stems.empty()) return;
  for (std::size_t j = 0; j < count; ++j) {
    std::string stem;
    if (outputStem(nameForOutputs(names[j], *options), *options, stem))
      stems.emplace_back(hashOf(lastComponent(stem)), static_cast<std::uint32_t>(j));
  }
  std::sort(stems.begin(), stems.end());
}

}  // namespace

int SPLIT_EACH(char** sourceNames, std::size_t sourceCount, const Options& runOptions,
               SplitSource split) {
  names = sourceNames;
  count = sourceCount;
  options = &runOptions;
  // Room for all at once: a vector that doubles holds both copies for a moment.
  sources.reserve(count);
  written.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    FileId id;
    if (idOf(names[i], id)) sources.push_back({id, static_cast<std::uint32_t>(i)});
  }
  std::sort(sources.begin(), sources.end());
  int worst = 0;
  for (current = 0; current < count; ++current) {
    currentWritten.clear();
    setSourceLabel(names[current], current + 1, count);
    const int status = RUN_SOURCE(split, names[current], runOptions);
    if (status > worst) worst = status;
    // What a source wrote; a skipped one wrote nothing.
    if (status == 0 && lastRunSplit())
      for (const FileId& id : currentWritten) remember(id, static_cast<std::uint32_t>(current));
  }
  return worst;
}

namespace {

// Whether one of the first `before` sources of the run is that file, as its name stands now.
bool namedBefore(const FileId& id, std::size_t before) {
  for (auto at = std::lower_bound(sources.begin(), sources.end(), Entry{id, 0});
       at != sources.end() && at->id == id && at->index < before; ++at)
    if (stillIs(at->index, id)) return true;
  return false;
}

}  // namespace

void noteWritten(int fd) {
  struct stat status;
  if (names != nullptr && fstat(fd, &status) == 0)
    currentWritten.push_back({status.st_dev, status.st_ino});
}

bool isSourceOfRun(dev_t device, ino_t inode) {
  return namedBefore(FileId{device, inode}, count);
}

void SKIP_REPEATED(const Source& source) {
  if (names == nullptr || !namedBefore(FileId{source.device, source.inode}, current)) return;
  printReason(source.name, "is named earlier in this run");
  endRun("skipped", 0);
}

void skipIfOutputOfAnother(const Source& source) {
  if (names == nullptr) return;
  const auto suffixes = outputSuffixes(lastComponent(source.name));
  if (suffixes.empty()) return;
  indexStems();
  const FileId id{source.device, source.inode};
  // A mono file that an earlier source of the run wrote, or that a later one will replace.
  for (const auto& [stem, suffix] : suffixes) {
    const std::uint64_t h = hashOf(stem);
    for (auto at = std::lower_bound(stems.begin(), stems.end(), std::make_pair(h, 0u));
         at != stems.end() && at->first == h; ++at) {
      if (at->second == current) continue;
      // With -t the other's names come from its iXML: its own outputs are asked for.
      std::vector<std::string> theirs;
      std::string other;
      if (options->trackNames) {
        FileId now;
        if (!idOf(names[at->second], now)) continue;
        const auto known = trackNamed.find(at->second);
        if (known != trackNamed.end() && known->second.first == now) {
          theirs = known->second.second;
        } else {
          if (!namesOfSource(names[at->second], *options, theirs)) theirs.clear();
          trackNamed[at->second] = {now, theirs};
        }
      } else if (outputStem(nameForOutputs(names[at->second], *options), *options, other)) {
        theirs.push_back(other + suffix);
      }
      FileId otherId;
      if (std::none_of(theirs.begin(), theirs.end(), [&](const std::string& name) {
            return idOf(name, otherId) && otherId == id;
          }))
        continue;
      printReason(source.name,
                  std::string("is an output of ") + names[at->second] + " in this run");
      endRun("skipped", 0);
    }
  }
}

void GUARD_OUTPUTS(const std::vector<std::string>& outputNames) {
  if (names == nullptr) return;
  for (const std::string& name : outputNames) {
    FileId id;
    if (!idOf(name, id)) continue;
    // vocal.wav beside a stereo vocalR.wav: splitting would replace another source of the run.
    for (auto at = std::lower_bound(sources.begin(), sources.end(), Entry{id, 0});
         at != sources.end() && at->id == id; ++at) {
      int error = 0;
      if (at->index != current && stillIs(at->index, id) &&
          probeFile(names[at->index], options->anyFormat, error).verdict == Verdict::usable)
        failRun(name, "is a stereo source of this run, not replaced", "Unable to open file.", 2);
    }
    // take.1.wav and take.2.wav both name takeL.wav: the second would replace the first's split.
    if (const Entry* earlier = findWritten(id)) {
      // 2024.05.01 Interview.wav and 2024.05.02 Interview.wav both give 2024L.wav.
      std::string mine, theirs;
      const bool firstDot =
          !options->wholeName &&
          outputStem(nameForOutputs(names[current], *options), options->whole(), mine) &&
          outputStem(nameForOutputs(names[earlier->index], *options), options->whole(), theirs) &&
          mine != theirs;
      failRun(name,
              std::string("was written by ") + names[earlier->index] +
                  " in this run, not replaced" +
                  (firstDot ? "; -w names the outputs after the whole names" : ""),
              "Unable to open file.", 2);
    }
  }
}
