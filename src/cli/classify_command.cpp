// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli classify: the line intake of a trace, run over files.
//
// Each file goes through its own LineSplitter in 64 KiB reads, and every
// batch is classified and printed before the next read, so memory stays
// constant however long the input is.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/classify.h"
#include "analysis/visible.h"
#include "commands.h"
#include "help_text.h"
#include "export/summary.h"
#include "model/event_list.h"
#include "text/search_fold.h"
#include "platform/system_calls.h"
#include "platform/system_clock.h"
#include "terminal_text.h"
#include "text/line_splitter.h"

namespace mf::cli {
namespace {

constexpr std::size_t kChunkSize = std::size_t{64} * 1024;

// Also the manual page: dist/man/marrowfield-cli.help is the source of both.
constexpr const char* kUsage = help::kClassify;

struct Options {
  std::string bundleIdentifier;
  bool showRawLog = false;
  std::string searchText;
  bool tsv = false;
  std::vector<std::string> files;
};

// Parses the arguments; nothing when they are bad (after saying why).
std::optional<Options> parse(std::span<char* const> args, bool& helpRequested) {
  Options options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
      options.files.emplace_back(arg);
      continue;
    }
    auto value = [&](std::string_view name) -> std::optional<std::string> {
      if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
        return std::string(arg.substr(name.size() + 1));
      }
      if (i + 1 < args.size()) return std::string(args[++i]);
      printError("marrowfield-cli: " + std::string(name) + " needs a value");
      return std::nullopt;
    };
    auto is = [&](std::string_view name) {
      return arg == name || (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
    };
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      helpRequested = true;
      return options;
    } else if (arg == "--raw") {
      options.showRawLog = true;
    } else if (arg == "--tsv") {
      options.tsv = true;
    } else if (is("--bundle-id")) {
      auto v = value("--bundle-id");
      if (!v) return std::nullopt;
      options.bundleIdentifier = *v;
    } else if (is("--search")) {
      auto v = value("--search");
      if (!v) return std::nullopt;
      options.searchText = *v;
    } else {
      printError("marrowfield-cli: unknown option '" + std::string(arg) + "'");
      return std::nullopt;
    }
  }
  if (options.files.empty()) options.files.emplace_back("-");
  return options;
}

// Runs each batch through a trace's own intake (classifyBatch), visibility
// rule (isShown) and line format (summaryEventLine), so a line reads here as
// it would in the event list; only no event list is kept.
class Classifier {
 public:
  explicit Classifier(const Options& options) : options_(options), query_(options.searchText) {}

  // Classifies and prints one batch; false when the output failed.
  bool process(const LineBatch& batch) {
    out_.clear();
    // The lines of one read arrive together, so they share one reading of the clock.
    const double now = clock_.now();
    classifyBatch(batch, options_.bundleIdentifier,
                  [&](std::string_view message, const Classification& c, const LineInfo& info) {
                    // The fold is what the stored event would carry; only a search reads it.
                    if (!query_.empty() && !isAscii(message)) {
                      folded_ = foldForSearch(message);
                    } else {
                      folded_.clear();
                    }
                    const EventView event{nullptr, now, c.type, c.source, message, c.isRoutineNoise, folded_,
                                          info.origin};
                    if (!isShown(event, options_.showRawLog, query_)) return;
                    if (options_.tsv) {
                      out_ += label(event.type);
                      out_ += '\t';
                      out_ += event.source;
                      out_ += event.isRoutineNoise ? "\t1\t" : "\t0\t";
                      out_ += event.message;
                    } else {
                      appendSummaryEventLine(out_, event);
                    }
                    out_ += '\n';
                  });
    if (out_.empty()) return true;
    // TSV escapes nothing of its own, so a terminal gets it escaped as
    // everything else; the readable form is escaped wherever it goes.
    if (!options_.tsv || toTerminal_) out_ = escapeControlCharacters(out_);
    // One write per batch, flushed at once: following a live log through a
    // pipe must show each line when it comes, not when a buffer fills.
    return std::fwrite(out_.data(), 1, out_.size(), stdout) == out_.size() && std::fflush(stdout) == 0;
  }

 private:
  const Options& options_;
  const bool toTerminal_ = isTerminal(STDOUT_FILENO);
  SystemClock clock_;
  SearchQuery query_;
  std::string folded_;
  std::string out_;
};

enum class FileOutcome { done, unreadable, outputFailed };

FileOutcome processFile(const std::string& path, Classifier& classifier) {
  const bool isStdin = path == "-";
  const char* shownName = isStdin ? "standard input" : path.c_str();
  int fd = 0;
  if (!isStdin) {
    fd = os::retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
      const int error = errno;
      printError("marrowfield-cli: cannot read " + std::string(shownName) + ": " + std::strerror(error));
      return FileOutcome::unreadable;
    }
  }

  LineSplitter splitter;
  LineBatch batch;
  std::vector<char> buffer(kChunkSize);
  FileOutcome outcome = FileOutcome::done;
  for (;;) {
    const ssize_t n = os::retryOnEintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (n < 0) {
      // What was read so far still counts; the rest of the file is lost.
      const int error = errno;
      printError("marrowfield-cli: cannot read " + std::string(shownName) + ": " + std::strerror(error));
      outcome = FileOutcome::unreadable;
      break;
    }
    if (n == 0) break;
    batch.clear();
    splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), batch);
    if (!classifier.process(batch)) {
      outcome = FileOutcome::outputFailed;
      break;
    }
  }
  if (outcome != FileOutcome::outputFailed) {
    batch.clear();
    splitter.finish(batch);
    if (!classifier.process(batch)) outcome = FileOutcome::outputFailed;
  }
  if (!isStdin) ::close(fd);
  return outcome;
}

}  // namespace

int runClassify(std::span<char* const> args) {
  bool helpRequested = false;
  const std::optional<Options> options = parse(args, helpRequested);
  if (helpRequested) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  Classifier classifier(*options);
  int status = 0;
  for (const auto& path : options->files) {
    const FileOutcome outcome = processFile(path, classifier);
    if (outcome == FileOutcome::unreadable) status = 2;
    if (outcome == FileOutcome::outputFailed) {
      std::fprintf(stderr, "marrowfield-cli: cannot write the output: %s\n", std::strerror(errno));
      return 1;
    }
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "marrowfield-cli: cannot write the output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}

}  // namespace mf::cli
