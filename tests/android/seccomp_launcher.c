// Runs a program the way Android runs everything an app starts: under a
// seccomp filter that allows the system calls of a list and answers any
// other with SECCOMP_RET_TRAP (SIGSYS, which kills a process that does not
// handle it: exit status 159 in a shell).
//
//   seccomp_launcher NUMBERS_FILE UID PROGRAM [ARGUMENT...]
//
// NUMBERS_FILE holds the allowed aarch64 system call numbers, one a line.
// UID is the user to run as (switched to before the filter is installed,
// since later lists forbid setuid), or -1 to stay.
#include <errno.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

enum { kMaxCalls = 1024 };

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s NUMBERS_FILE UID PROGRAM [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  FILE* list = fopen(argv[1], "r");
  if (list == NULL) {
    perror(argv[1]);
    return 2;
  }
  static struct sock_filter program[4 + 2 * kMaxCalls + 1];
  unsigned short length = 0;
  program[length++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                                   offsetof(struct seccomp_data, arch));
  program[length++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_AARCH64, 1, 0);
  program[length++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  program[length++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                                   offsetof(struct seccomp_data, nr));
  unsigned number = 0;
  int calls = 0;
  while (fscanf(list, "%u", &number) == 1) {
    if (++calls > kMaxCalls) {
      fprintf(stderr, "%s: more than %d calls\n", argv[1], kMaxCalls);
      return 2;
    }
    program[length++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1);
    program[length++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  }
  if (!feof(list) || calls == 0) {
    fprintf(stderr, "%s: not a list of numbers\n", argv[1]);
    return 2;
  }
  fclose(list);
  program[length++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP);

  const long uid = strtol(argv[2], NULL, 10);
  if (uid >= 0 && (setgroups(0, NULL) != 0 || setgid((gid_t)uid) != 0 || setuid((uid_t)uid) != 0)) {
    perror("switching user");
    return 2;
  }
  const struct sock_fprog filter = {.len = length, .filter = program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    perror("installing the filter");
    return 2;
  }
  execv(argv[3], argv + 3);
  fprintf(stderr, "%s: %s\n", argv[3], strerror(errno));
  return 127;
}
