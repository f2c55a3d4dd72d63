// SPDX-License-Identifier: GPL-3.0-or-later
// Another program under crash-program's name, as an older copy installed on
// PATH would be: one long function fills its code where crash-program has
// main, so a crash located in the wrong file would name decoy_function.

namespace {

volatile int sink;

}  // namespace

#define DECOY_STEP sink = sink * 3 + 1;
#define DECOY_STEP8 DECOY_STEP DECOY_STEP DECOY_STEP DECOY_STEP DECOY_STEP DECOY_STEP DECOY_STEP DECOY_STEP
#define DECOY_STEP64 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8 DECOY_STEP8

extern "C" __attribute__((noinline)) void decoy_function() {
  DECOY_STEP64 DECOY_STEP64 DECOY_STEP64 DECOY_STEP64
}

int main() {
  decoy_function();
  return 0;
}
