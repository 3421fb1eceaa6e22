// Message channels between the programs of one user: a receiver owns a named channel, a
// sender finds it by name and hands it a text, and the send returns only after the
// receiver's handler has run. A channel is a Unix domain socket in the user's runtime
// folder (under an abstract name made from that path when the path is too long for a socket
// address); a lock file beside it marks the receiver as alive.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// How long a sender waits for a receiver to take its text and answer that it has handled it.
inline constexpr std::chrono::milliseconds kAnswerWait{2000};

// The folder that holds the user's channel sockets: "tessaroll-channels" in the folder of
// the user's objects (userObjectFolder), created with mode 0700. Empty when it cannot be had.
std::string channelFolder();
// Socket path of a channel; empty when the folder cannot be had.
std::string channelSocketPath(std::string_view name);

// A connection to a live receiver.
class ChannelConnection {
public:
    explicit ChannelConnection(int fd) : fd_(fd) {}
    ~ChannelConnection();
    ChannelConnection(ChannelConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ChannelConnection& operator=(ChannelConnection&& other) noexcept;
    ChannelConnection(const ChannelConnection&) = delete;
    ChannelConnection& operator=(const ChannelConnection&) = delete;

    // Writes the text with its terminating zero and waits until the receiver has handled
    // it (or has gone away while handling it), at most kAnswerWait. False when the text
    // could not be written or no answer came in time (a stopped or hung receiver). Good
    // for one text: the receiver closes the connection after it.
    bool send(std::string_view text);

private:
    int fd_ = -1;
};

// Finding a channel means connecting to its receiver: nothing when no receiver listens.
std::optional<ChannelConnection> findChannel(std::string_view name);

// The receiving end of a channel. At most one per channel and user.
class ChannelReceiver {
public:
    enum class OpenError { AlreadyExists, Failed };

    // Claims the channel: fails with AlreadyExists when a live receiver owns it; a socket
    // file left behind by a receiver that died is removed.
    static std::unique_ptr<ChannelReceiver> open(std::string_view name, OpenError* error = nullptr);
    ~ChannelReceiver();  // removes the socket file and gives the channel up
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;

    // Listening socket, readable when a sender waits (for poll).
    int fd() const { return listenFd_; }
    const std::string& name() const { return name_; }

    // Takes one waiting sender, reads its text and runs `handler` on it, then acknowledges.
    // A connection that brings no text (a probe, or a sender that gave up) runs nothing,
    // and neither does one of another user, which is told to `onStranger` with its uid.
    // Returns false when no sender was waiting.
    bool serveOne(const std::function<void(const std::string&)>& handler,
                  const std::function<void(uid_t)>& onStranger = {});

private:
    ChannelReceiver() = default;
    std::string name_;
    std::string socketPath_;
    int listenFd_ = -1;
    int lockFd_ = -1;
};
