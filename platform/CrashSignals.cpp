#include "platform/CrashSignals.h"

#include "platform/Privacy.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
// A filter that hangs (a lock held by the crashed thread) must not keep a crashed process
// alive: after this many seconds SIGALRM ends it.
constexpr unsigned kFilterTimeLimitSeconds = 30;
constexpr std::size_t kAltStackSize = 64 * 1024;

std::atomic<CrashFilter> installedFilter{nullptr};
std::atomic<bool> crashing{false};

// Async-signal-safe writing: no allocation, no stdio.
class Out {
public:
    explicit Out(int fd) : fd_(fd) {}
    ~Out() { flush(); }
    Out& text(const char* s) {
        while (*s) put(*s++);
        return *this;
    }
    Out& dec(long long v) {
        char digits[24];
        int n = 0;
        unsigned long long u =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (v < 0) put('-');
        while (n) put(digits[--n]);
        return *this;
    }
    Out& hex(unsigned long long v) {
        put('0');
        put('x');
        for (int shift = 60; shift >= 0; shift -= 4) put("0123456789abcdef"[(v >> shift) & 0xf]);
        return *this;
    }
    void flush() {
        std::size_t done = 0;
        while (done < used_) {
            ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        used_ = 0;
    }

private:
    void put(char c) {
        if (used_ == sizeof buffer_) flush();
        buffer_[used_++] = c;
    }
    int fd_;
    char buffer_[512];
    std::size_t used_ = 0;
};

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        case SIGTRAP: return "SIGTRAP";
        case SIGSYS: return "SIGSYS";
        default: return "signal";
    }
}

void writeRegisters(Out& out, const void* uc) {
#if defined(__x86_64__)
    const auto* context = static_cast<const ucontext_t*>(uc);
    static const struct {
        const char* name;
        int index;
    } regs[] = {{"rip", REG_RIP}, {"rsp", REG_RSP},   {"rbp", REG_RBP}, {"rax", REG_RAX},
                {"rbx", REG_RBX}, {"rcx", REG_RCX},   {"rdx", REG_RDX}, {"rsi", REG_RSI},
                {"rdi", REG_RDI}, {"r8", REG_R8},     {"r9", REG_R9},   {"r10", REG_R10},
                {"r11", REG_R11}, {"r12", REG_R12},   {"r13", REG_R13}, {"r14", REG_R14},
                {"r15", REG_R15}, {"eflags", REG_EFL}};
    for (const auto& r : regs) {
        out.text("  ")
            .text(r.name)
            .text(" ")
            .hex(static_cast<unsigned long long>(context->uc_mcontext.gregs[r.index]))
            .text("\n");
    }
#elif defined(__aarch64__)
    const auto* context = static_cast<const ucontext_t*>(uc);
    for (int i = 0; i < 31; ++i)
        out.text("  x").dec(i).text(" ").hex(context->uc_mcontext.regs[i]).text("\n");
    out.text("  sp ").hex(context->uc_mcontext.sp).text("\n");
    out.text("  pc ").hex(context->uc_mcontext.pc).text("\n");
#else
    (void)uc;
    out.text("  (not recorded on this architecture)\n");
#endif
}

void copyFile(int to, const char* path) {
    int from = ::open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(from, buffer, sizeof buffer)) > 0) {
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
            if (w <= 0) break;
            done += w;
        }
    }
    ::close(from);
}

void onFatalSignal(int sig, siginfo_t* info, void* uc) {
    int savedErrno = errno;
    // One report per process: a second crash (also one inside the filter) goes straight on
    // to the default action, which SA_RESETHAND has put back already.
    if (!crashing.exchange(true)) {
        ::alarm(kFilterTimeLimitSeconds);
        CrashContext context{sig, info, uc};
        if (CrashFilter filter = installedFilter.load()) filter(context);
        ::alarm(0);
    }
    errno = savedErrno;
    // Raised again now, delivered with the default action as soon as the handler returns;
    // a fault from an instruction also happens again on return.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

bool installCrashSignalHandlers(CrashFilter filter) {
    installedFilter.store(filter);
    // backtrace() loads its unwinder on first use, which allocates: do that now.
    void* frames[4];
    (void)::backtrace(frames, 4);

    static char* altStack = new char[kAltStackSize];
    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = kAltStackSize;
    bool ok = ::sigaltstack(&stack, nullptr) == 0;

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals) ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    return ok;
}

int createCrashReportFile(const char* path) {
    return openOwnFile(path, true);
}

void writeCrashReport(int fd, const CrashContext* context) {
    {
        Out out(fd);
        out.text("Crash report\n");
        if (context) {
            out.text("Signal: ")
                .dec(context->signal)
                .text(" (")
                .text(signalName(context->signal))
                .text(")");
            if (context->info) out.text(", code ").dec(context->info->si_code);
            out.text("\n");
            if (context->info) {
                out.text("Fault address: ")
                    .hex(reinterpret_cast<uintptr_t>(context->info->si_addr))
                    .text("\n");
            }
        } else {
            out.text("Signal: none\n");
        }
        out.text("Process: ").dec(::getpid()).text("\n");
        out.text("Thread: ").dec(static_cast<long long>(::syscall(SYS_gettid))).text("\n");
        if (context && context->ucontext) {
            out.text("Registers:\n");
            writeRegisters(out, context->ucontext);
        }
        out.text("Backtrace:\n");
    }
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    {
        Out out(fd);
        out.text("Memory map:\n");
    }
    copyFile(fd, "/proc/self/maps");
}
