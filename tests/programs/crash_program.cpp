// SPDX-License-Identifier: GPL-3.0-or-later
// A target for the kernel-report tests, built with debug information so that
// a crash can be named by function and source line.
//
//   crash-program null       writes through a null pointer in main
//   crash-program library    faults inside libmfcrash.so, in a child it forked (which runs its parent's maps)
//   crash-program thread     faults in a second thread it names, in a C function named f
//   crash-program wait       sleeps until killed
//   crash-program strict     makes a system call that seccomp's strict mode forbids

#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "crash_library.h"

// A C name that also spells a type in C++'s mangling ("f" is float): the
// report must say the function, not the type.
extern "C" void* f(void*) {
  ::prctl(PR_SET_NAME, "crash-worker");  // named, as GLib and Qt name theirs: a new name, no new program
  volatile int* nowhere = nullptr;
  *nowhere = 1;  // the fault in the thread
  return nullptr;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "null") == 0) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;  // the fault in main
  }
  if (std::strcmp(mode, "library") == 0 && ::fork() == 0) mfcrash::writeThrough(nullptr);
  ::wait(nullptr);
  if (std::strcmp(mode, "thread") == 0) std::thread(f, nullptr).join();
  if (std::strcmp(mode, "strict") == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) == 0) {
    ::syscall(SYS_getpid);  // only read, write, exit and sigreturn are allowed: the kernel kills it here
  }
  if (std::strcmp(mode, "wait") == 0) for (;;) ::pause();
  return 2;
}
