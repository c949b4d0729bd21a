// Runs a program the way Android runs everything an app starts: under a
// seccomp filter that allows the system calls of a list and answers any
// other with SECCOMP_RET_TRAP (SIGSYS, which kills a process that does not
// handle it: exit status 159 in a shell).
//
//   seccomp_launcher [-t THREADS_FILE] NUMBERS_FILE UID PROGRAM [ARGUMENT...]
//
// NUMBERS_FILE holds the allowed aarch64 system call numbers, one a line.
// UID is the user to run as (switched to before the filter is installed,
// since later lists forbid setuid), or -1 to stay.
//
// With -t the program runs in a child, and the launcher counts the threads
// it starts: a second filter hands each clone to the launcher (a seccomp
// user notification), which lets it go on unchanged and counts those that
// start a thread. The policy's answers stand: a call it traps is trapped,
// since the stricter answer of two filters wins. The count goes to
// THREADS_FILE, and the launcher ends with the program's status (128 plus
// the signal that ended it, as a shell tells it).
#include <errno.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kMaxCalls = 1024 };

// The filter that hands every clone to the listener it returns, or -1.
static int installCloneListener(void) {
  struct sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const struct sock_fprog filter = {.len = sizeof program / sizeof program[0], .filter = program};
  return (int)syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                      &filter);
}

// A message of one byte with room for one descriptor, as sendmsg and recvmsg
// take it; ready once prepared in place (it points into itself).
struct DescriptorMessage {
  char byte;
  struct iovec data;
  union {
    struct cmsghdr header;
    char room[CMSG_SPACE(sizeof(int))];
  } control;
  struct msghdr message;
};

static void prepareMessage(struct DescriptorMessage* m) {
  memset(m, 0, sizeof *m);
  m->data.iov_base = &m->byte;
  m->data.iov_len = 1;
  m->message.msg_iov = &m->data;
  m->message.msg_iovlen = 1;
  m->message.msg_control = m->control.room;
  m->message.msg_controllen = sizeof m->control.room;
}

static int sendDescriptor(int channel, int descriptor) {
  struct DescriptorMessage m;
  prepareMessage(&m);
  struct cmsghdr* header = CMSG_FIRSTHDR(&m.message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
  return sendmsg(channel, &m.message, 0) == 1 ? 0 : -1;
}

static int receiveDescriptor(int channel) {
  struct DescriptorMessage m;
  prepareMessage(&m);
  if (recvmsg(channel, &m.message, 0) != 1) return -1;
  struct cmsghdr* header = CMSG_FIRSTHDR(&m.message);
  if (header == NULL || header->cmsg_type != SCM_RIGHTS) return -1;
  int descriptor = -1;
  memcpy(&descriptor, CMSG_DATA(header), sizeof(int));
  return descriptor;
}

// Lets each clone of the child go on and counts those that start a thread,
// until the child has ended; returns its status as a shell tells it.
static int countThreads(pid_t child, int listener, const char* threadsFile) {
  long threads = 0;
  int status = 0;
  for (;;) {
    struct pollfd waiting = {.fd = listener, .events = POLLIN};
    const int ready = poll(&waiting, 1, 20);
    if (ready > 0 && (waiting.revents & POLLIN)) {
      struct seccomp_notif request;
      memset(&request, 0, sizeof request);
      if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) continue;  // the caller died
      struct seccomp_notif_resp response;
      memset(&response, 0, sizeof response);
      response.id = request.id;
      response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0 &&
          (request.data.args[0] & CLONE_THREAD)) {
        ++threads;
      }
      continue;
    }
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) break;
    if (ended < 0 && errno != EINTR) {
      perror("waiting for the program");
      return 2;
    }
  }
  FILE* out = fopen(threadsFile, "w");
  if (out == NULL || fprintf(out, "%ld\n", threads) < 0 || fclose(out) != 0) {
    perror(threadsFile);
    return 2;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int main(int argc, char** argv) {
  const char* threadsFile = NULL;
  if (argc > 2 && strcmp(argv[1], "-t") == 0) {
    threadsFile = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc < 4) {
    fprintf(stderr, "usage: seccomp_launcher [-t THREADS_FILE] NUMBERS_FILE UID PROGRAM [ARGUMENT...]\n");
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

  int channel[2] = {-1, -1};
  if (threadsFile != NULL) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, channel) != 0) {
      perror("socketpair");
      return 2;
    }
    const pid_t child = fork();
    if (child < 0) {
      perror("fork");
      return 2;
    }
    if (child > 0) {
      close(channel[1]);
      const int listener = receiveDescriptor(channel[0]);
      if (listener < 0) {
        fprintf(stderr, "no clone listener from the program's process\n");
        waitpid(child, NULL, 0);
        return 2;
      }
      return countThreads(child, listener, threadsFile);
    }
    close(channel[0]);
  }

  const long uid = strtol(argv[2], NULL, 10);
  if (uid >= 0 && (setgroups(0, NULL) != 0 || setgid((gid_t)uid) != 0 || setuid((uid_t)uid) != 0)) {
    perror("switching user");
    return 2;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    perror("no new privileges");
    return 2;
  }
  if (threadsFile != NULL) {
    const int listener = installCloneListener();
    if (listener < 0 || sendDescriptor(channel[1], listener) != 0) {
      perror("installing the clone listener");
      return 2;
    }
    close(listener);
    close(channel[1]);
  }
  const struct sock_fprog filter = {.len = length, .filter = program};
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    perror("installing the filter");
    return 2;
  }
  execv(argv[3], argv + 3);
  fprintf(stderr, "%s: %s\n", argv[3], strerror(errno));
  return 127;
}
