#include "child.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace blackbox {
namespace {

// The result of a system call that returns -1 and sets errno on failure.
int sys(long result, std::string const& what)
{
    if (result < 0) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
    return static_cast<int>(result);
}

void close_fd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

// The child's input and output are files in memory: nothing has to be pumped
// while it runs, and the test stays small however long they are.
int memory_file()
{
    return sys(::memfd_create("blackbox", MFD_CLOEXEC), "memfd_create");
}

std::string contents(int memory_file)
{
    // Its end is where the child's writes have reached, which moving the
    // shared offset there does not change.
    std::string bytes(static_cast<std::size_t>(sys(::lseek(memory_file, 0, SEEK_END), "lseek")),
                      '\0');
    sys(::pread(memory_file, bytes.data(), bytes.size(), 0), "pread");
    return bytes;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

Session::Session(Launch const& launch, int input) : out_(memory_file()), err_(memory_file())
{
    std::array<int, 2> in{input, -1};
    std::array<int, 2> out{-1, out_};
    if (input < 0) {
        sys(::pipe2(in.data(), O_CLOEXEC), "pipe2");
        in_ = in[1];
    }
    if (launch.stdout_to == Stdout::reader_gone) {
        sys(::pipe2(out.data(), O_CLOEXEC), "pipe2");
        close_fd(out[0]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (launch.stdout_to == Stdout::closed) {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    } else if (launch.stdout_to == Stdout::dev_full) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err_, STDERR_FILENO);
    // A write to a child that has gone must not end the test; the child
    // gets the default disposition back.
    std::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // The test's environment, with each of launch.env added or put in place.
    auto const name = [](std::string_view entry) {
        return entry.substr(0, entry.find('='));
    };
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        auto const replaced = [&](std::string const& e) {
            return name(e) == name(*entry);
        };
        if (std::none_of(launch.env.begin(), launch.env.end(), replaced)) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    std::vector<std::string> args{launch.program};
    args.insert(args.end(), launch.args.begin(), launch.args.end());

    int const error = posix_spawn(&pid_, launch.program.c_str(), &actions, &attributes,
                                  pointers_to(args).data(), pointers_to(env).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close_fd(in[0]);
    if (out[1] != out_) {
        close_fd(out[1]);
    }
    errno = error;
    sys(error == 0 ? 0 : -1, "posix_spawn " + launch.program);
    // Debian 12's <sys/pidfd.h> (glibc 2.36) declares pidfd_open without extern "C".
    exited_ = sys(::syscall(SYS_pidfd_open, pid_, 0), "pidfd_open");
}

Session::~Session()
{
    for (int* fd : {&in_, &out_, &err_, &exited_}) {
        close_fd(*fd);
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Session::send(std::string_view bytes)
{
    if (in_ >= 0 && ::write(in_, bytes.data(), bytes.size()) < 0) {
        close_fd(in_); // the child no longer reads
    }
}

std::string const& Session::await_output(std::size_t count, std::chrono::milliseconds limit)
{
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while ((outcome_.out = contents(out_)).size() < count && !ended_within({}) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    outcome_.out = contents(out_);
    return outcome_.out;
}

bool Session::ended_within(std::chrono::milliseconds limit)
{
    pollfd ended{exited_, POLLIN, 0};
    return ::poll(&ended, 1, static_cast<int>(limit.count())) > 0;
}

Outcome Session::finish()
{
    close_fd(in_);
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0) {
        sys(errno == EINTR ? 0 : -1, "wait4");
    }
    pid_ = -1;
    outcome_.peak_rss_kib = usage.ru_maxrss;
    outcome_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome_.out = contents(out_);
    outcome_.err = contents(err_);
    return outcome_;
}

Outcome run(Launch const& launch, std::string_view input)
{
    return run(launch, std::vector<Piece>{{input}});
}

Outcome run(Launch const& launch, std::vector<Piece> const& input)
{
    int const in = memory_file();
    for (auto const& piece : input) {
        for (int i = 0; i < piece.times; ++i) {
            sys(::write(in, piece.bytes.data(), piece.bytes.size()), "write");
        }
    }
    sys(::lseek(in, 0, SEEK_SET), "lseek");
    return Session(launch, in).finish(); // which closes `in` once the child has it
}

std::string program_path(char const* variable, char const* built)
{
    char const* chosen = std::getenv(variable);
    return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

std::string shown(std::string_view bytes)
{
    std::string text = "\"";
    for (char const byte : bytes) {
        auto const c = static_cast<unsigned char>(byte);
        std::array<char, 5> escaped{};
        char const* format = c == '\n'               ? "\\n"
                             : c == '"' || c == '\\' ? "\\%c"
                             : c < 0x20 || c >= 0x7f ? "\\x%02x"
                                                     : "%c";
        std::snprintf(escaped.data(), escaped.size(), format, c);
        text += escaped.data();
    }
    return text + "\"";
}

} // namespace blackbox
