// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/fakes.h"

#include <chrono>

namespace mf::testing {

void FakeMainQueue::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  posted_.notify_all();
}

void FakeMainQueue::wait(double seconds) {
  waits.push_back(seconds);
  if (onWait) onWait(seconds);
  runAll();
}

std::size_t FakeMainQueue::runAll() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
}

std::size_t FakeMainQueue::pending() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

bool FakeMainQueue::waitForPending(std::size_t count, double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  return posted_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                          [&] { return tasks_.size() >= count; });
}

Uuid SequentialIdSource::next() {
  std::array<std::uint8_t, 16> bytes{};
  std::uint64_t value = ++issued;
  for (int i = 15; i >= 10; --i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value & 0xff);
    value >>= 8;
  }
  return Uuid::fromRandomBytes(bytes);
}

ArmResult FakeLogStreamLauncher::start(const std::string& processName, LineBatchSink sink) {
  Start start{processName, std::move(sink), nullptr};
  ArmResult result;
  if (succeed) {
    start.process = std::make_shared<FakeLogProcessState>();
    result.process = std::make_unique<FakeLogProcess>(start.process);
  } else {
    result.errorDescription = failure;
  }
  starts.push_back(std::move(start));
  return result;
}

void FakeWorkspace::openApplication(const std::string& path, const LaunchOptions& options,
                                    LaunchCompletion completion) {
  calls.push_back("open");
  opens.push_back(Open{path, options, std::move(completion)});
}

void FakeWorkspace::completeWithPid(std::int32_t pid, std::optional<std::size_t> which) {
  opens.at(which.value_or(opens.size() - 1)).completion(std::nullopt, std::make_shared<FakeRunningApplication>(pid));
}

void FakeWorkspace::completeWithError(const std::string& description, std::optional<std::size_t> which) {
  opens.at(which.value_or(opens.size() - 1)).completion(description, nullptr);
}

std::vector<std::shared_ptr<RunningApplication>> FakeWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  calls.push_back("running");
  runningQueries.push_back(bundleIdentifier);
  auto found = running.find(bundleIdentifier);
  if (found == running.end()) return {};
  return found->second;
}

namespace {
class FakeObserverToken : public TerminationObserver {
 public:
  FakeObserverToken(std::shared_ptr<FakeWorkspace::Observer> observer, std::vector<std::string>& calls)
      : observer_(std::move(observer)), calls_(calls) {}
  ~FakeObserverToken() override {
    observer_->active = false;
    calls_.push_back("unobserve");
  }

 private:
  std::shared_ptr<FakeWorkspace::Observer> observer_;
  std::vector<std::string>& calls_;
};
}  // namespace

std::unique_ptr<TerminationObserver> FakeWorkspace::addTerminationObserver(std::int32_t pid,
                                                                           TerminationCallback callback) {
  calls.push_back("observe");
  auto observer = std::make_shared<Observer>(Observer{pid, std::move(callback), true});
  observers.push_back(observer);
  return std::make_unique<FakeObserverToken>(observer, calls);
}

std::size_t FakeWorkspace::activeObservers() const {
  std::size_t count = 0;
  for (const auto& observer : observers) count += observer->active ? 1 : 0;
  return count;
}

void FakeWorkspace::terminate(std::int32_t pid, std::optional<ExitStatus> status) {
  notify(TerminationNotification{std::make_shared<FakeRunningApplication>(pid), status, std::nullopt});
}

void FakeWorkspace::notify(const TerminationNotification& notification) {
  // Copy first: a callback may tear down and so deactivate observers.
  auto current = observers;
  for (const auto& observer : current) {
    if (observer->active) observer->callback(notification);
  }
}

std::string FakeWorkspace::bundleIdentifier(const std::string& path) {
  auto found = bundleIds.find(path);
  return found == bundleIds.end() ? std::string() : found->second;
}

}  // namespace mf::testing
