// Named mutexes the service polls or shares: a folder another user made for the service's
// objects is refused and nothing in it read as an instruction; the log lock every user shares
// cannot freeze requests; and a lock left behind by a killed program is no instruction either.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <functional>
#include <thread>

#include "OtherUser.h"
#include "PrivateMounts.h"
#include "Tessaroll/ServiceFixture.h"
#include "platform/User.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSuicideSignal = "ZEFAGPKITessarollMain.exeTessarollInstruction_Suicide";

std::string ownSignalName() {
    return currentUserName().value_or("") + "_" + kSuicideSignal;
}

// Runs `undo` however the test ends.
class Undo {
public:
    explicit Undo(std::function<void()> undo) : undo_(std::move(undo)) {}
    ~Undo() { undo_(); }
    Undo(const Undo&) = delete;
    Undo& operator=(const Undo&) = delete;

private:
    std::function<void()> undo_;
};

class SharedObjectsTest : public ServiceTest {
protected:
    void SetUp() override {}
    void expectStillServing() {
        std::this_thread::sleep_for(2s);
        ASSERT_TRUE(service->process().running())
            << "the service ended with " << service->process().wait(0ms).value_or(-1) << "\n"
            << service->log();
        HttpsClient client(clientOptions());
        EXPECT_FALSE(openSession(client).empty());
    }
};

// Without a runtime folder the per-user objects live in /dev/shm, where any user can make
// the service's folder first, here with the lock-mode Suicide inside, made the way the
// programs make it and held by a live process of the other user: the folder is refused
// with a line that names its owner, and the service uses a private place instead.
TEST_F(SharedObjectsTest, AnotherUsersFolderForTheServicesObjectsIsRefusedAndNoInstruction) {
    REQUIRE_OTHER_USER(other);
    const std::string why = enterPrivateSharedFolders(false);
    ASSERT_TRUE(why.empty()) << why;
    const std::string folder = "/dev/shm/tessaroll-u" + std::to_string(geteuid());
    const std::string object = folder + "/tessaroll-mutexes/" + ownSignalName();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(other->gid()) != 0 || setuid(other->uid()) != 0)
            _exit(2);
        struct Region {
            uint32_t magic;
            uint32_t reserved;
            pthread_mutex_t mutex;
        };
        umask(0);
        if (mkdir(folder.c_str(), 0777) != 0 ||
            mkdir((folder + "/tessaroll-mutexes").c_str(), 0777))
            _exit(3);
        int fd = open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(Region)) != 0) _exit(3);
        auto* region = static_cast<Region*>(
            mmap(nullptr, sizeof(Region), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (region == MAP_FAILED) _exit(4);
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&region->mutex, &attributes);
        region->magic = 0x544D5458;
        pthread_mutex_lock(&region->mutex);
        (void)!write(ready[1], "h", 1);
        for (;;) pause();
    }
    Undo undo([&] {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    });
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1) << "the other user could not make the object";
    close(ready[0]);

    // A file where the runtime folder should be: no usable folder, so the /dev/shm names.
    writeFile(sandbox.root() / "no-runtime-folder", "");
    ServiceOptions options;
    options.environment["XDG_RUNTIME_DIR"] = (sandbox.root() / "no-runtime-folder").string();
    startService(options);
    expectStillServing();
    const std::string refusal =
        "Refuse folder: " + folder + " belongs to uid " + std::to_string(other->uid()) + " (";
    EXPECT_NE(service->log().find(refusal), std::string::npos) << service->log();
    EXPECT_EQ(service->log().find("Lock Mode: Recivie"), std::string::npos) << service->log();
}

// Every user's programs share the log lock; holding it for good costs the service one
// short wait, not its requests.
TEST_F(SharedObjectsTest, AHeldSharedLogLockDoesNotFreezeLoggedRequests) {
    const OtherUser* other = OtherUser::get();
    std::vector<std::string> args{"Global\\VZLog", "hold"};
    Undo undo([] { unlink("/dev/shm/tessaroll-lock.Global.VZLog"); });
    auto holder =
        other ? other->run(MUTEX_HOLDER, args) : std::make_unique<ChildProcess>(MUTEX_HOLDER, args);
    ASSERT_TRUE(waitUntil([&] { return holder->output().find("held") != std::string::npos; }))
        << holder->errors();

    startService();
    HttpsClient client(clientOptions());
    const auto start = std::chrono::steady_clock::now();
    const std::string session = openSession(client);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(session.empty());
    EXPECT_LT(took, 3s) << "a logged request waited for the holder";
    EXPECT_NE(service->log().find("Copied adapter: Active"), std::string::npos)
        << "the request was not logged";
}

// A program killed while it held a lock-mode mutex leaves it abandoned: the next service
// starts cleanly, and a live holder is still the instruction.
TEST_F(SharedObjectsTest, ALockLeftByAKilledHolderIsNoInstructionALiveHolderIs) {
    {
        ChildProcess killed(MUTEX_HOLDER, {ownSignalName(), "hold"});
        ASSERT_TRUE(waitUntil([&] { return killed.output().find("held") != std::string::npos; }))
            << killed.errors();
        killed.kill();
        ASSERT_TRUE(killed.wait(5s).has_value());
    }
    startService();
    expectStillServing();
    EXPECT_EQ(service->log().find("Lock Mode: Recivie"), std::string::npos) << service->log();

    ChildProcess sender(MUTEX_HOLDER, {ownSignalName(), "hold"});
    ASSERT_TRUE(waitUntil([&] { return sender.output().find("held") != std::string::npos; }))
        << sender.errors();
    EXPECT_TRUE(service->process().wait(5s).has_value()) << "a live holder did not end the service";
    EXPECT_NE(service->log().find("IPC Message Lock Mode: Recivie Suicide message"),
              std::string::npos);
}

}  // namespace
