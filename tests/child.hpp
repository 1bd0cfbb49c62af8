// Runs a built program as a child process and captures what it does.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace blackbox {

// Where the child's standard output goes.
enum class Stdout : std::uint8_t { captured, closed, dev_full };

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
    long peak_rss_kib = 0;
};

// A running child with pipes on its standard streams. The destructor kills
// and reaps a child that was not finished.
class Child {
public:
    explicit Child(Launch const& launch);
    Child(Child const&) = delete;
    Child& operator=(Child const&) = delete;
    ~Child();

    // Writes all of `bytes` to the child's standard input.
    void send(std::string_view bytes);
    void close_input();
    // Stops reading standard output, as a reader that went away would.
    void close_output();

    // Waits until `count` bytes have come on standard output, it reaches end
    // of file, or `limit` passes; returns all of standard output so far.
    std::string const& await_output(std::size_t count, std::chrono::milliseconds limit);

    // Waits up to `limit` for the child to end on its own; true if it did.
    bool ended_within(std::chrono::milliseconds limit);

    // Sends `input`, closes standard input, collects everything and reaps.
    Outcome finish(std::string_view input = {});

private:
    bool pump(int timeout_ms, std::string_view* pending);
    void reap(int options);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    Outcome outcome_;
};

// Runs `launch` to the end with `input` on its standard input.
Outcome run(Launch const& launch, std::string_view input = {});

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

// The exact bytes, with control characters made visible, for failure messages.
std::string shown(std::string_view bytes);

} // namespace blackbox
