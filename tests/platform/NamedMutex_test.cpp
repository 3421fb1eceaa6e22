#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/SharedLockPause.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::Sandbox;
using testing_support::waitUntil;
using testing_support::writeFile;

std::ostream& operator<<(std::ostream& out, MutexWait result) {
    const char* names[] = {"Obtained", "Abandoned", "TimedOut", "Failed"};
    return out << names[static_cast<int>(result)];
}

namespace {

const char* const kHolder =
    TESSAROLL_BINARY_DIR "/tests/doubles/MutexHolder/tessaroll_mutex_holder";

// What a wait on the mutex gives on a thread of its own.
MutexWait waitOnOtherThread(const std::string& name, uint32_t milliseconds) {
    return std::async(std::launch::async,
                      [&] {
                          auto mutex = NamedMutex::create(name);
                          if (!mutex) return MutexWait::Failed;
                          MutexWait result = mutex->wait(milliseconds);
                          if (result == MutexWait::Obtained || result == MutexWait::Abandoned)
                              mutex->release();
                          return result;
                      })
        .get();
}

// Holds the mutex on its own thread until let go.
class HoldingThread {
public:
    explicit HoldingThread(const std::string& name) {
        std::promise<void> ready;
        thread_ = std::thread([this, name, &ready] {
            auto mutex = NamedMutex::create(name);
            mutex->wait(kInfiniteWait);
            ready.set_value();
            letGo_.get_future().wait();
            mutex->release();
        });
        ready.get_future().wait();
    }
    ~HoldingThread() {
        letGo_.set_value();
        thread_.join();
    }

private:
    std::promise<void> letGo_;
    std::thread thread_;
};

std::string globalName(const char* what) {
    return "Global\\tessaroll-test-" + std::to_string(getpid()) + "-" + what;
}

std::string globalFile(const std::string& name) {
    return "/dev/shm/tessaroll-lock.Global." + name.substr(7);
}

void removeGlobal(const std::string& name) {
    unlink(globalFile(name).c_str());
}

TEST(NamedMutex, RecursiveForTheOwnerThreadBusyForOthers) {
    Sandbox sandbox;
    auto first = NamedMutex::create("Recursive");
    auto second = NamedMutex::create("Recursive");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->wait(0), MutexWait::Obtained);
    EXPECT_EQ(first->wait(0), MutexWait::Obtained);
    EXPECT_EQ(second->wait(kInfiniteWait), MutexWait::Obtained);  // another handle, same thread

    EXPECT_EQ(waitOnOtherThread("Recursive", 0), MutexWait::TimedOut);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitOnOtherThread("Recursive", 150), MutexWait::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);

    EXPECT_TRUE(first->release());
    EXPECT_TRUE(first->release());
    EXPECT_EQ(waitOnOtherThread("Recursive", 0), MutexWait::TimedOut);  // one level left
    EXPECT_TRUE(second->release());
    EXPECT_FALSE(second->release());
    EXPECT_EQ(waitOnOtherThread("Recursive", 0), MutexWait::Obtained);
}

TEST(NamedMutex, TimedWaitObtainsItWhenTheHolderLetsGo) {
    Sandbox sandbox;
    std::promise<void> held;
    std::thread holder([&] {
        auto mutex = NamedMutex::create("Timed");
        mutex->wait(0);
        held.set_value();
        std::this_thread::sleep_for(100ms);
        mutex->release();
    });
    held.get_future().wait();
    auto mutex = NamedMutex::create("Timed");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mutex->wait(5000), MutexWait::Obtained);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    mutex->release();
    holder.join();
}

TEST(NamedMutex, AThreadEndingWhileItHoldsTheMutexAbandonsIt) {
    Sandbox sandbox;
    auto handle = NamedMutex::create("Abandoned");
    std::thread([&] { EXPECT_EQ(handle->wait(0), MutexWait::Obtained); }).join();

    auto mutex = NamedMutex::create("Abandoned");
    EXPECT_EQ(mutex->wait(0), MutexWait::Abandoned);  // and now owned by this thread
    EXPECT_EQ(waitOnOtherThread("Abandoned", 0), MutexWait::TimedOut);
    EXPECT_TRUE(mutex->release());
    EXPECT_EQ(mutex->wait(0), MutexWait::Obtained);  // reported once only
    EXPECT_TRUE(mutex->release());
}

TEST(NamedMutex, DroppingTheHandleOnTheOwnerThreadReleasesIt) {
    Sandbox sandbox;
    auto mutex = NamedMutex::create("Dropped");
    ASSERT_EQ(mutex->wait(0), MutexWait::Obtained);
    ASSERT_EQ(mutex->wait(0), MutexWait::Obtained);
    mutex.reset();
    EXPECT_EQ(waitOnOtherThread("Dropped", 0), MutexWait::Obtained);
}

TEST(NamedMutex, PerUserNamesBelongToTheRuntimeFolderGlobalNamesToEveryone) {
    const std::string global = globalName("scope");
    std::string userFile;
    {
        Sandbox first;
        HoldingThread user("Scoped");
        HoldingThread everyone(global);
        userFile = (first.runtimeDir() / "tessaroll-mutexes/Scoped").string();
        struct stat info {};
        ASSERT_EQ(stat(userFile.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ASSERT_EQ(stat(globalFile(global).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u);  // others only open it to lock it

        Sandbox second;  // another login, as far as per-user names go
        EXPECT_EQ(waitOnOtherThread("Scoped", 0), MutexWait::Obtained);
        EXPECT_EQ(waitOnOtherThread("Local\\Scoped", 0), MutexWait::Obtained);
        EXPECT_EQ(waitOnOtherThread(global, 0), MutexWait::TimedOut);
    }
    removeGlobal(global);
}

// A per-user object is only used as it was made: ours and 0600. One opened up since may
// be held by anybody, so it is refused, with the reason.
TEST(NamedMutex, APerUserObjectOpenedUpIsRefused) {
    Sandbox sandbox;
    ASSERT_TRUE(NamedMutex::create("OpenedUp"));
    const fs::path file = sandbox.runtimeDir() / "tessaroll-mutexes/OpenedUp";
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    releaseNamedMutexMappings();  // the next handle opens the object again
    for (bool existing : {false, true}) {
        std::string whyNot;
        EXPECT_FALSE(existing ? NamedMutex::openExisting("OpenedUp", &whyNot)
                              : NamedMutex::create("OpenedUp", &whyNot));
        EXPECT_NE(whyNot.find("mode 666"), std::string::npos) << whyNot;
    }
    std::string whyNot;
    EXPECT_FALSE(NamedMutex::openExisting("NeverMade", &whyNot));
    EXPECT_EQ(whyNot, "");  // simply not there
}

TEST(NamedMutex, AnyNameIsItsOwnMutex) {
    Sandbox sandbox;
    const std::string longName(600, 'x');
    const std::string names[] = {"a\\b", "a/b",    "a%5Cb",        "a_b",    "A_B",
                                 "",     longName, longName + "y", "../../x"};
    for (const auto& held : names) {
        HoldingThread holder(held);
        for (const auto& other : names) {
            MutexWait expected = other == held ? MutexWait::TimedOut : MutexWait::Obtained;
            EXPECT_EQ(waitOnOtherThread(other, 0), expected)
                << "held '" << held.substr(0, 20) << "', tried '" << other.substr(0, 20) << "'";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(sandbox.root() / "x"));
}

TEST(NamedMutex, OpenExistingFindsOnlyWhatWasCreated) {
    Sandbox sandbox;
    EXPECT_FALSE(NamedMutex::openExisting("NotThere"));
    HoldingThread holder("There");
    auto opened = NamedMutex::openExisting("There");
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->wait(0), MutexWait::TimedOut);
}

TEST(NamedMutex, AnotherProcessHoldsItThenDiesHoldingIt) {
    for (const char* ending : {"killed", "exit"}) {
        SCOPED_TRACE(ending);
        Sandbox sandbox;
        const std::string name = std::string("Process-") + ending;
        ChildProcess child(kHolder, {name, std::string(ending) == "exit" ? "exit" : "hold"});
        ASSERT_TRUE(waitUntil([&] { return child.output().find("held") != std::string::npos; }))
            << child.errors();

        auto mutex = NamedMutex::create(name);
        if (std::string(ending) == "killed") {
            EXPECT_EQ(mutex->wait(0), MutexWait::TimedOut);
            EXPECT_EQ(mutex->wait(100), MutexWait::TimedOut);
            child.kill();
        }
        ASSERT_TRUE(child.wait(10s));
        EXPECT_EQ(mutex->wait(0), MutexWait::Abandoned);
        EXPECT_TRUE(mutex->release());
        EXPECT_EQ(mutex->wait(0), MutexWait::Obtained);
        EXPECT_TRUE(mutex->release());
    }
}

TEST(NamedMutex, AGlobalMutexIsSharedWithAnotherProcess) {
    const std::string name = globalName("process");
    {
        ChildProcess child(kHolder, {name, "hold"});
        ASSERT_TRUE(waitUntil([&] { return child.output().find("held") != std::string::npos; }))
            << child.errors();
        Sandbox sandbox;  // per-user folders do not matter to it
        auto mutex = NamedMutex::create(name);
        EXPECT_EQ(mutex->wait(0), MutexWait::TimedOut);
        child.kill();
        ASSERT_TRUE(child.wait(10s));
        // The holder's lock went with its process; a shared lock reports no abandonment.
        EXPECT_EQ(mutex->wait(0), MutexWait::Obtained);
        mutex->release();
    }
    removeGlobal(name);
}

// Needs root to start the peer as another user; skipped otherwise.
TEST(NamedMutex, GlobalNamesCrossUsersPerUserNamesDoNot) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv";
    Sandbox sandbox;  // its runtime folder is ours alone, so the other user falls back to /dev/shm
    const std::string global = globalName("users");
    auto mine = NamedMutex::create(global);  // made by this user: the other one must still get in
    ASSERT_TRUE(mine);
    const std::string local = "UsersApart-" + std::to_string(getpid());
    for (const std::string& name : {global, local}) {
        ChildProcess child("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                kHolder, name, "hold"});
        ASSERT_TRUE(waitUntil([&] { return child.output().find("held") != std::string::npos; }))
            << child.errors();
        auto mutex = NamedMutex::create(name);
        MutexWait result = mutex->wait(0);
        EXPECT_EQ(result, name == global ? MutexWait::TimedOut : MutexWait::Obtained) << name;
        if (result == MutexWait::Obtained) mutex->release();
        child.kill();
        child.wait(10s);
    }
    removeGlobal(global);
    unlink(("/dev/shm/tessaroll-u65534/tessaroll-mutexes/" + local).c_str());
}

}  // namespace

namespace {

// The descriptors and mappings this process has of a file.
struct Uses {
    int descriptors = 0;
    int writable = 0;  // descriptors open for writing
    int mappings = 0;
};

Uses usesOf(const std::string& path) {
    Uses uses;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) != path) continue;
        ++uses.descriptors;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        for (std::string line; std::getline(info, line);) {
            if (line.rfind("flags:", 0) == 0 && (std::stoi(line.substr(6), nullptr, 8) & O_ACCMODE))
                ++uses.writable;
        }
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find(path) != std::string::npos) ++uses.mappings;
    return uses;
}

}  // namespace

// Another user can write nothing of a shared lock into this process: its file is only open
// for reading, never mapped.
TEST(NamedMutex, ASharedLockIsOnlyReadNeverMapped) {
    const std::string name = globalName("readonly");
    {
        auto mutex = NamedMutex::create(name);
        ASSERT_TRUE(mutex);
        ASSERT_EQ(mutex->wait(1000), MutexWait::Obtained);
        const Uses uses = usesOf(globalFile(name));
        EXPECT_EQ(uses.descriptors, 1);
        EXPECT_EQ(uses.writable, 0);
        EXPECT_EQ(uses.mappings, 0);
        EXPECT_TRUE(mutex->release());
    }
    removeGlobal(name);
}

// What somebody else put under a shared name is refused at once with the reason, never
// opened through, never waited on (a pipe would block an ordinary open).
TEST(NamedMutex, WhatIsPlantedUnderASharedNameIsRefused) {
    Sandbox sandbox;
    const fs::path target = sandbox.root() / "target";
    writeFile(target, "");
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
        const char* reason;
    };
    const Case cases[] = {
        {"pipe", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); },
         "not a regular file"},
        {"folder", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0777), 0); },
         "not a regular file"},
        {"link", [&](const std::string& p) { ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0); },
         "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        const std::string name = globalName(c.what);
        const std::string file = globalFile(name);
        c.plant(file);
        std::string whyNot;
        EXPECT_FALSE(NamedMutex::create(name, &whyNot)) << c.what;
        EXPECT_EQ(whyNot, file + ": " + c.reason) << c.what;
        fs::remove(file);
    }
}

// A holder that outlasts a wait costs the process that one wait: for a while the lock is only
// tried, by every handle, and a lock let go meanwhile is still taken.
TEST(NamedMutex, ASharedLockThatRanOutIsOnlyTriedForAWhile) {
    const std::string name = globalName("pause");
    {
        ChildProcess child(kHolder, {name, "hold"});
        ASSERT_TRUE(waitUntil([&] { return child.output().find("held") != std::string::npos; }))
            << child.errors();
        const std::string key = globalFile(name);
        auto mutex = NamedMutex::create(name);
        ASSERT_TRUE(mutex);
        EXPECT_EQ(mutex->wait(100), MutexWait::TimedOut);
        EXPECT_EQ(sharedLockWaits(key), 1u);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(waitOnOtherThread(name, 60'000), MutexWait::TimedOut);
            EXPECT_EQ(mutex->wait(60'000), MutexWait::TimedOut);
        }
        EXPECT_EQ(sharedLockWaits(key), 1u) << "a wait during the pause blocked";

        child.kill();
        ASSERT_TRUE(child.wait(10s));
        EXPECT_EQ(mutex->wait(60'000), MutexWait::Obtained);
        EXPECT_EQ(sharedLockWaits(key), 1u);
        EXPECT_TRUE(mutex->release());
    }
    removeGlobal(name);
}

// Threads of one process take turns at a shared lock: recursive for the owner, busy for the
// others, and a thread that waits without a limit gets it once the owner lets go.
TEST(NamedMutex, ThreadsTakeTurnsAtASharedLock) {
    const std::string name = globalName("turns");
    {
        auto mutex = NamedMutex::create(name);
        ASSERT_TRUE(mutex);
        ASSERT_EQ(mutex->wait(0), MutexWait::Obtained);
        EXPECT_EQ(mutex->wait(0), MutexWait::Obtained);
        EXPECT_EQ(waitOnOtherThread(name, 0), MutexWait::TimedOut);
        auto waiter =
            std::async(std::launch::async, [&] { return waitOnOtherThread(name, kInfiniteWait); });
        EXPECT_TRUE(mutex->release());
        EXPECT_TRUE(mutex->release());
        EXPECT_FALSE(mutex->release());  // no longer the owner
        EXPECT_EQ(waiter.get(), MutexWait::Obtained);
    }
    removeGlobal(name);
}
