// SPDX-License-Identifier: GPL-3.0-or-later
// The two peers a launch meets on a session bus, on the bus of
// DBUS_SESSION_BUS_ADDRESS:
//
//   bus-peer app NAME [STATUS]
//                           a single-instance program: the first copy owns
//                           NAME and stays; a later one calls the owner and
//                           exits STATUS (0), as a GApplication passes its launch on
//   bus-peer version        a copy that prints its version and exits 0
//   bus-peer manager RESULT FILE
//                           the user manager: StartTransientUnit is answered
//                           with a job, which ends with RESULT ("done",
//                           "failed") or never ("endless"), or, for "refuse",
//                           with an error, for "silent" never; FILE gets
//                           the unit's name, each PID with its state ('T'
//                           once stopped) and each text property as NAME=TEXT

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <systemd/sd-bus.h>
#include <thread>

namespace {

const char* gResult = "done";
const char* gFile = nullptr;

char stateOf(std::uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

// A stop signal takes a moment to land: 'T' once it has, within a deadline.
char settledStateOf(std::uint32_t pid) {
  char state = stateOf(pid);
  for (int i = 0; i < 250 && state != 'T'; ++i, state = stateOf(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return state;
}

int startTransientUnit(sd_bus_message* call, void*, sd_bus_error* error) {
  const char* name = nullptr;
  const char* mode = nullptr;
  if (sd_bus_message_read(call, "ss", &name, &mode) < 0) return -EINVAL;
  std::ofstream out(gFile);
  out << name;
  sd_bus_message_enter_container(call, 'a', "(sv)");
  while (sd_bus_message_enter_container(call, 'r', "sv") > 0) {
    const char* property = nullptr;
    sd_bus_message_read(call, "s", &property);
    if (std::strcmp(property, "PIDs") == 0) {
      sd_bus_message_enter_container(call, 'v', "au");
      const void* data = nullptr;
      std::size_t size = 0;
      sd_bus_message_read_array(call, 'u', &data, &size);
      for (std::size_t i = 0; i < size / sizeof(std::uint32_t); ++i) {
        const auto pid = static_cast<const std::uint32_t*>(data)[i];
        out << ' ' << pid << ':' << settledStateOf(pid);
      }
      sd_bus_message_exit_container(call);
    } else if (sd_bus_message_enter_container(call, 'v', "s") > 0) {
      const char* value = nullptr;
      sd_bus_message_read(call, "s", &value);
      out << ' ' << property << '=' << value;
      sd_bus_message_exit_container(call);
    } else {
      sd_bus_message_skip(call, "v");
    }
    sd_bus_message_exit_container(call);
  }
  out << '\n';
  out.close();
  if (std::strcmp(gResult, "silent") == 0) return 1;  // taken, and never answered
  if (std::strcmp(gResult, "refuse") == 0) return sd_bus_error_set(error, "org.freedesktop.systemd1.UnitExists", "refused");
  // Queued and run each a moment later, as a real manager's jobs are: the
  // caller waits for both.
  const char* job = "/org/freedesktop/systemd1/job/7";
  sd_bus* bus = sd_bus_message_get_bus(call);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sd_bus_reply_method_return(call, "o", job);
  sd_bus_flush(bus);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (std::strcmp(gResult, "endless") != 0) {  // "endless": the job never ends
    sd_bus_emit_signal(bus, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss", 7u,
                       job, name, gResult);
  }
  return 1;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o", startTransientUnit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("JobRemoved", "uoss", 0),
    SD_BUS_VTABLE_END};

int serve(sd_bus* bus) {
  for (;;) {
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) return 1;
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "version") {
    std::printf("bus-peer 1.0\n");
    return 0;
  }
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 2;
  if (mode == "app" && (argc == 3 || argc == 4)) {
    const char* name = argv[2];
    if (sd_bus_request_name(bus, name, 0) >= 0) return serve(bus);
    // A moment's quiet first, as a toolkit loading between connecting and
    // calling gives: the watch must outlast a second with nothing on the bus.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    // The owner has no such object: its answer is an error, but the call is made.
    sd_bus_call_method(bus, name, "/", "org.marrowfield.TestPeer", "Activate", nullptr, nullptr, "");
    // Still connected while the watch asks who it is, as a real program is
    // while it tears down its toolkit; one that leaves within the watch's
    // first look goes unrecognised (no hand-off is then said).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sd_bus_flush_close_unref(bus);
    return argc == 4 ? std::atoi(argv[3]) : 0;
  }
  if (mode == "manager" && argc == 4) {
    gResult = argv[2];
    gFile = argv[3];
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                 kManager, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.systemd1", 0) < 0) {
      return 2;
    }
    return serve(bus);
  }
  std::fprintf(stderr, "usage: bus-peer app NAME | version | manager RESULT FILE\n");
  return 2;
}
