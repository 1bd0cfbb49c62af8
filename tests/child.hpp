// Runs a built program as a child process and captures what it does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace blackbox {

// Where the child's standard output goes; reader_gone is a pipe whose
// reading end is closed already.
enum class Stdout : std::uint8_t { captured, closed, dev_full, reader_gone };

struct Launch {
    std::string program;
    std::vector<std::string> args = {};
    std::vector<std::string> env = {}; // NAME=value, added to or replacing the test's own
    Stdout stdout_to = Stdout::captured;
};

struct Outcome {
    std::string out;
    std::string err;
    int exit_code = -1; // -1 when a signal ended the child
    int signal = 0;     // the signal that ended it, or 0
};

// Runs `launch` to the end with `input`, written `times` over, as the whole
// of its standard input.
Outcome run(Launch const& launch, std::string_view input = {}, std::size_t times = 1);

// A file descriptor, closed when its owner goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd()
    {
        reset();
    }

    int get() const
    {
        return fd_;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A child whose standard input is a pipe that stays open until finish(), for
// what it does while it waits. The destructor kills and reaps it.
class Session {
public:
    explicit Session(Launch const& launch);
    Session(Session const&) = delete;
    Session& operator=(Session const&) = delete;

    // Writes `bytes` to standard input, or as many as the child reads before
    // it ends; throws when it neither reads nor ends within send_limit.
    void send(std::string_view bytes);
    static constexpr std::chrono::milliseconds send_limit{10000};
    // Waits until `count` bytes have come on standard output, the child
    // ends, or `limit` passes; returns all of standard output so far.
    std::string const& await_output(std::size_t count, std::chrono::milliseconds limit);
    // Waits up to `limit` for the child to end by itself; true if it did.
    bool ended_within(std::chrono::milliseconds limit);
    // The most memory the child has had resident so far, in KiB, asked
    // while it runs: VmHWM of its own address space. Its rusage would not
    // do: a spawned child runs in the test's memory until it execs, and the
    // kernel counts that memory's peak as the child's.
    long peak_rss_kib() const;
    // Closes standard input, waits for the child's end and collects; once
    // it has, returns the same outcome again.
    Outcome finish();

private:
    // The child, killed and reaped unless finish() has reaped it; declared
    // first, so that it goes last, whatever the constructor got to.
    struct Child {
        pid_t pid = -1;
        ~Child();
    } child_;
    Fd in_;  // the pipe to its standard input
    Fd out_; // its standard output and error, in memory files
    Fd err_;
    Fd exited_; // a pidfd: readable once the child has ended
    Outcome outcome_;
};

// The program under test: $`variable` when it is set, else `built`, the path
// CMake gave for the build tree.
std::string program_path(char const* variable, char const* built);

// Whether the tests, and so the programs built beside them, carry
// AddressSanitizer.
constexpr bool built_with_address_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
    return __has_feature(address_sanitizer);
#else
    return false;
#endif
}

} // namespace blackbox
