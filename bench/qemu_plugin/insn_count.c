/* A qemu-user TCG plugin that counts the guest instructions a program
 * executes, and writes the total when the program exits.
 *
 *   cc -shared -fPIC -O2 -o insn_count.so insn_count.c
 *   qemu-aarch64 -plugin ./insn_count.so,out=/tmp/count PROGRAM ...
 *
 * Each translated block gets an inline addition of its instruction count,
 * run at every execution of the block, so the total is exact and costs no
 * call per block. The addition is not atomic: the count is exact for a
 * program that runs one thread (uexpmod, rg -j1), and a lower bound for
 * one whose threads run guest code at the same time. Without out=, the
 * total goes to standard error.
 *
 * With profile=FILE, each translated block also gets a counter of its own,
 * and FILE receives a line per block: its guest address, its instruction
 * count and how many times it ran (a block translated again has a line
 * per translation), for a per-function profile of the instructions.
 *
 * Debian ships no qemu-plugin.h: these are the declarations of the plugin
 * interface's version 1, as qemu 7.2 exports them. */
#include <stdbool.h>
#include <stddef.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;

typedef struct {
  const char *target_name;
  struct {
    int min;
    int cur;
  } version;
  bool system_emulation;
  union {
    struct {
      int smp_vcpus;
      int max_vcpus;
    } system;
  };
} qemu_info_t;

struct qemu_plugin_tb;

enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 = 0 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb *));
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static uint64_t executed;
static char out_path[4096];
static char profile_path[4096];

/* One translated block, for the profile. */
struct block {
  uint64_t vaddr;
  uint64_t insns;
  uint64_t runs;
  struct block *next;
};
static struct block *blocks;
static pthread_mutex_t blocks_lock = PTHREAD_MUTEX_INITIALIZER;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  const size_t insns = qemu_plugin_tb_n_insns(tb);
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, insns);
  if (!profile_path[0]) return;
  struct block *b = calloc(1, sizeof *b);
  if (!b) return;
  b->vaddr = qemu_plugin_tb_vaddr(tb);
  b->insns = insns;
  pthread_mutex_lock(&blocks_lock);
  b->next = blocks;
  blocks = b;
  pthread_mutex_unlock(&blocks_lock);
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->runs, 1);
}

static void report(qemu_plugin_id_t id, void *userdata) {
  (void)id;
  (void)userdata;
  FILE *out = out_path[0] ? fopen(out_path, "w") : stderr;
  if (out) {
    fprintf(out, "%llu\n", (unsigned long long)executed);
    if (out != stderr) fclose(out);
  }
  if (!profile_path[0]) return;
  FILE *profile = fopen(profile_path, "w");
  if (!profile) return;
  for (const struct block *b = blocks; b; b = b->next) {
    if (b->runs) {
      fprintf(profile, "%llx %llu %llu\n", (unsigned long long)b->vaddr,
              (unsigned long long)b->insns, (unsigned long long)b->runs);
    }
  }
  fclose(profile);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  if (info->version.min > 1 || info->version.cur < 1) return -1;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) == 0) {
      snprintf(out_path, sizeof out_path, "%s", argv[i] + 4);
    } else if (strncmp(argv[i], "profile=", 8) == 0) {
      snprintf(profile_path, sizeof profile_path, "%s", argv[i] + 8);
    } else {
      fprintf(stderr, "insn_count: unknown argument %s\n", argv[i]);
      return -1;
    }
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, report, NULL);
  return 0;
}
