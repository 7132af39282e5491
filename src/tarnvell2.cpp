// tarnvell2 [OPTION]... [SOURCE]...: splits each stereo 16- or 24-bit PCM WAVE file into two mono
// WAVE files, one per channel, with the samples copied byte for byte. The outputs take the
// source's folder and the first run of characters other than '.' in its name: "takes/song.wav"
// gives "takes/songL.wav" (left) and "takes/songR.wav" (right); existing files of those names are
// replaced whole. Without SOURCE the name is asked for on the console.
#include "tarnvell2.h"

#include <csignal>
#include <string>
#include <vector>

namespace {

// One source, through the stages in order; every way out ends its run.
void splitSource(const std::string& sourceName, const Options& options) {
  std::string stem;
  if (!outputStem(nameForOutputs(sourceName, options), options, stem))
    failRun(nameForOutputs(sourceName, options),
            "no name for the outputs: the part after the last / is empty or all dots",
            "Filename error: looking for format of type name.wav", 2);

  Source source;
  OPEN_SOURCE(sourceName, source);
  SKIP_REPEATED(source);
  const SourceFormat format = GET_ATTRIBUTES(source, options.anyFormat);
  const std::uint64_t end = SAMPLE_END(source, format);
  Metadata metadata = READ_METADATA(source, format, end, options);
  const OutputNames named = NAME_OUTPUTS(source, stem, format, metadata, options);
  // The guards first: -n never hides a clash within the run.
  GUARD_OUTPUTS(named.names);
  if (options.noClobber) KEEP_EXISTING(named.names);

  OutputSet outputs(source, named.names, options.verify);
  OutputPlan plan = PLAN_OUTPUTS(source, format, end, std::move(metadata), named.channels);
  PREPARE_OUTPUTS(outputs, plan);
  WRITE_HEADERS(source, plan, outputs);
  COPY_DATA(source, plan, outputs);
  WRITE_TRAILERS(source, plan, outputs);
  REPORT_LEFT_OUT(source, plan);
  COMMIT_OUTPUTS(outputs, options);
  REPORT_CUT(source, plan, outputs);
  endRun("done", 0);
}

}  // namespace

int main(int argc, char** argv) {
  // A file size limit is a failed write, like a full disk, not a process killed mid-file.
  std::signal(SIGXFSZ, SIG_IGN);
  OPEN_STANDARD_STREAMS();
  Options options;
  const int first = parseOptions(argc, argv, options);
  // Once, before any source is read, as cp judges its target folder.
  CHECK_OUTPUT_FOLDER(options.outputDir);
  const auto count = static_cast<std::size_t>(argc - first);
  if (count > 1) return SPLIT_EACH(argv + first, count, options, splitSource);
  return RUN_SOURCE(splitSource, count == 1 ? argv[first] : askSourceName(), options);
}
