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
 * Debian ships no qemu-plugin.h: these are the declarations of the plugin
 * interface's version 1, as qemu 7.2 exports them. */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
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
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static uint64_t executed;
static char out_path[4096];

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                           qemu_plugin_tb_n_insns(tb));
}

static void report(qemu_plugin_id_t id, void *userdata) {
  (void)id;
  (void)userdata;
  FILE *out = out_path[0] ? fopen(out_path, "w") : stderr;
  if (!out) return;
  fprintf(out, "%llu\n", (unsigned long long)executed);
  if (out != stderr) fclose(out);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  if (info->version.min > 1 || info->version.cur < 1) return -1;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) != 0) {
      fprintf(stderr, "insn_count: unknown argument %s\n", argv[i]);
      return -1;
    }
    snprintf(out_path, sizeof out_path, "%s", argv[i] + 4);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, report, NULL);
  return 0;
}
