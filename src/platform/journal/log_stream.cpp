// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/log_stream.h"

#include <cmath>
#include <unistd.h>

#include "platform/journal_follower.h"
#include "platform/journal_reader.h"
#include "platform/kernel_report.h"
#include "platform/process_tree.h"
#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "platform/system_clock.h"

namespace mf {
namespace {

class JournalLogProcess final : public LogProcess {
 public:
  JournalLogProcess(std::shared_ptr<JournalFollower> follower, std::shared_ptr<LingeringStreams> lingering)
      : follower_(std::move(follower)), lingering_(std::move(lingering)) {}

  ~JournalLogProcess() override {
    // Keep reading for the late lines; the launcher ends it.
    follower_->requestStop(JournalFollower::Stop::linger);
    lingering_->adopt(std::move(follower_));
  }

  bool isRunning() const override { return follower_->isRunning(); }
  void terminate() override { follower_->requestStop(JournalFollower::Stop::linger); }
  void follow(const LaunchedProcess& process) override { follower_->follow(process); }
  bool mayMissShortLivedHelpers(const LaunchedProcess& process) const override {
    return !follower_->seesForks() && !process.witness;
  }
  void notifyWhenQuiet(std::function<void()> callback) override { follower_->notifyWhenQuiet(std::move(callback)); }
  void notifyOnUnexpectedEnd(std::function<void(std::string)> callback) override {
    follower_->notifyOnUnexpectedEnd(std::move(callback));
  }

 private:
  std::shared_ptr<JournalFollower> follower_;
  std::shared_ptr<LingeringStreams> lingering_;
};

}  // namespace

std::string journalIdentifier(const std::string& processName) {
  std::string identifier = processName;
  for (char& c : identifier) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '_';
  }
  return identifier;
}

JournalLogStreamLauncher::JournalLogStreamLauncher() : JournalLogStreamLauncher(Options{}) {}

JournalLogStreamLauncher::JournalLogStreamLauncher(Options options)
    : options_(std::move(options)), lingering_(std::make_shared<LingeringStreams>()) {}

JournalLogStreamLauncher::~JournalLogStreamLauncher() = default;

std::size_t JournalLogStreamLauncher::lingeringStreams() { return lingering_->size(); }

ArmResult JournalLogStreamLauncher::start(const std::string& processName, LineBatchSink sink) {
  ArmResult result;
  auto reason = journalUnavailableReason(options_.journalSocket);
  if (!reason) reason = journalUnreadableReason(options_.journalDirectories);
  // From just before the launch: the target may write its first lines
  // before the reader has looked.
  auto reader = std::make_unique<JournalReader>();
  if (!reason) reason = reader->open(static_cast<std::uint64_t>(std::llround(SystemClock().now() * 1e6)));
  auto wakeFd = os::makeWakeFd();
  if (!reason && !wakeFd.valid()) reason = os::errorText(errno);
  if (reason) {
    result.errorDescription = *reason;
    return result;
  }
  CaptureScope scope;
  scope.processName = processName;
  scope.identifier = journalIdentifier(processName);
  scope.self = ::getpid();
  scope.kernelMessagesMissing = kernelMessagesUnavailableReason().value_or("");
  // Fork events are watched from before the launch, so a child the target
  // starts at once is still known to be its child.
  auto follower = std::make_shared<JournalFollower>(std::move(reader), std::move(scope), std::make_unique<ProcessTree>(),
                                                    std::move(sink), std::move(wakeFd));
  // Blind to forks, /proc is all there is: orphans of the tree then come to
  // us instead of init, from before the launch on, so they stay reachable.
  if (!follower->seesForks()) os::becomeChildSubreaper();
  follower->startReading();
  result.process = std::make_unique<JournalLogProcess>(std::move(follower), lingering_);
  return result;
}

}  // namespace mf
