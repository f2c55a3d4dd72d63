// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a trace can follow its target in the journal at all: journald
// answers, and this user may read what it stores.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/log_stream.h"
#include "platform/system_calls.h"

namespace mf {

using os::UniqueFd;

std::optional<std::string> journalUnavailableReason(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return "the systemd journal socket path is too long";
  socketPath.copy(address.sun_path, socketPath.size());
  UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return "the systemd journal cannot be reached: " + os::errorText(errno);
  const int result = os::retryOnEintr([&] {
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  });
  if (result == 0) return std::nullopt;
  const int error = errno;
  if (error == ENOENT || error == ECONNREFUSED) return "the systemd journal is not running";
  return "the systemd journal cannot be reached: " + os::errorText(error);
}

std::optional<std::string> journalUnreadableReason(const std::vector<std::string>& directories) {
  if (::geteuid() == 0) return std::nullopt;
  // journald keeps the system's entries in system*.journal and, where it
  // splits by user on persistent storage, ours in user-<uid>*.journal. We
  // can follow the target if we may read either; files of other users tell
  // us nothing.
  const std::string own = "user-" + std::to_string(::getuid());
  bool sawJournal = false;
  for (const auto& top : directories) {
    DIR* machines = ::opendir(top.c_str());
    if (!machines) continue;
    while (const dirent* machine = ::readdir(machines)) {
      if (machine->d_name[0] == '.') continue;
      const std::string folder = top + "/" + machine->d_name;
      DIR* files = ::opendir(folder.c_str());
      if (!files) {
        sawJournal = sawJournal || errno == EACCES;
        continue;
      }
      while (const dirent* file = ::readdir(files)) {
        const std::string_view name(file->d_name);
        if (name.size() < 8 || name.substr(name.size() - 8) != ".journal") continue;
        if (name.substr(0, 6) != "system" && name.substr(0, own.size()) != own) continue;
        sawJournal = true;
        if (::faccessat(AT_FDCWD, (folder + "/" + file->d_name).c_str(), R_OK, AT_EACCESS) == 0) {
          ::closedir(files);
          ::closedir(machines);
          return std::nullopt;
        }
      }
      ::closedir(files);
    }
    ::closedir(machines);
  }
  if (!sawJournal) return std::nullopt;  // nothing written yet: nothing to judge by
  return "this user may not read the systemd journal (insufficient permissions; members of the "
         "systemd-journal group may), so the target's output is read directly";
}

}  // namespace mf
