// SPDX-License-Identifier: GPL-3.0-or-later
// Linked against libmfgone, which the verdict test removes before it runs this.
extern "C" int mfgone_answer();
int main() { return mfgone_answer() == 42 ? 0 : 1; }
