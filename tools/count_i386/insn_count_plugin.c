/* A plugin for qemu-i386 (TCG plugin interface, version 1, as QEMU 7.2 has it) that counts the
 * guest instructions each thread of the emulated program executes, and writes the counts to the
 * file named by its argument "out=PATH" when the program ends: one line "thread N: COUNT" per
 * thread, in the order the threads were created (thread 0 is the program's main thread).
 *
 * With "profile=PATH" it also writes, for the main thread, one line "ADDRESS COUNT" per block
 * start address that ran: the instructions executed in blocks starting there.
 *
 * Each translated block adds its instruction count to its thread's total whenever it runs; a
 * block left early by a fault counts whole, which no program measured here does. The counts are
 * exact and repeatable: they depend on the program and its input, never on the machine's load.
 *
 * Debian ships qemu-user with the plugin interface but not its header: the few declarations the
 * counter needs are written out here, as the interface documents them. */
#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
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

enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *tb,
                                          qemu_plugin_vcpu_udata_cb_t cb,
                                          enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb,
                                    void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb *tb);

#define EXPORT __attribute__((visibility("default")))

EXPORT int qemu_plugin_version = 1;

enum { kMaxThreads = 256 };

/* One translation of a block; a block translated again gets another record. */
struct block {
  uint64_t address;
  uint64_t instructions;
  uint64_t main_thread_runs;
  struct block *next;
};

/* Each thread adds to its own slot only: no two threads write one counter. */
static uint64_t counts[kMaxThreads];
static unsigned int highest_thread;
static char out_path[4096];
static char profile_path[4096];
static struct block *blocks;
static pthread_mutex_t blocks_lock = PTHREAD_MUTEX_INITIALIZER;

static void block_ran(unsigned int vcpu_index, void *userdata) {
  struct block *block = userdata;
  if (vcpu_index >= kMaxThreads) return;
  counts[vcpu_index] += block->instructions;
  if (vcpu_index == 0) block->main_thread_runs++;
  if (vcpu_index > highest_thread) highest_thread = vcpu_index;
}

static void block_translated(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  struct block *block = calloc(1, sizeof(*block));
  if (block == NULL) abort();
  block->address = qemu_plugin_tb_vaddr(tb);
  block->instructions = qemu_plugin_tb_n_insns(tb);
  pthread_mutex_lock(&blocks_lock);
  block->next = blocks;
  blocks = block;
  pthread_mutex_unlock(&blocks_lock);
  qemu_plugin_register_vcpu_tb_exec_cb(tb, block_ran, QEMU_PLUGIN_CB_NO_REGS, block);
}

static void write_profile(void) {
  FILE *out = fopen(profile_path, "w");
  if (out == NULL) return;
  for (struct block *block = blocks; block != NULL; block = block->next) {
    if (block->main_thread_runs == 0) continue;
    fprintf(out, "0x%llx %llu\n", (unsigned long long)block->address,
            (unsigned long long)(block->instructions * block->main_thread_runs));
  }
  fclose(out);
}

static void program_ended(qemu_plugin_id_t id, void *userdata) {
  (void)id;
  (void)userdata;
  FILE *out = fopen(out_path, "w");
  if (out == NULL) return;
  for (unsigned int i = 0; i <= highest_thread; i++) {
    fprintf(out, "thread %u: %llu\n", i, (unsigned long long)counts[i]);
  }
  fclose(out);
  if (profile_path[0] != '\0') write_profile();
}

static void copy_argument(const char *argument, const char *name, char *to, size_t size) {
  size_t length = strlen(name);
  if (strncmp(argument, name, length) == 0 && strlen(argument + length) < size) {
    strcpy(to, argument + length);
  }
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                               char **argv) {
  (void)info;
  for (int i = 0; i < argc; i++) {
    copy_argument(argv[i], "out=", out_path, sizeof(out_path));
    copy_argument(argv[i], "profile=", profile_path, sizeof(profile_path));
  }
  if (out_path[0] == '\0') {
    fprintf(stderr, "insn count plugin: no out=PATH argument\n");
    return -1;
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, block_translated);
  qemu_plugin_register_atexit_cb(id, program_ended, NULL);
  return 0;
}
