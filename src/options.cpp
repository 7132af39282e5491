// The command line: options before the first source name, POSIX style, so that every argument
// after it is a source name even when it starts with '-'.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarnvell2.h"

namespace {

const char* const kUsage =
    "Usage: tarnvell2 [OPTION]... [--] [SOURCE]...\n"
    "\n"
    "Splits each stereo PCM WAVE file SOURCE (16 or 24 bits) into two mono WAVE\n"
    "files, the left and the right channel, the samples copied byte for byte. The\n"
    "outputs are named after the first run of characters other than '.' in the last\n"
    "part of the source's name, then L.wav or R.wav: takes/song.wav gives\n"
    "takes/songL.wav and takes/songR.wav, my.song.wav gives myL.wav. Existing\n"
    "outputs are replaced whole, or not at all. An output past 4 GiB is RF64.\n"
    "Without -m the outputs carry no metadata (bext, iXML, LIST). SOURCE - is\n"
    "standard input, read as it comes, as are a FIFO and a character device; the\n"
    "first Ctrl-C ends its reading and keeps what came. Without SOURCE the name is\n"
    "asked for.\n"
    "\n"
    "Options, recognised only before the first SOURCE:\n"
    "  -d, --output-dir=DIR  write the outputs into DIR (an existing folder)\n"
    "  -w, --whole-name      name the outputs after the whole name less its last\n"
    "                        extension: 01. Intro.wav gives 01. IntroL.wav\n"
    "  -n, --no-clobber      leave existing outputs alone: such a source is skipped\n"
    "  -a, --any-format      split any PCM width, float, A-law and mu-law, and any\n"
    "                        number of channels from 2: NAME_1.wav to NAME_N.wav\n"
    "                        for more than two, each sample copied whole; and\n"
    "                        big-endian RIFX files, into RIFX outputs\n"
    "  -m, --metadata        carry bext (its time reference kept), iXML (cut to the\n"
    "                        output's track), markers and tags to each output; say\n"
    "                        on standard error what is not carried\n"
    "  -c, --channels=LIST   write only these channels, numbered from 1: 1,3-5,\n"
    "                        2- to the last; L and R for a stereo source; track\n"
    "                        names in the iXML: Boom,Lav1; the names stay\n"
    "  -t, --track-names     name each output after its track's NAME in the iXML:\n"
    "                        take_BOOM.wav; numbered where a track has none\n"
    "  -s, --separator=SEP   put SEP between the name and L or R: -s _ gives\n"
    "                        song_L.wav\n"
    "      --sync            put each output on the disk before it is renamed, and\n"
    "                        the folder after: done survives a power cut\n"
    "      --verify          read each output back from the storage before it\n"
    "                        replaces anything; refuse the source where it differs\n"
    "      --lock-wait=SECONDS  wait at most SECONDS (default 30) for another\n"
    "                        process's lock on an output folder\n"
    "      --as NAME         name the outputs of - (standard input) as if it were\n"
    "                        NAME: --as take1.wav gives take1L.wav, take1R.wav\n"
    "  -h, --help            print this text\n"
    "      --version         print the version\n"
    "\n"
    "With several sources each is split in turn and reported on a line of its own,\n"
    "NAME: MESSAGE. A source named twice, or one that is a mono output of another\n"
    "source of the run, is skipped. A source is refused when its outputs would\n"
    "replace another stereo source of the run, or outputs that an earlier source of\n"
    "the run wrote (take.1.wav and take.2.wav both name takeL.wav and takeR.wav).\n"
    "\n"
    "Exit status: 0 when every source was split or skipped; 1 when a source is not\n"
    "stereo or not 16 or 24 bits, or when the prompt was left; 2 for any other\n"
    "failure. With several sources, the highest of them.\n"
    "\n"
    "See man tarnvell2.";

[[noreturn]] void badCommandLine(const std::string& what) {
  std::fprintf(stderr, "tarnvell2: %s\nTry 'tarnvell2 --help'.\n", what.c_str());
  std::exit(2);
}

}  // namespace

int parseOptions(int argc, char** argv, Options& options) {
  enum { kVersion = 256, kSync, kVerify, kLockWait, kAs };
  static const struct option longOptions[] = {
      {"output-dir", required_argument, nullptr, 'd'},
      {"whole-name", no_argument, nullptr, 'w'},
      {"no-clobber", no_argument, nullptr, 'n'},
      {"any-format", no_argument, nullptr, 'a'},
      {"metadata", no_argument, nullptr, 'm'},
      {"sync", no_argument, nullptr, kSync},
      {"verify", no_argument, nullptr, kVerify},
      {"lock-wait", required_argument, nullptr, kLockWait},
      {"channels", required_argument, nullptr, 'c'},
      {"track-names", no_argument, nullptr, 't'},
      {"separator", required_argument, nullptr, 's'},
      {"as", required_argument, nullptr, kAs},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // our own words, on our own terms
  for (;;) {
    const int before = optind;
    const int c = getopt_long(argc, argv, "+:d:wnamhc:ts:", longOptions, nullptr);
    if (c == -1) break;
    // The option as it was typed, for the message: "-q" from "-wq", "--sync" from "--sync=x".
    // A long option always ends its argument; a short one may sit inside a cluster.
    const char* last = argv[optind - 1];
    const bool isLong = optind > before && std::strncmp(last, "--", 2) == 0;
    const std::string given =
        isLong ? std::string(last, std::strcspn(last, "="))
               : std::string("-") + static_cast<char>(c == '?' || c == ':' ? optopt : c);
    switch (c) {
      case 'd':
        // "" would be each source's own folder: a script's empty variable, not a choice.
        if (*optarg == '\0') badCommandLine("option '" + given + "' needs a folder, not ''");
        options.outputDir = optarg;
        break;
      case 'w':
        options.wholeName = true;
        break;
      case 'n':
        options.noClobber = true;
        break;
      case 'a':
        options.anyFormat = true;
        break;
      case 'm':
        options.metadata = true;
        break;
      case 'c':
        if (!parseChannelList(optarg, options.channels))
          badCommandLine("option '" + given + "' needs a list of channels such as 1,3-5, 2-, L " +
                         "or Boom, not '" + optarg + "'");
        break;
      case 't':
        options.trackNames = true;
        break;
      case 's':
        // Part of a file name: no folder in it.
        if (std::strchr(optarg, '/') != nullptr)
          badCommandLine("option '" + given + "' needs a separator without '/', not '" +
                         std::string(optarg) + "'");
        options.separator = optarg;
        break;
      case 'h':
        exitWith(kUsage, 0);
      case kSync:
        options.sync = true;
        break;
      case kVerify:
        options.verify = true;
        break;
      case kLockWait: {
        char* end = nullptr;
        errno = 0;
        const unsigned long seconds = std::strtoul(optarg, &end, 10);
        if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0 || seconds > 86400)
          badCommandLine("option '--lock-wait' needs a number of seconds up to 86400, not '" +
                         std::string(optarg) + "'");
        options.lockWait = static_cast<unsigned>(seconds);
        break;
      }
      case kAs:
        options.as = optarg;
        break;
      case kVersion:
        exitWith("tarnvell2 " TARNVELL2_VERSION, 0);
      case ':':
        badCommandLine("option '" + given + "' needs an argument");
      default:
        if (isLong && optopt != 0) badCommandLine("option '" + given + "' takes no argument");
        badCommandLine("unknown option '" + given + "'");
    }
  }
  // Standard input, once, named by --as: it has no name of its own to cut.
  const long streams = std::count(argv + optind, argv + argc, std::string("-"));
  if (streams > 1) badCommandLine("'-' (standard input) is named more than once");
  if (streams == 1 && options.as.empty())
    badCommandLine("'-' (standard input) needs --as NAME to name its outputs");
  if (streams == 0 && !options.as.empty())
    badCommandLine("--as names the outputs of '-' (standard input), which is not a source");
  return optind;
}
