#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::Sandbox;
using testing_support::waitUntil;

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

void removeGlobal(const std::string& name) {
    shm_unlink(("/tessaroll-mutex.Global." + name.substr(7)).c_str());
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
        ASSERT_EQ(stat(("/dev/shm/tessaroll-mutex.Global." + global.substr(7)).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0666u);

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
        EXPECT_EQ(mutex->wait(0), MutexWait::Abandoned);
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
    shm_unlink(("/tessaroll-mutex.u65534." + local).c_str());
}

}  // namespace
