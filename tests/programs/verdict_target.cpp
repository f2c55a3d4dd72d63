// SPDX-License-Identifier: GPL-3.0-or-later
// Targets whose ends the verdict tests name, one per mode:
//   --null            a null dereference in compute_widget_size
//   --missing-file    exits 1 after failing to open a file that is not there
//   --stale-cache     a warning, then a normal exit (with --missing-file: both)
//   --ok              one line, exit 0
//   --oom CGROUP      joins CGROUP (a folder of the cgroup tree) and allocates until killed

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern "C" int compute_widget_size(const int* widget);
extern "C" int compute_widget_size(const int* widget) {
  return *widget * 2;
}

static int oom(const char* cgroup) {
  char path[4096];
  snprintf(path, sizeof path, "%s/cgroup.procs", cgroup);
  FILE* procs = fopen(path, "w");
  if (!procs || fprintf(procs, "%d\n", (int)getpid()) < 0 || fclose(procs) != 0) {
    perror("cannot join the cgroup");
    return 3;
  }
  for (;;) {
    char* block = static_cast<char*>(std::malloc(1 << 20));
    if (!block) return 4;
    memset(block, 1, 1 << 20);
  }
}

int main(int argc, char** argv) {
  int result = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--null") == 0) {
      int* volatile nowhere = nullptr;
      return compute_widget_size(nowhere);
    } else if (strcmp(argv[i], "--stale-cache") == 0) {
      fprintf(stderr, "warning: cache at /tmp/verdict-%d is stale\n", (int)getpid());
    } else if (strcmp(argv[i], "--missing-file") == 0) {
      if (!fopen("/nonexistent/verdict-settings.ini", "r")) {
        fprintf(stderr, "error: cannot open /nonexistent/verdict-settings.ini: No such file or directory\n");
        result = 1;
      }
    } else if (strcmp(argv[i], "--ok") == 0) {
      printf("all good\n");
    } else if (strcmp(argv[i], "--oom") == 0 && i + 1 < argc) {
      return oom(argv[++i]);
    }
  }
  return result;
}
