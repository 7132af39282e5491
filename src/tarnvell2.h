// tarnvell2: splits a stereo 16- or 24-bit PCM WAVE file into two mono WAVE files.
//
// The stages end the source's run themselves on failure, with a fixed message on standard output
// and status 1 or 2 (the process ends, or, in a run of several sources, the batch goes on with
// the next); each has a pure core beside it that decides without touching a file, so that tests
// and the fuzzer can drive the decisions directly.
#ifndef TARNVELL2_H
#define TARNVELL2_H

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---- Byte order: every header field is little-endian whatever the host (big-endian in RIFX).

std::uint32_t Assem2(const unsigned char* bytes);
std::uint32_t Assem4(const unsigned char* bytes);
std::uint64_t Assem8(const unsigned char* bytes);
void Decon2(std::uint16_t value, unsigned char* out);
void Decon4(std::uint32_t value, unsigned char* out);
// The same in either order: big-endian for RIFX.
std::uint32_t Assem2(const unsigned char* bytes, bool bigEndian);
std::uint32_t Assem4(const unsigned char* bytes, bool bigEndian);
void Decon2(std::uint16_t value, unsigned char* out, bool bigEndian);
void Decon4(std::uint32_t value, unsigned char* out, bool bigEndian);

// A file descriptor closed when it goes out of scope (the stages check the closes that matter
// themselves, by releasing it first).
struct Fd {
  explicit Fd(int descriptor = -1) : fd(descriptor) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd >= 0) ::close(fd);
      fd = other.release();
    }
    return *this;
  }
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    const int f = fd;
    fd = -1;
    return f;
  }
  int fd;
};

// A source's outputs (see Outputs below).
class OutputSet;

// ---- Options: what the user asked for beyond the default split.

// -c: the channels asked for, as ranges of channel numbers from 1 (to kOpen: "2-"); L and R
// stand for 1 and 2 of a stereo source; a track's name for the channels of that name in the
// iXML.
struct ChannelList {
  static constexpr std::uint32_t kOpen = 0xFFFFFFFF;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::vector<std::string> tracks;
  bool stereoNames = false;  // L or R is in the list
  bool empty() const { return ranges.empty() && tracks.empty(); }
};

// Reads a LIST of -c ("1,3-5", "2-", "L", "R,L", "Boom,Lav 1"); false where it is not one.
bool parseChannelList(const std::string& text, ChannelList& list);

struct Options {
  std::string outputDir;    // -d: where the outputs go ("" beside the source)
  bool wholeName = false;   // -w: outputs named after the whole name less its extension
  bool noClobber = false;   // -n: a source whose outputs exist is skipped
  bool anyFormat = false;   // -a: any sample format copied by bytes, any channel count from 2
  bool metadata = false;    // -m: the source's metadata carried to each output
  bool sync = false;        // --sync: "done" means the outputs are on the disk
  bool verify = false;      // --verify: each output read back from the storage before the commit
  unsigned lockWait = 30;   // --lock-wait: seconds to wait for another run's lock on a folder
  std::string as;           // --as: the name standard input's outputs are named after
  ChannelList channels;     // -c: only these channels (all where empty)
  bool trackNames = false;  // -t: outputs named after their tracks in the iXML
  std::string separator;    // -s: between the stem and L or R
  // The same options with -w.
  Options whole() const {
    Options o = *this;
    o.wholeName = true;
    return o;
  }
};

// Reads the options before the first source name into `options` and returns the index of that
// name in argv. Ends the process on --help, --version (status 0) and an unknown option or a
// missing argument (status 2, on standard error).
int parseOptions(int argc, char** argv, Options& options);

// ---- Console and the end of a source's run.

// What ends a source's run: thrown by endRun, so that everything the run holds (its outputs
// above all) is released on the way out, and caught in one place, RUN_SOURCE.
struct RunEnded {
  int status;
};

// Prints the message and a line end on standard output (behind "NAME: " in a run of several
// sources) and ends the source's run with the status.
[[noreturn]] void endRun(const std::string& message, int status);

// Prints "tarnvell2: NAME: REASON" on standard error: why the named file failed.
void printReason(const std::string& name, const std::string& reason);

// As endRun, after the reason line.
[[noreturn]] void failRun(const std::string& name, const std::string& reason,
                          const std::string& message, int status);

// Ends the process, before any source is read, with the message on standard output (--help,
// --version).
[[noreturn]] void exitWith(const std::string& message, int status);

// The stages of one source; every way out of them ends its run with endRun.
using SplitSource = void (*)(const std::string& sourceName, const Options& options);

// Runs the stages of one source and returns its status: what endRun said, or 2 after "Not
// enough memory." when an allocation failed anywhere.
int RUN_SOURCE(SplitSource split, const std::string& sourceName, const Options& options);

// Whether the last result line said "done": a skipped source wrote nothing.
bool lastRunSplit();

// Opens each of the standard descriptors 0 to 2 that is closed on /dev/null, so that no file
// of the run takes its number.
void OPEN_STANDARD_STREAMS();

// In a run with several sources: the result line of this one starts with "NAME: ", the
// progress line says which of how many it is, and endRun returns to the batch loop.
void setSourceLabel(const std::string& sourceName, std::size_t index, std::size_t count);

// When standard error is a terminal and the run has gone on for a second, shows (and a few times
// a second updates) one line there: the source, the percent of its samples copied, the rate.
// The next result line erases it.
void showProgress(const char* sourceName, std::uint64_t doneBytes, std::uint64_t totalBytes);

// The same for a stream, which has no percent: the audio time received (sampleRate 0 where the
// format is not known yet) and the rate since its first byte, about once a second.
void showStreamProgress(const char* sourceName, std::uint64_t frames, std::uint32_t sampleRate,
                        std::uint64_t bytes);
// Whether a stream's progress line would be shown now.
bool streamProgressDue();

// Erases the progress line from a signal handler (async-signal-safe).
void eraseProgressForSignal();

// Reads one white-space delimited word from standard input; false at end of input before a word.
bool readWord(std::string& word);

// The console dialogue for a run started without an argument: returns the source name, or ends
// the process (status 1) when the user leaves or input ends.
std::string askSourceName();

// ---- Output names.

// The name a source's outputs are named after: --as's for standard input ("-").
const std::string& nameForOutputs(const std::string& sourceName, const Options& options);

// The outputs' names less their "L.wav" or "R.wav": the folder (the source's, or -d's) and the
// base, cut from the last path component of the source's name (by default the first run of
// characters other than '.'; with -w the name less its last extension). False when there is no
// base.
bool outputStem(const std::string& sourceName, const Options& options, std::string& stem);

// The output names for a stem: "L.wav" and "R.wav" for two channels (behind -s's separator),
// "_1.wav" to "_N.wav" for more.
std::vector<std::string> outputNames(const std::string& stem, std::uint32_t channels,
                                     const std::string& separator = "");

// -c: the channels (from 0, in the source's order) of a source of `channels` that the list
// takes, tracks named by their iXML names (trackNames as trackFileName gives them, empty where
// the source has no track list); false, with the problem, where it names one the source lacks.
bool chooseChannels(const ChannelList& list, std::uint32_t channels,
                    const std::vector<std::string>& trackNames, std::vector<std::uint32_t>& chosen,
                    std::string& problem);

// -t: a track's NAME from the iXML as it can stand in a file name: entities decoded, white space
// trimmed, '/', C0 and C1 controls and what is not valid UTF-8 replaced by '_', and a leading
// '.' or '-' too; "" where nothing is left.
std::string trackFileName(const std::string& value);

// The outputs of a source: each one's name and the channel it takes.
struct OutputNames {
  std::vector<std::string> names;
  std::vector<std::uint32_t> channels;
  std::string clash;    // -t: the tracks whose names clashed, for the reason line
  std::string tooLong;  // -t: the tracks whose names no file name could hold
};

// The outputs of the chosen channels of a source of `channels`: numbered (or L and R), and with
// -t (trackNames not empty, one per channel, "" for none) named after their tracks where they
// have one, unless two of all the channels would get one name (compared as a file system that
// ignores case would) or the name would pass NAME_MAX.
OutputNames nameOutputs(const std::string& stem, std::uint32_t channels,
                        const std::vector<std::uint32_t>& chosen,
                        const std::vector<std::string>& trackNames,
                        const std::string& separator = "");

struct Source;
struct SourceFormat;
struct Metadata;
// The outputs of the source: its channels, or -c's, named by the default rule, -w, -d, or -t.
// Ends the run where -c names a channel the source lacks.
OutputNames NAME_OUTPUTS(const Source& source, const std::string& stem, const SourceFormat& format,
                         const Metadata& metadata, const Options& options);

// The names the outputs of a file would have, as NAME_OUTPUTS would give them, without a word:
// for the batch's skips. False where the file is no source to split.
bool namesOfSource(const std::string& sourceName, const Options& options,
                   std::vector<std::string>& names);

// The default rule: "<folder><base>L.wav" and "<folder><base>R.wav"; false when there is no base.
bool outputNames(const std::string& sourceName, std::string& leftName, std::string& rightName);

// ---- The source, opened once.

// Reads up to `count` bytes at offset `at`: how many there were (fewer only at the end of the
// file), or -1 on a read error. The probe's pure core reads through one of these, so that the
// tests and the fuzzer can hand it a file held in memory.
using ReadAt = std::function<long(std::uint64_t at, unsigned char* buffer, std::size_t count)>;

// A data size that says nothing: a declared 0xFFFFFFFF, as streaming writers leave it, with no
// ds64 chunk to tell the real one; and the length of a stream that has not ended.
constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};

// The most of a stream that is kept at once: its head, for the probe, or what follows the data
// chunk's declared end, until it is known to be chunks or samples.
constexpr std::size_t kStreamHold = 4 << 20;

// A source opened once: every stage reads it through this descriptor, so that a file renamed
// over its name during the run changes nothing. A file is read by offset; a stream (standard
// input, a FIFO, a character device) once, front to back.
struct Source {
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  // A stream's reading ends with its run, however the run ends.
  ~Source();

  std::string name;
  Fd fd;
  std::uint64_t length = 0;  // a file's; a stream's once it has ended, kUnknownSize before
  dev_t device = 0;
  ino_t inode = 0;
  bool stream = false;

  // At most a window is read at a time from a file, from one window-sized pread, so that
  // walking a long list of small chunks costs a system call per window, not per chunk (the
  // window's memory is shared by every source of the run); from a stream, what is kept, read on
  // as far as kStreamHold past the first byte kept. Fewer bytes than asked for at the end, or
  // past the hold; -1 on an error.
  long read(std::uint64_t at, unsigned char* buffer, std::size_t count);
  long readDirect(std::uint64_t at, unsigned char* buffer, std::size_t count);
  // The probe's reader; `error` takes the errno of a failed read.
  ReadAt reader(int& error);
  std::uint64_t windowStart = 0, windowLength = 0, windowFill = 0;

  // A stream: reads on until byte upTo is kept or the stream ends, showing what came as it
  // comes; false on a read error.
  bool hold(std::uint64_t upTo);
  void showHeld();
  // A stream's samples, in order from samplesAt: the kept bytes, then what the stream brings
  // (fewer than asked, as a pipe gives them); 0 at its end, -1 on an error.
  long readSamples(unsigned char* buffer, std::size_t count);
  std::vector<unsigned char> kept;  // bytes keptFrom to pulled of the stream
  std::uint64_t keptFrom = 0, pulled = 0, samplesAt = 0;
  bool ended = false;  // the stream ended, or a signal ended its reading
  // A stream: where its data chunk says the samples end (the file rule's end once it has
  // ended), and where they did.
  std::uint64_t declaredEnd = kUnknownSize, sampleEnd = 0;
};

// Opens a regular file, or with `streams` a stream too, for reading: 0, or an errno value, or
// kNotRegularFile, or kTerminal for standard input on a terminal.
constexpr int kNotRegularFile = -1, kTerminal = -2;
int openSource(const std::string& name, Source& source, bool streams = false);

// What went wrong, for the reason line: strerror, or "not a regular file".
std::string reasonOf(int error);

// Opens the source, or ends the run; "-" is standard input.
void OPEN_SOURCE(const std::string& name, Source& source);

// While a stream is read, the first SIGINT, SIGTERM or SIGHUP ends the reading instead of the
// run: the tool takes what is already in the stream and commits it.
void beginStreamReading();
void endStreamReading();
bool streamStopped();
// Reads what the stream has, up to count, waiting for it: 0 at its end, or, once a signal ended
// the reading, when nothing more is there without waiting; -1 on an error.
long readStream(int fd, unsigned char* buffer, std::size_t count);
// Says so on standard error when a stream brings nothing for a second (a FIFO without a
// writer); false on an error.
bool waitForWriter(int fd, const std::string& name);

// ---- Source probe.

// The searches never look past this many bytes from the start of the file.
constexpr std::size_t kProbeHeadBytes = 15024;
// Tags are searched at even offsets from 2 up to and including this one.
constexpr std::uint32_t kLastCandidate = 15000;

enum class Verdict { usable, noFormat, notStereo, badBits, noData, unreadable };

// What the samples are: the format tag 1 (PCM), 3, 6 or 7, or the one an EXTENSIBLE sub-format
// stands for.
enum class Coding { pcm, ieeeFloat, aLaw, muLaw };

struct SourceFormat {
  Verdict verdict = Verdict::noFormat;
  // Why a usable-looking source is refused (for the reason line), or what -a would do with it;
  // "" when the refusal speaks for itself.
  std::string reason;
  Coding coding = Coding::pcm;
  std::uint32_t channels = 0;
  std::uint32_t dataStart = 0;
  std::uint32_t sampleRate = 0;
  // Bytes of each sample copied into an output, and the bits of them that carry audio.
  std::uint32_t bytesPerSample = 0;
  std::uint32_t bitsPerSample = 0;
  // Bytes each sample takes in the source: bytesPerSample, or 4 for 24-bit samples in 4-byte
  // containers (block align 8), which the tool packs to three bytes by default.
  std::uint32_t containerBytes = 0;
  std::uint64_t steps = 0;  // chunk headers the probe's walk read
  bool bigEndian = false;   // RIFX: every field big-endian, the outputs' too
};

// Decides on the samples from the format chunk's first `length` bytes (its 8-byte header
// included, up to 48): by the tool's own rules, stereo 16- or 24-bit PCM; with anyFormat, by the
// rules of -a where those refuse.
SourceFormat describeSamples(const unsigned char* fields, std::size_t length, bool anyFormat,
                             bool bigEndian = false);

// Decides on a source of fileLength bytes: the tag searches in its head, and where they find
// nothing, the chunk list walked on to the end of the file.
SourceFormat probeSource(const ReadAt& read, std::uint64_t fileLength, bool anyFormat = false);

// A tag of four printable ASCII bytes, as every chunk tag is.
bool printableTag(const unsigned char* tag);

// A chunk header at offset `at`: a tag of four printable ASCII bytes and a body that fits in the
// file. `header` holds the 8 header bytes when at + 8 <= fileLength.
bool wellFormedChunk(const unsigned char* header, std::uint64_t at, std::uint64_t fileLength,
                     bool bigEndian = false);

// Where the sample area ends, from the data chunk's declared size. `next` holds the bytes of the
// file from dataStart + declaredSize on (up to 9 of them, fewer near the end of the file).
std::uint64_t sampleAreaEnd(std::uint64_t dataStart, std::uint64_t declaredSize,
                            std::uint64_t fileLength, const unsigned char* next,
                            std::size_t nextLength, bool bigEndian = false);

// Reads the declared size of the data chunk whose samples start at dataStart (or the 64-bit one
// of an RF64 ds64 chunk) and what follows it; false on a read error.
bool measureSampleArea(const ReadAt& read, std::uint64_t fileLength, std::uint32_t dataStart,
                       std::uint64_t& end, bool bigEndian = false);
// The data chunk's declared size, or ds64's where the chunk says 0xFFFFFFFF in an RF64 or BW64
// file (kUnknownSize without one); false on a read error.
bool declaredDataSize(const ReadAt& read, std::uint32_t dataStart, std::uint64_t& declared,
                      bool bigEndian = false);

// Probes the named file without ending the run; `error` is the errno of a failed open or read,
// or kNotRegularFile (0 when all went well), for the reason line.
SourceFormat probeFile(const char* sourceName, bool anyFormat, int& error);

// Probes the opened source; returns only when it is usable.
SourceFormat GET_ATTRIBUTES(Source& source, bool anyFormat);

// Returns the file offset where the source's sample area ends; for a stream, where its outputs
// are planned to end (kUnknownSize where it does not say), and the end is found as it is read.
std::uint64_t SAMPLE_END(Source& source, const SourceFormat& format);

// ---- Metadata (-m): the chunks carried from the source to each output.

// How a carried chunk's body is made for one output: copied from the source, or made for its
// channel.
enum class ChunkKind { copied, bext, ixml, peak, fact };

struct CarriedChunk {
  unsigned char tag[4];
  std::uint64_t at = 0;    // where its body starts in the source
  std::uint32_t size = 0;  // of its body in the source
  ChunkKind kind = ChunkKind::copied;
  bool after = false;  // the chunk came after the samples, and goes after them
};

// An iXML track list as read: where it and each of its tracks are in the text.
struct IxmlTrack {
  std::size_t start, end;            // the TRACK element
  std::size_t indexStart, indexEnd;  // its INTERLEAVE_INDEX's value
  std::uint32_t index;
  std::string name;  // its NAME's value as it stands ("" where it has none)
};
struct IxmlTracks {
  bool present = false;  // the text has a TRACK_LIST
  std::size_t start = 0, end = 0;
  std::size_t countStart = 0, countEnd = 0;  // TRACK_COUNT's value; 0, 0 where it has none
  std::size_t countElementStart = 0, countElementEnd = 0;  // and its element
  std::vector<IxmlTrack> tracks;
  // By INTERLEAVE_INDEX: the track's place in `tracks`, kSeveral where several have it.
  std::vector<std::uint32_t> byIndex;
  static constexpr std::uint32_t kNone = 0xFFFFFFFF, kSeveral = 0xFFFFFFFE;
  // The track of the output of channel k (from 0): its place, kNone or kSeveral.
  std::uint32_t trackOf(std::uint32_t channel) const {
    return channel + 1 < byIndex.size() ? byIndex[channel + 1] : kNone;
  }
};

// Reads the track list of an iXML text as an XML reader would, in the forms that recorders
// write: white space and attributes inside tags, comments and declarations outside the list, a
// UTF-8 byte-order mark, trailing NUL padding. False, with the problem, where it cannot be read
// with certainty (UTF-16 text, a TRACK_LIST that is not one well-formed element, a track without
// exactly one numeric INTERLEAVE_INDEX): never a guess.
bool readIxmlTracks(const std::string& xml, IxmlTracks& tracks, std::string& problem);

struct Metadata {
  std::vector<CarriedChunk> chunks;  // in the order of the source
  // bext as each output begins it: its history ends in a line end, for the line each adds.
  std::vector<unsigned char> bext, peak;
  std::string ixml;
  IxmlTracks ixmlTracks;    // of the first iXML, where it could be read
  std::string ixmlProblem;  // why it could not
  // What is not carried, for the reason line: the first 20 names, once each, and a count of the
  // chunks past them.
  std::vector<std::string> dropped;
  std::uint64_t droppedMore = 0;
  std::uint64_t steps = 0;  // chunk headers the walk read
  bool wanted = false;      // -m
  bool afterKnown = false;  // the chunks after the samples are in
};

// Walks the source's chunk list (RIFF, RF64 or BW64) and sorts its chunks into carried and not
// carried; the bodies to rewrite are read. With `after`, only the chunks after the samples,
// which end at sampleEnd. False on a read error.
bool listMetadata(const ReadAt& read, std::uint64_t fileLength, const SourceFormat& format,
                  std::uint64_t sampleEnd, Metadata& metadata, bool after = false);

// iXML for the output of one channel (from 0): its TRACK_LIST cut to the track whose
// INTERLEAVE_INDEX is the channel's position in the source, renumbered 1, with TRACK_COUNT 1.
// False, with the problem, where the track list is not what it should be.
bool ixmlForChannel(const std::string& xml, std::uint32_t channel, std::string& out,
                    std::string& problem);
bool ixmlForChannel(const std::string& xml, const IxmlTracks& tracks, std::uint32_t channel,
                    std::string& out, std::string& problem);

// The body of a carried chunk that is made for the output of one channel (bext with a line of
// coding history, iXML, PEAK, fact), and the size of any carried chunk's body.
std::vector<unsigned char> chunkBody(const Metadata& metadata, const CarriedChunk& chunk,
                                     const SourceFormat& format, std::uint64_t frames,
                                     std::uint32_t channel);
std::uint32_t chunkSize(const Metadata& metadata, const CarriedChunk& chunk,
                        const SourceFormat& format, std::uint64_t frames, std::uint32_t channel);

// With -m, the source's metadata: of a stream that has not ended, the chunks before its
// samples. With -t alone, only its iXML track list, for the names.
Metadata READ_METADATA(Source& source, const SourceFormat& format, std::uint64_t sampleEnd,
                       const Options& options);
// With -m, the chunks after a stream's samples, once they are known.
void READ_METADATA_AFTER(Source& source, const SourceFormat& format, Metadata& metadata);

// The reason line's text for what is not carried: each name once, at most 20, then "and N
// more" for the chunks past them.
std::string droppedLine(const Metadata& metadata);

// ---- Header writer.

// One output as bytes and sizes: the head (RIFF or RF64, ds64, fmt, fact), the carried chunks,
// the data chunk's header, the samples, the pad byte of an odd data size, the chunks after.
struct OutputLayout {
  std::vector<unsigned char> head;
  std::vector<unsigned char> dataHeader;
  std::uint64_t dataBytes = 0;
  bool pad = false;
  std::uint64_t fileBytes = 0;
};

// The layout of an output holding `frames` samples of the source's kind, with beforeBytes and
// afterBytes of carried chunks (headers and pad bytes included): the 44-byte PCM header, or
// EXTENSIBLE for PCM that leaves part of its container unused, or an 18-byte format chunk and a
// fact chunk for float, A-law and mu-law; RF64 with ds64 where the RIFF size passes 32 bits.
// With `reserve`, a JUNK chunk keeps the place of a ds64 that the end of a stream may need;
// frames kUnknownSize gives the sizes a stream of unknown length has until its end. riffLimit
// is where RF64 begins: other than 0xFFFFFFFF only in tests.
OutputLayout outputLayout(const SourceFormat& format, std::uint64_t frames,
                          std::uint64_t beforeBytes, std::uint64_t afterBytes, bool reserve = false,
                          std::uint64_t riffLimit = 0xFFFFFFFFu);

// Everything before the samples of an output that carries nothing: the head and the data
// chunk's header.
std::vector<unsigned char> outputHeader(const OutputLayout& layout);
std::vector<unsigned char> outputHeader(const SourceFormat& format, std::uint64_t frames);

// What each output will be, all sizes known before the first byte is written.
struct OutputPlan {
  SourceFormat format;
  std::uint64_t frames;    // kUnknownSize until the end of a stream that does not say
  std::uint64_t leftover;  // bytes after the last whole frame, not copied
  Metadata metadata;
  std::vector<std::uint32_t> channels;  // the source channel of each output, from 0
  std::vector<OutputLayout> layouts;    // one per output
  bool stream = false;                  // the sizes are set again at the end
  bool reserve = false;                 // a JUNK chunk keeps the place of a ds64
  // A stream whose outputs could not grow (a full disk, a size limit): the errno, and the output
  // that met it. Its take is kept as far as every output holds it.
  int full = 0;
  std::size_t fullOutput = 0;
};
// The plan for the samples from the source's data start up to sampleEnd (kUnknownSize: a
// stream that does not say).
OutputPlan PLAN_OUTPUTS(const Source& source, const SourceFormat& format, std::uint64_t sampleEnd,
                        Metadata metadata, std::vector<std::uint32_t> channels);
// The layouts for the plan's frames and chunks.
void layOut(OutputPlan& plan, std::uint64_t riffLimit = 0xFFFFFFFFu);
// Where output k's samples begin, as its head was written.
std::uint64_t samplesAt(const OutputPlan& plan, std::size_t k);

// Says on standard error what the outputs leave out: the bytes after the last whole frame, and
// with -m the chunks not carried.
void REPORT_LEFT_OUT(const Source& source, const OutputPlan& plan);

// A stream whose outputs could not grow has had its take committed as far as it went: the run
// still ends with "Unable to write file." and the reason, and says how much was kept.
void REPORT_CUT(const Source& source, const OutputPlan& plan, const OutputSet& outputs);

// Appends bytes of an output's header to output k (see the outputs below).
void MAKE_HEADER(OutputSet& outputs, std::size_t output, const std::vector<unsigned char>& bytes);

// Writes what comes before the samples of every output, the carried chunks included, and what
// comes after them: the pad byte, the chunks after.
void WRITE_HEADERS(Source& source, const OutputPlan& plan, OutputSet& outputs);
// For a stream, first the chunks after its samples, now that they are known, and then, in
// every output that can seek, its sizes.
void WRITE_TRAILERS(Source& source, OutputPlan& plan, OutputSet& outputs);

// Copies the carried chunks that came before (or after) the source's samples into every output,
// each read once.
void CARRY_CHUNKS(Source& source, const OutputPlan& plan, bool after, OutputSet& outputs);

// ---- Outputs: one object owns the outputs of a source, from their names to their commit.

// The hidden name ".NAME" + suffix beside a destination, cut to fit a file name's 255 bytes (a
// cut base gets a hash of the whole name, so that two long names never share one).
std::string temporaryName(const std::string& destination, const std::string& suffix = ".XXXXXX");

// -d: ends the process (status 2, the reason on standard error, nothing on standard output)
// unless the folder exists; "" is each source's own folder, which needs no check.
void CHECK_OUTPUT_FOLDER(const std::string& folder);

// -n: ends the run with "skipped" when an output name is already taken (a file, a link, a
// folder), before anything is read past the probe.
void KEEP_EXISTING(const std::vector<std::string>& outputNames);

// Writes all of the bytes, retrying after a signal; false (with errno) on a failed write.
bool writeFully(int fd, const unsigned char* buffer, std::size_t count);
// Reads exactly `count` bytes at `at`; false on an error (with errno) or at the end of the file
// (errno 0).
bool readFully(int fd, std::uint64_t at, unsigned char* buffer, std::size_t count);

// A source's outputs. Each goes through these states, in order:
//   resolved   its name followed through symbolic links to a destination: a folder, known by its
//              device and inode, and a last component; the file there, if any, and its mode.
//   made       one descriptor, kept until the commit: an unnamed file (O_TMPFILE) in the
//              destination's folder, or where the file system has none, a named temporary file
//              there (".NAME.XXXXXX"); or, where the folder may not be written though the file
//              may, and for a pipe or a device, the destination itself, written in place. Each
//              regular file has its blocks allocated for its planned length.
//   linked     (the commit, under a lock on the folder, signals held back) the new file at its
//              fixed name, ".NAME.tarnvell2", beside the destination.
//   placed     at its final name: exchanged with the previous file, which takes the fixed name;
//              or moved to a name that was free; the last one renamed over the previous file.
//              Once the last is placed the source is split: a signal held back then ends the run
//              after its "done".
//   committed  the previous files, at the fixed names, removed.
// The rules:
//   - Nothing under a final name changes before the commit, except outputs written in place,
//     which are all opened before any is truncated.
//   - Leaving scope before the commit discards: what was placed is put back, the linked and the
//     named temporary files are removed, the descriptors closed (an unnamed file is gone with
//     its last one).
//   - A fixed name exists only while its folder is locked: a regular file found there is a dead
//     run's leftover, which the holder of the lock removes. A fixed name that is a symbolic link,
//     a source of the run (the stream's file too) or the file an output stands for is refused
//     before anything is made, and nothing is removed.
//   - Two outputs that are one file, however spelled, or one that is the source, are refused
//     before anything is made.
//   - The signal handler removes only the named temporary files, from storage sized once.
// ---- --verify: the outputs read back from the storage before the commit.

// A 64-bit hash of bytes given in any pieces: four lanes of 8-byte words, each step one-to-one,
// so that blocks that differ in one 32-byte stripe never hash alike.
class BlockHash {
 public:
  BlockHash();
  void add(const unsigned char* bytes, std::size_t count);
  std::uint64_t value() const;

 private:
  std::uint64_t lanes_[4];
  std::uint64_t length_ = 0;
  unsigned char stripe_[32] = {};
  std::size_t held_ = 0;
};
std::uint64_t hashBlock(const unsigned char* bytes, std::size_t count);

// What an output should hold, block by block, as its writes go: a block filled by writes in
// order has its hash; one changed out of order (a size set at the end, a cut) has none, and is
// hashed from the page cache before it is flushed.
class WriteCheck {
 public:
  static constexpr std::uint64_t kBlock = 64 << 10;
  // Bytes written at the position, which moves on.
  void append(const unsigned char* bytes, std::size_t count);
  // Bytes from `from` to `to` changed by a write elsewhere.
  void changed(std::uint64_t from, std::uint64_t to);
  // The position moved (a cut): the blocks between are not known.
  void movedTo(std::uint64_t position);
  // The hash of block `block` of a file of fileSize bytes, where the writes in order made it.
  bool known(std::uint64_t block, std::uint64_t fileSize, std::uint64_t& hash) const;

 private:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::vector<std::uint64_t> hashes_;
  std::vector<bool> known_;
  std::uint64_t position_ = 0;
  std::uint64_t runningBlock_ = kNone;  // the block `running_` hashes from its start
  BlockHash running_;
};

class OutputSet {
 public:
  // Resolves every name; ends the run with "Unable to open file." when an output is the source,
  // two are one file, or one cannot be written. With `verify`, each output is read back from the
  // storage at the commit, before anything is replaced.
  OutputSet(const Source& source, const std::vector<std::string>& names, bool verify = false);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Makes every output, output k with its blocks allocated for bytes[k] (0: not known), or
  // ends the run; `readable` where its bytes may have to move (a stream's head).
  void make(const std::vector<std::uint64_t>& bytes, bool readable = false);
  // Writes to output k, or ends the run with "Unable to write file.".
  void write(std::size_t k, const unsigned char* bytes, std::size_t count);
  // The same, but false (with errno) where the output cannot grow: ENOSPC, EFBIG or EDQUOT.
  bool writeOrFull(std::size_t k, const unsigned char* bytes, std::size_t count);
  // Cuts output k to `length` bytes, writing on from there.
  void cut(std::size_t k, std::uint64_t length);
  // Places every output at its final name, all or none, under the folders' locks (waiting at
  // most lockWait seconds for another run's); with `sync`, each on the disk before, the folders
  // after; with noClobber, none where a name was taken since the start ("skipped"). Ends the run
  // on a failure, with the previous outputs put back.
  void commit(bool sync, unsigned lockWait, bool noClobber = false);

  std::size_t size() const;
  const std::string& name(std::size_t k) const;

  // For a stream's sizes, set at its end: whether output k can seek (a regular file), a write
  // at an offset, and room made for `count` more bytes at an offset.
  bool seekable(std::size_t k) const;
  void writeAt(std::size_t k, std::uint64_t at, const std::vector<unsigned char>& bytes);
  void insertAt(std::size_t k, std::uint64_t at, std::size_t count);

  struct Output;
  struct Folder;

 private:
  void rollback();
  void holdSignals();
  // --verify: output k flushed, dropped from the page cache and read back; ends the run where a
  // block differs from what was written, or cannot be read.
  void readBack(std::size_t k);
  // Why the file at a fixed name is no dead run's leftover (a link, a source); null where it is
  // one, or where nothing is there.
  const char* notLeftover(const std::string& fixed) const;
  std::string sourceName_;
  dev_t sourceDevice_;
  ino_t sourceInode_;
  std::vector<Output> outputs_;
  std::vector<Folder> folders_;
  std::unique_ptr<char[]> pendingMemory_;  // what the signal handler removes
  bool verify_ = false;
  bool committed_ = false;
  bool signalsHeld_ = false;
  sigset_t savedMask_;
};

// Moves the bytes of a file from `at` to its end `count` bytes on, through a buffer of `room`
// bytes; false (with errno) on a failed read or write.
bool moveTail(int fd, std::uint64_t at, std::size_t count, unsigned char* buffer, std::size_t room);

// The stages' names for the outputs' life: made with room for the plan, committed as the
// options say.
void PREPARE_OUTPUTS(OutputSet& outputs, const OutputPlan& plan);
void COMMIT_OUTPUTS(OutputSet& outputs, const Options& options);

// ---- Several sources.

// Splits each of the `count` sources in turn in this process; each result line starts with
// "NAME: ". Returns the highest status.
int SPLIT_EACH(char** names, std::size_t count, const Options& options, SplitSource split);

// In a run of several sources: whether the file is one of its sources (any of them, the later
// ones too), as the name stands now.
bool isSourceOfRun(dev_t device, ino_t inode);

// In a run of several sources: an output of the source being split, placed by its commit; kept
// as written by it if the source ends "done".
void noteWritten(int fd);

// In a run of several sources: "skipped" when the source is the same file as an earlier one.
void SKIP_REPEATED(const Source& source);

// In a run of several sources: "skipped" when the source, refused as not stereo, is an output of
// another source of the run.
void skipIfOutputOfAnother(const Source& source);

// In a run of several sources: "Unable to open file." when an output would replace another
// stereo source of the run, or what an earlier source of the run wrote.
void GUARD_OUTPUTS(const std::vector<std::string>& outputNames);

// ---- Channel extractor.

// Copies one sample of each of `frames` frames of `channels` samples: channel `channel`
// (counted from 0; any channel past the last is the first). Each sample is the low
// bytesPerSample bytes of its containerBytes-byte container (the two are equal but for 24-bit
// samples in 4-byte containers, which are packed by default).
void extractChannel(const unsigned char* in, std::size_t frames, std::uint32_t bytesPerSample,
                    std::uint32_t containerBytes, std::uint32_t channels, std::uint32_t channel,
                    unsigned char* out);

// Reads frameCount frames from the source's data start on, once, and appends the samples of
// channel k to output k.
// A stream's samples are read as they come, and the plan learns how many there were.
void COPY_DATA(Source& source, OutputPlan& plan, OutputSet& outputs);

// The block buffers of the run (1 MiB), for copying carried chunks too.
unsigned char* blockMemory(std::size_t& bytes);

#endif
