// SPDX-License-Identifier: GPL-3.0-or-later
// Under the sanitizer builds: fontconfig keeps its caches until exit by
// design, which LeakSanitizer reports as leaks of every GUI test program.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
