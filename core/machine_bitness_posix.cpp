#include <sys/utsname.h>

#include <cstring>

#include "core/machine_bitness.h"

bool IsRunningOnWow64() {
    struct utsname names {};
    if (uname(&names) != 0) {
        return false;
    }
    // 64-bit machine names carry "64" (x86_64, aarch64, ppc64le, riscv64); s390x is the one that
    // does not.
    return std::strstr(names.machine, "64") != nullptr || std::strcmp(names.machine, "s390x") == 0;
}
