#include "platform/Random.h"

#include <sys/random.h>
#include <cerrno>

bool fillRandomBytes(std::span<unsigned char> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        ssize_t got = getrandom(buffer.data() + done, buffer.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}
