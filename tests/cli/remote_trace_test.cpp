// SPDX-License-Identifier: GPL-3.0-or-later
// marrowfield-cli trace --host through a real sshd this test starts on
// loopback, for a user it creates, with a client configuration of its own
// (an `ssh` first in PATH that adds -F): the machine's ssh setup is not read
// or touched.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "journal_fixture.h"
#include "platform/system_calls.h"
#include "platform/spawn.h"
#include "platform_test_support.h"
#include "support/cases.h"

namespace mf {
namespace {

[[maybe_unused]] auto* const kJournal = ::testing::AddGlobalTestEnvironment(new testing::JournalEnvironment);

int freeLoopbackPort() {
  os::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) return -1;
  return ntohs(address.sin_port);  // closed again when `socket` goes: nobody listens there
}

// The live (not zombie) processes of `uid`.
std::vector<pid_t> processesOf(uid_t uid) {
  std::vector<pid_t> found;
  for (const pid_t pid : os::processIds()) {
    std::istringstream uids(testing::statusField(pid, "Uid:"));
    uid_t real = 0;
    if (uids >> real && real == uid && !testing::statusField(pid, "State:").starts_with("Z")) found.push_back(pid);
  }
  return found;
}

// One sshd on a free loopback port, its host key, a user with an
// authorized key, and the client side: a configuration with the host
// aliases "mf-remote" (that sshd) and "mf-closed" (a port nobody listens
// on), and its known_hosts.
class SshWorld {
 public:
  SshWorld() {
    if (::getuid() != 0) { skipped = "creating a user and starting sshd needs root"; return; }
    // The system's sshd, or the one scripts/install-deps unpacked from Debian's package without installing it.
    const std::string sshdPath = ::access("/usr/sbin/sshd", X_OK) == 0 ? "/usr/sbin/sshd" : MARROWFIELD_UNPACKED_SSHD;
    if (::access(sshdPath.c_str(), X_OK) != 0) { skipped = "no sshd: scripts/install-deps unpacks one, or install openssh-server"; return; }
    // Its privilege separation user, as the package would make it; removed again at the end if made here (the
    // cases hold a lock of their own, so no other is using it then).
    madeSshdUser = ::getpwnam("sshd") == nullptr && testing::runProgram({"useradd", "--system", "--no-create-home", "--home-dir", "/run/sshd", "--shell", "/usr/sbin/nologin", "sshd"}).status == 0;
    ::chmod(dir.path().c_str(), 0755);
    const auto key = [&](const std::string& name) {
      return testing::runProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir.path() / name).string()});
    };
    if (key("host").status != 0 || key("client").status != 0) { skipped = "ssh-keygen failed"; return; }
    if (testing::runProgram({"useradd", "--create-home", "--home-dir", home().string(), "--shell", "/bin/sh", user})
            .status != 0) { skipped = "useradd failed"; return; }
    madeUser = true;
    testing::runProgram({"usermod", "-p", "*", user});  // not locked: sshd refuses locked accounts
    account = *::getpwnam(user.c_str());
    std::filesystem::create_directories(bin());
    std::filesystem::create_symlink(MARROWFIELD_CLI_PATH, bin() / "marrowfield-cli");
    std::filesystem::create_directories("/run/sshd");  // sshd's privilege separation directory
    port = freeLoopbackPort();
    const int closed = freeLoopbackPort();
    std::filesystem::copy_file(dir.path() / "client.pub", dir.path() / "authorized_keys");
    dir.write("sshd_config", "ListenAddress 127.0.0.1\nHostKey " + (dir.path() / "host").string() +
                                 "\nAuthorizedKeysFile " + (dir.path() / "authorized_keys").string() +
                                 "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                                 "StrictModes no\nPidFile none\nAllowUsers " + user + "\nSetEnv PATH=" +
                                 bin().string() + ":/usr/bin:/bin\n");
    std::string hostKey;
    std::getline(std::ifstream(dir.path() / "host.pub"), hostKey);
    dir.write("known_hosts", "[127.0.0.1]:" + std::to_string(port) + " " + hostKey + "\n");
    const std::string common = "  HostName 127.0.0.1\n  User " + user + "\n  IdentityFile " +
                               (dir.path() / "client").string() + "\n  IdentitiesOnly yes\n  UserKnownHostsFile " +
                               (dir.path() / "known_hosts").string() +
                               "\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n";
    dir.write("ssh_config", "Host mf-remote\n  Port " + std::to_string(port) + "\n" + common + "Host mf-closed\n  Port " +
                                std::to_string(closed) + "\n" + common);
    std::filesystem::create_directories(dir.path() / "client-bin");
    dir.write("client-bin/ssh", "#!/bin/sh\nexec /usr/bin/ssh -F " + (dir.path() / "ssh_config").string() + " \"$@\"\n", true);
    os::SpawnRequest request;
    request.argv = {sshdPath, "-D", "-f", (dir.path() / "sshd_config").string(), "-p", std::to_string(port),
                    "-h", (dir.path() / "host").string(), "-E", (dir.path() / "sshd.log").string()};
    sshd = os::spawnProcess(request).pid;
    if (sshd <= 0) { skipped = "sshd could not start"; return; }
    // Up once it takes a connection.
    const bool up = testing::waitFor([&] {
      os::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    });
    if (!up) skipped = "sshd did not listen";
  }
  ~SshWorld() {
    if (sshd > 0) ::kill(sshd, SIGTERM), ::waitpid(sshd, nullptr, 0);
    if (madeUser) {
      for (const pid_t pid : processesOf(account.pw_uid)) ::kill(pid, SIGKILL);  // only if a case failed
      testing::runProgram({"userdel", user});
    }
    if (madeSshdUser) testing::runProgram({"userdel", "sshd"});
  }
  std::filesystem::path home() const { return dir.path() / "home"; }
  std::filesystem::path bin() const { return dir.path() / "remote-bin"; }
  std::vector<std::string> clientPath() const {
    return {"PATH=" + (dir.path() / "client-bin").string() + ":" + std::getenv("PATH")};
  }
  // The per-connection sshd process that runs as the user.
  std::vector<pid_t> sessionProcesses() const {
    std::vector<pid_t> found;
    for (const pid_t pid : processesOf(account.pw_uid)) {
      const auto command = os::commandLineOf(pid);
      if (!command.empty() && command.front().starts_with("sshd: ")) found.push_back(pid);
    }
    return found;
  }

  testing::TempDir dir;
  std::string user = "mfssh" + testing::randomSuffix().substr(0, 8);
  passwd account{};
  bool madeUser = false, madeSshdUser = false;
  int port = -1;
  pid_t sshd = -1;
  std::string skipped;
};

// marrowfield-cli trace ARGS with the test's ssh first in PATH.
testing::Ran runCli(const SshWorld& world, std::vector<std::string> args,
                    const std::function<bool(pid_t, const std::string&)>& whileRunning = {}) {
  args.insert(args.begin(), {MARROWFIELD_CLI_PATH, "trace"});
  return testing::runProgram(args, world.clientPath(), whileRunning);
}

// The window's road to the host: a ContentView given the host, on the
// platform's services (ssh is the first in PATH: the test's). Its status
// line and summary, and 1 when an error is listed.
testing::Ran traceFromTheWindow(const SshWorld& world, const std::string& entry, const std::string& host) {
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", world.clientPath().front().substr(5).c_str(), 1);
  testing::Window window;
  window.choose(entry);
  window.view.setLaunchHost(host);
  window.view.startTrace();
  window.queue.runUntil([&] { return !window.view.isTracing(); }, 60);
  ::setenv("PATH", path.c_str(), 1);
  testing::Ran ran{0, window.view.statusText() + "\n" + window.view.summaryText() + "\n"};
  for (const auto row : window.view.visibleRows()) {
    ran.status = window.view.events()[row].type == EventType::error ? 1 : ran.status;
  }
  return ran;
}

// The events of a summary, numbers (times, PIDs) masked.
std::vector<std::string> summaryEvents(const std::string& out) {
  std::vector<std::string> events;
  const auto at = out.find("\nMode: ");
  std::istringstream lines(at == std::string::npos ? std::string() : out.substr(out.find('\n', at + 1)));
  // A PID may have fewer digits the second time.
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("[")) events.push_back(std::regex_replace(line, std::regex("[0-9]+"), "#"));
  }
  return events;
}

class RemoteTraceTest : public ::testing::TestWithParam<testing::NamedCase> {
 protected:
  static void SetUpTestSuite() { world = new SshWorld; }
  static void TearDownTestSuite() {
    delete world;
    world = nullptr;
  }
  static SshWorld* world;
};
SshWorld* RemoteTraceTest::world = nullptr;

TEST_P(RemoteTraceTest, TracesOnTheHostAndLeavesNothingThere) {
  // A row of cases/remote.tsv: name, host, the demo's arguments, what is done
  // once it is ready, exit status, how the trace is asked for, what it says.
  const auto& row = GetParam().fields;
  const std::string host = row[1], act = row[3], how = row[5];
  const int status = std::stoi(row[4]);
  const bool json = how == "json";
  if (!world->skipped.empty()) GTEST_SKIP() << world->skipped;
  const auto demo = testing::demoEntry(world->dir, row[2] == "-" ? "" : row[2]);
  if (how == "no-cli") std::filesystem::remove(world->bin() / "marrowfield-cli");
  std::vector<std::string> args = {"--host", host, demo.entry};
  if (json) args.emplace_back("--json");
  const auto run = how == "window" ? traceFromTheWindow(*world, demo.entry, host) : runCli(*world, args, [&](pid_t cli, const std::string& out) {
    const char* ready = json ? "\"message\":\"Ready for work\"" : "] [CONSOLE] Ready for work\n";
    if (act == "none" || out.find(ready) == std::string::npos) return false;
    if (act == "interrupt") return ::kill(cli, SIGINT) == 0;
    for (const pid_t session : world->sessionProcesses()) ::kill(session, SIGKILL);
    return true;
  });
  if (how == "no-cli") std::filesystem::create_symlink(MARROWFIELD_CLI_PATH, world->bin() / "marrowfield-cli");
  EXPECT_EQ(run.status, status) << run.output;
  std::istringstream said(row[6]);
  for (std::string part; std::getline(said, part, '|');) EXPECT_NE(run.output.find(part), std::string::npos) << part << "\n" << run.output;
  // Nothing of the trace is left on the host.
  EXPECT_TRUE(testing::waitFor([&] { return processesOf(world->account.pw_uid).empty(); }, 15)) << run.output;
  if (status == 2 || json) return;
  EXPECT_NE(run.output.find("\nApp: " + demo.name + "\nHost: " + host + "\nPath: "), std::string::npos) << run.output;
  if (act != "none") return;
  // The same events as a trace by the same user on that machine.
  const auto local = testing::runProgram({"setpriv", "--reuid=" + std::to_string(world->account.pw_uid),
                                          "--regid=" + std::to_string(world->account.pw_gid), "--clear-groups", "--",
                                          MARROWFIELD_CLI_PATH, "trace", demo.entry});
  const auto remote = summaryEvents(run.output);
  const auto here = summaryEvents(local.output);
  EXPECT_FALSE(remote.empty()) << run.output;
  EXPECT_TRUE(std::is_permutation(remote.begin(), remote.end(), here.begin(), here.end()))
      << run.output << "\n----\n" << local.output;
}

INSTANTIATE_TEST_SUITE_P(Ssh, RemoteTraceTest, ::testing::ValuesIn(testing::readNamedCases(MARROWFIELD_CASES "/remote.tsv")),
                         [](const auto& info) { return info.param.fields[0]; });

}  // namespace
}  // namespace mf
