// SPDX-License-Identifier: GPL-3.0-or-later
extern "C" int mfgone_answer();
extern "C" int mfgone_answer() { return 42; }
