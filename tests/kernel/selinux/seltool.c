#define _GNU_SOURCE
/* Test-guest helper: the guest's busybox and toybox carry no SELinux
 * tools. label: set a file's context; exec: run a program in a context,
 * optionally as another uid and with another argv[0]. */
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

static int usage(void) {
    fputs("usage: seltool label CONTEXT PATH...\n"
          "       seltool exec CONTEXT UID ARGV0 PROGRAM [ARG...]\n"
          "       seltool con [PID]\n", stderr);
    return 2;
}

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "label") == 0) {
        int rc = 0;
        for (int i = 3; i < argc; ++i) {
            if (lsetxattr(argv[i], "security.selinux", argv[2], strlen(argv[2]) + 1, 0) != 0) {
                fprintf(stderr, "seltool: label %s: %s\n", argv[i], strerror(errno));
                rc = 1;
            }
        }
        return rc;
    }
    if (argc >= 6 && strcmp(argv[1], "exec") == 0) {
        int fd = open("/proc/self/attr/exec", O_WRONLY | O_CLOEXEC);
        if (fd < 0 || write(fd, argv[2], strlen(argv[2])) < 0) {
            fprintf(stderr, "seltool: exec context %s: %s\n", argv[2], strerror(errno));
            return 1;
        }
        close(fd);
        uid_t uid = (uid_t)atoi(argv[3]);
        if (uid != 0 && (setgroups(0, NULL) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)) {
            fprintf(stderr, "seltool: uid %u: %s\n", (unsigned)uid, strerror(errno));
            return 1;
        }
        char* prog = argv[5];
        argv[5] = argv[4];
        execv(prog, argv + 5);
        fprintf(stderr, "seltool: exec %s: %s\n", prog, strerror(errno));
        return 127;
    }
    if (argc >= 2 && strcmp(argv[1], "con") == 0) {
        char path[64], buf[256];
        snprintf(path, sizeof path, "/proc/%s/attr/current", argc > 2 ? argv[2] : "self");
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
        if (n < 0) return 1;
        buf[n] = 0;
        printf("%s\n", buf);
        return 0;
    }
    return usage();
}
