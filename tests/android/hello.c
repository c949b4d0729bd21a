// A plain static C program: the control of the VM check, which the app policy must kill.
#include <stdio.h>

int main(void) {
  puts("hello");
  return 0;
}
