// deny_connect PROGRAM [ARG...]: runs PROGRAM with every connect() failing
// with EACCES, as SELinux refuses a client whose domain may not connectto
// the daemon's. A seccomp filter (inherited by PROGRAM and its children)
// answers the call itself; nothing else changes. The page test's stand-in
// of the manager's bridge runs the page's command through it to show the
// page a control socket that the policy refuses, for real.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: deny_connect PROGRAM [ARG...]\n");
        return 2;
    }
    struct sock_filter filter[] = {
        // Another architecture's calls (x32, a 32-bit personality) pass.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_connect, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        fprintf(stderr, "deny_connect: cannot install the filter: %s\n", strerror(errno));
        return 126;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "deny_connect: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
