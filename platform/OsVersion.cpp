#include "platform/OsVersion.h"

#include <sys/utsname.h>

uint32_t architectureBit(std::string_view machine) {
    return (machine == "x86_64" || machine == "aarch64") ? kOs64Bit : kOs32Bit;
}

uint32_t hostOsVersionMask() {
    utsname name{};
    if (uname(&name) != 0) return 0;
    return kOsLinux | architectureBit(name.machine);
}
