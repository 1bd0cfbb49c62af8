#include "child.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <span>
#include <spawn.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace blackbox {
namespace {

// The result of a system call that returns -1 and sets errno on failure, in
// the call's own type: an offset or a size may not fit an int.
template <typename Result> Result sys(Result result, std::string const& what)
{
    if (result < 0) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
    return result;
}

// Whether any of `fds` is ready within `limit`. The test installs no signal
// handler, so no signal cuts the wait short.
bool ready_within(std::span<pollfd> fds, std::chrono::milliseconds limit)
{
    return sys(::poll(fds.data(), fds.size(), static_cast<int>(limit.count())), "poll") > 0;
}

// The child's output goes to files in memory: nothing has to be drained while
// it runs, and the test stays small however much it writes.
Fd memory_file()
{
    return Fd(sys(::memfd_create("blackbox", MFD_CLOEXEC), "memfd_create"));
}

std::string contents(Fd const& memory_file)
{
    // Its end is where the child's writes have reached, which moving the
    // shared offset there does not change.
    std::string bytes(
        static_cast<std::size_t>(sys(::lseek(memory_file.get(), 0, SEEK_END), "lseek")), '\0');
    bytes.resize(static_cast<std::size_t>(
        sys(::pread(memory_file.get(), bytes.data(), bytes.size(), 0), "pread")));
    return bytes;
}

// A pipe's two ends: [0] to read, [1] to write.
std::array<Fd, 2> make_pipe()
{
    std::array<int, 2> ends{};
    sys(::pipe2(ends.data(), O_CLOEXEC), "pipe2");
    return {Fd(ends[0]), Fd(ends[1])};
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

void Fd::reset(int fd)
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

Session::Child::~Child()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

Session::Session(Launch const& launch) : out_(memory_file()), err_(memory_file())
{
    auto [input, writer] = make_pipe();
    in_ = std::move(writer);
    // So that send() can give up on a child that stops reading; the child's
    // own end stays blocking.
    sys(::fcntl(in_.get(), F_SETFL, O_NONBLOCK), "fcntl");
    Fd reader_gone; // the writing end of a pipe whose reader is closed already
    if (launch.stdout_to == Stdout::reader_gone) {
        reader_gone = std::move(make_pipe()[1]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.get(), STDIN_FILENO);
    if (launch.stdout_to == Stdout::closed) {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    } else if (launch.stdout_to == Stdout::dev_full) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
    } else {
        int const out = reader_gone.get() >= 0 ? reader_gone.get() : out_.get();
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err_.get(), STDERR_FILENO);
    // A write to a child that has gone must not end the test; the child
    // gets the default disposition back.
    static auto const ignored [[maybe_unused]] = std::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // launch.env, then whatever of the test's environment it does not replace.
    std::vector<std::string> env = launch.env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view const name(*entry, std::strcspn(*entry, "=") + 1);
        if (std::none_of(launch.env.begin(), launch.env.end(),
                         [&](std::string const& e) { return e.starts_with(name); })) {
            env.emplace_back(*entry);
        }
    }
    std::vector<std::string> args{launch.program};
    args.insert(args.end(), launch.args.begin(), launch.args.end());

    pid_t pid = -1; // posix_spawn may write it even when it fails
    int const error = posix_spawn(&pid, launch.program.c_str(), &actions, &attributes,
                                  pointers_to(args).data(), pointers_to(env).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    errno = error;
    sys(error == 0 ? 0 : -1, "posix_spawn " + launch.program);
    child_.pid = pid;
    // Debian 12's <sys/pidfd.h> (glibc 2.36) declares pidfd_open without extern "C".
    // Should it fail, child_ kills and reaps the child on the way out.
    exited_ = Fd(static_cast<int>(sys(::syscall(SYS_pidfd_open, child_.pid, 0), "pidfd_open")));
}

void Session::send(std::string_view bytes)
{
    while (in_.get() >= 0 && !bytes.empty()) {
        auto const written = ::write(in_.get(), bytes.data(), bytes.size());
        if (written >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (errno == EAGAIN) {
            // The pipe is full. A child that has ended reads no more, even
            // if something it started still holds the pipe open.
            std::array<pollfd, 2> fds{{{in_.get(), POLLOUT, 0}, {exited_.get(), POLLIN, 0}}};
            if (!ready_within(fds, send_limit)) {
                throw std::runtime_error("send: the child has read none of its input for " +
                                         std::to_string(send_limit.count()) +
                                         " ms and is still running");
            }
            if (fds[1].revents != 0) {
                in_.reset();
            }
        } else if (errno != EINTR) {
            in_.reset(); // the child no longer reads
        }
    }
}

std::string const& Session::await_output(std::size_t count, std::chrono::milliseconds limit)
{
    auto const deadline = std::chrono::steady_clock::now() + limit;
    // Look once more after the child has ended, for what it wrote last; the
    // bytes are copied once, at the end.
    auto const written = [&] {
        return sys(::lseek(out_.get(), 0, SEEK_END), "lseek");
    };
    for (bool ended = false; static_cast<std::size_t>(written()) < count && !ended &&
                             std::chrono::steady_clock::now() < deadline;) {
        ended = ended_within(std::chrono::milliseconds(1));
    }
    return outcome_.out = contents(out_);
}

bool Session::ended_within(std::chrono::milliseconds limit)
{
    pollfd ended{exited_.get(), POLLIN, 0};
    return ready_within({&ended, 1}, limit);
}

Outcome Session::finish()
{
    if (child_.pid < 0) {
        return outcome_; // reaped already: waitpid(-1) would wait for any child
    }
    in_.reset();
    int status = 0;
    sys(::waitpid(child_.pid, &status, 0), "waitpid");
    child_.pid = -1;
    outcome_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome_.out = contents(out_);
    outcome_.err = contents(err_);
    return outcome_;
}

long Session::peak_rss_kib() const
{
    if (child_.pid < 0) {
        throw std::logic_error("peak_rss_kib: the child has been reaped already");
    }
    std::ifstream status("/proc/" + std::to_string(child_.pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    throw std::runtime_error("no VmHWM in /proc/" + std::to_string(child_.pid) +
                             "/status: the child has ended");
}

Outcome run(Launch const& launch, std::string_view input, std::size_t times)
{
    Session child(launch);
    while (times-- > 0) {
        child.send(input);
    }
    return child.finish();
}

std::string program_path(char const* variable, char const* built)
{
    char const* chosen = std::getenv(variable);
    return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

} // namespace blackbox
