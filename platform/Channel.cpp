#include "platform/Channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/PrivateFolder.h"

namespace {

// A sender has this long to deliver its text once connected; a sender that stalls must
// not stop the receiver from serving the others.
constexpr int kReadTimeoutMs = 2000;
// Instructions are short; anything longer is not one of ours.
constexpr std::size_t kMaxText = 64 * 1024;
constexpr char kAck = 1;

// Channel names may come from a command line; keep them inside the folder.
std::string fileNameFor(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) out += (c == '/' || c == '\0') ? '_' : c;
    if (out.empty() || out == "." || out == "..") out.insert(0, "_");
    return out;
}

// A socket path that does not fit sockaddr_un (a long runtime folder) is reached under an
// abstract name made from the whole path instead: the same path always gives the same name,
// and different folders (other users, other sandboxes) give different ones.
std::string abstractNameFor(const std::string& path) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "tessaroll-%u-%016llx", static_cast<unsigned>(::getuid()),
                  static_cast<unsigned long long>(hash));
    return name;
}

bool isAbstract(const std::string& path) {
    return path.size() >= sizeof(sockaddr_un::sun_path);
}

socklen_t fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty()) return 0;
    if (!isAbstract(path)) {
        std::memcpy(addr.sun_path, path.data(), path.size());
        return sizeof addr;
    }
    std::string name = abstractNameFor(path);
    std::memcpy(addr.sun_path + 1, name.data(), name.size());  // sun_path[0] stays 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// The user at the other end of a connection; nothing when the kernel cannot tell.
std::optional<uid_t> peerUser(int fd) {
    ucred cred{};
    socklen_t credLen = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0) return std::nullopt;
    return cred.uid;
}

// Anyone may bind an abstract name: only a receiver of this user is one of ours.
bool peerIsThisUser(int fd) {
    return peerUser(fd) == ::getuid();
}

// A connection that does not finish at once (a receiver whose queue is full: stopped, or
// hung) is given up after the bound, like a receiver that never answers.
bool connectWithin(int fd, const sockaddr_un& addr, socklen_t size, int milliseconds) {
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), size);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno != EAGAIN && errno != EINPROGRESS) return false;
    // A Unix socket with a full queue takes no connection to finish later: try again.
    for (int waited = 0; waited < milliseconds; waited += 20) {
        ::poll(nullptr, 0, 20);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), size) == 0 || errno == EISCONN)
            return true;
        if (errno != EAGAIN && errno != EINPROGRESS && errno != EALREADY && errno != EINTR)
            return false;
    }
    return false;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string channelFolder() {
    return userObjectSubfolder("tessaroll-channels");
}

std::string channelSocketPath(std::string_view name) {
    std::string folder = channelFolder();
    if (folder.empty()) return {};
    return folder + "/" + fileNameFor(name) + ".sock";
}

ChannelConnection::~ChannelConnection() {
    if (fd_ >= 0) ::close(fd_);
}

ChannelConnection& ChannelConnection::operator=(ChannelConnection&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool ChannelConnection::send(std::string_view text) {
    if (fd_ < 0) return false;
    std::string payload(text);
    payload.push_back('\0');
    bool handled = writeAll(fd_, payload.data(), payload.size());
    ::shutdown(fd_, SHUT_WR);
    if (handled) {
        // The receiver answers after its handler; a receiver that ends its process in the
        // handler closes the connection instead. Both mean the handler has run. One that
        // does neither within the bound (stopped, hung) has not.
        char ack = 0;
        ssize_t n;
        do {
            n = ::recv(fd_, &ack, 1, 0);
        } while (n < 0 && errno == EINTR);
        handled = n >= 0;
    }
    ::close(fd_);
    fd_ = -1;
    return handled;
}

std::optional<ChannelConnection> findChannel(std::string_view name) {
    sockaddr_un addr{};
    const std::string path = channelSocketPath(name);
    socklen_t size = fillAddress(path, addr);
    if (size == 0) return std::nullopt;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    const int waitMs = static_cast<int>(kAnswerWait.count());
    const timeval bound{waitMs / 1000, (waitMs % 1000) * 1000};
    // Connected, the socket blocks again, but no write or read waits past the bound.
    bool usable = connectWithin(fd, addr, size, waitMs) &&
                  (!isAbstract(path) || peerIsThisUser(fd)) &&
                  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 &&
                  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == 0 &&
                  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0;
    if (!usable) {
        ::close(fd);
        return std::nullopt;
    }
    return ChannelConnection(fd);
}

std::unique_ptr<ChannelReceiver> ChannelReceiver::open(std::string_view name, OpenError* error) {
    auto fail = [&](OpenError why) {
        if (error) *error = why;
        return std::unique_ptr<ChannelReceiver>();
    };
    std::string path = channelSocketPath(name);
    sockaddr_un addr{};
    socklen_t size = fillAddress(path, addr);
    if (size == 0) return fail(OpenError::Failed);

    std::unique_ptr<ChannelReceiver> receiver(new ChannelReceiver());
    receiver->name_ = std::string(name);
    // The lock is held for the receiver's life. It decides who owns the channel, so two
    // receivers starting at once cannot remove each other's socket.
    std::string lockPath = path.substr(0, path.size() - 5) + ".lock";
    receiver->lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (receiver->lockFd_ < 0) return fail(OpenError::Failed);
    if (::flock(receiver->lockFd_, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? OpenError::AlreadyExists : OpenError::Failed);
    }
    // A socket that still answers belongs to a receiver outside our locking; leave it.
    if (findChannel(name)) return fail(OpenError::AlreadyExists);
    if (!isAbstract(path)) ::unlink(path.c_str());  // left behind by a receiver that died

    receiver->listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (receiver->listenFd_ < 0) return fail(OpenError::Failed);
    if (::bind(receiver->listenFd_, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
        ::listen(receiver->listenFd_, 16) != 0) {
        return fail(OpenError::Failed);
    }
    if (!isAbstract(path)) receiver->socketPath_ = path;  // an abstract name goes with its socket
    return receiver;
}

ChannelReceiver::~ChannelReceiver() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool ChannelReceiver::serveOne(const std::function<void(const std::string&)>& handler,
                               const std::function<void(uid_t)>& onStranger) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;

    // Only the user's own programs may steer this one.
    const std::optional<uid_t> peer = peerUser(fd);
    const bool trusted = peer == ::getuid();
    if (!trusted && onStranger) onStranger(peer.value_or(static_cast<uid_t>(-1)));

    std::string text;
    bool complete = false;
    while (trusted && !complete && text.size() < kMaxText) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kReadTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) complete = !text.empty();  // a sender that closed without the zero
        if (n <= 0) break;
        const char* end =
            static_cast<const char*>(std::memchr(buffer, '\0', static_cast<std::size_t>(n)));
        text.append(buffer,
                    end ? static_cast<std::size_t>(end - buffer) : static_cast<std::size_t>(n));
        complete = end != nullptr;
    }
    if (complete) handler(text);
    writeAll(fd, &kAck, 1);
    ::close(fd);
    return true;
}
