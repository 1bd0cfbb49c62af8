#include "child.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace blackbox {
namespace {

[[noreturn]] void fail(char const* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void check(int rc, char const* what)
{
    if (rc != 0) {
        errno = rc;
        fail(what);
    }
}

void close_fd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// The test's environment with `extra` (NAME=value) added or put in place.
std::vector<std::string> environment_with(std::vector<std::string> const& extra)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view const line(*entry);
        auto const same_name = [&](std::string const& added) {
            auto const name = added.substr(0, added.find('=') + 1);
            return line.starts_with(name);
        };
        if (std::none_of(extra.begin(), extra.end(), same_name)) {
            env.emplace_back(line);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
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

Child::Child(Launch const& launch)
{
    // A child that outlives its reader must not take the test down with
    // it; the child itself gets the default disposition back below.
    std::signal(SIGPIPE, SIG_IGN);

    std::array<int, 2> in{-1, -1};
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0 ||
        ::pipe2(err.data(), O_CLOEXEC) != 0) {
        fail("pipe2");
    }

    posix_spawn_file_actions_t actions;
    check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    check(posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO), "adddup2");
    switch (launch.stdout_to) {
    case Stdout::captured:
        check(posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO), "adddup2");
        break;
    case Stdout::closed:
        check(posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO), "addclose");
        break;
    case Stdout::dev_full:
        check(posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0),
              "addopen");
        break;
    }
    check(posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO), "adddup2");

    posix_spawnattr_t attributes;
    check(posix_spawnattr_init(&attributes), "posix_spawnattr_init");
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    check(posix_spawnattr_setsigdefault(&attributes, &defaults), "setsigdefault");
    check(posix_spawnattr_setsigmask(&attributes, &none), "setsigmask");
    check(posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK),
          "setflags");

    std::vector<std::string> argv_strings{launch.program};
    argv_strings.insert(argv_strings.end(), launch.args.begin(), launch.args.end());
    auto env_strings = environment_with(launch.env);
    auto argv = pointers_to(argv_strings);
    auto envp = pointers_to(env_strings);

    int const rc =
        posix_spawn(&pid_, launch.program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (launch.stdout_to != Stdout::captured) {
        close_fd(out_);
    }
    if (rc != 0) {
        close_fd(in_);
        close_fd(out_);
        close_fd(err_);
        errno = rc;
        fail(("posix_spawn " + launch.program).c_str());
    }
    ::fcntl(in_, F_SETFL, O_NONBLOCK);
}

Child::~Child()
{
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

// One round of moving bytes: writes what it can of `pending` (when given)
// and reads what has come on standard output and standard error. Returns
// false when nothing is left to wait for or `timeout_ms` passed idle.
bool Child::pump(int timeout_ms, std::string_view* pending)
{
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    bool const writing = pending != nullptr && !pending->empty() && in_ >= 0;
    if (writing) {
        fds[count++] = {in_, POLLOUT, 0};
    }
    for (int fd : {out_, err_}) {
        if (fd >= 0) {
            fds[count++] = {fd, POLLIN, 0};
        }
    }
    if (count == 0) {
        return false;
    }
    int const ready = ::poll(fds.data(), count, timeout_ms);
    if (ready < 0 && errno != EINTR) {
        fail("poll");
    }
    if (ready <= 0) {
        return ready < 0;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        if (writing && fds[i].fd == in_) {
            auto const chunk = std::min<std::size_t>(pending->size(), 1 << 16);
            ssize_t const n = ::write(in_, pending->data(), chunk);
            if (n >= 0) {
                pending->remove_prefix(static_cast<std::size_t>(n));
            } else if (errno == EPIPE) {
                pending->remove_prefix(pending->size()); // the child stopped reading
                close_input();
            } else if (errno != EAGAIN && errno != EINTR) {
                fail("write to child");
            }
            continue;
        }
        bool const is_out = fds[i].fd == out_;
        std::array<char, 1 << 16> buffer{};
        ssize_t const n = ::read(fds[i].fd, buffer.data(), buffer.size());
        if (n > 0) {
            (is_out ? outcome_.out : outcome_.err)
                .append(buffer.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close_fd(is_out ? out_ : err_);
        }
    }
    return true;
}

void Child::send(std::string_view bytes)
{
    while (!bytes.empty() && in_ >= 0 && pump(-1, &bytes)) {
    }
}

void Child::close_input()
{
    close_fd(in_);
}

void Child::close_output()
{
    close_fd(out_);
}

std::string const& Child::await_output(std::size_t count, std::chrono::milliseconds limit)
{
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while (outcome_.out.size() < count && out_ >= 0) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(static_cast<int>(left.count()), nullptr)) {
            break;
        }
    }
    return outcome_.out;
}

bool Child::ended_within(std::chrono::milliseconds limit)
{
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while (out_ >= 0 || err_ >= 0) {
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(static_cast<int>(left.count()), nullptr)) {
            break;
        }
    }
    if (!reaped_) {
        // Both pipes at end of file means the child is exiting; it may not
        // be a zombie yet.
        reap(out_ < 0 && err_ < 0 ? 0 : WNOHANG);
    }
    return reaped_;
}

Outcome Child::finish(std::string_view input)
{
    send(input);
    close_input();
    while (pump(-1, nullptr)) {
    }
    if (!reaped_) {
        reap(0);
    }
    return outcome_;
}

void Child::reap(int options)
{
    int status = 0;
    rusage usage{};
    pid_t got = 0;
    do {
        got = ::wait4(pid_, &status, options, &usage);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        fail("wait4");
    }
    if (got == 0) {
        return; // still running
    }
    reaped_ = true;
    outcome_.peak_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        outcome_.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome_.signal = WTERMSIG(status);
    }
}

Outcome run(Launch const& launch, std::string_view input)
{
    return Child(launch).finish(input);
}

std::string program_path(char const* variable, char const* built)
{
    char const* chosen = std::getenv(variable);
    return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

std::string shown(std::string_view bytes)
{
    std::string text = "\"";
    for (char const c : bytes) {
        auto const u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\r': text += "\\r"; break;
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        default:
            if (u < 0x20 || u >= 0x7f) {
                std::array<char, 5> hex{};
                std::snprintf(hex.data(), hex.size(), "\\x%02x", u);
                text += hex.data();
            } else {
                text += c;
            }
        }
    }
    return text + "\"";
}

} // namespace blackbox
