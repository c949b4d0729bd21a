/* A loop of exactly two instructions an iteration, run argv[1] times: the
 * difference between the counts of two runs tells whether the plugin counts
 * every executed instruction once. */
#include <stdlib.h>

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  long n = strtol(argv[1], NULL, 10);
  __asm__ volatile("1: subs %0, %0, #1\n\tb.ne 1b" : "+r"(n) : : "cc");
  return 0;
}
