#include "child.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

using blackbox::Outcome;
using namespace std::chrono_literals;

namespace {

std::string quilten()
{
    return blackbox::program_path("QUILTEN_BIN", QUILTEN_PATH);
}

constexpr std::string_view record = "Alocarea dinamica de memorie!\n"
                                    "Nume: Ilvar Pesdun.\n"
                                    "Descriere: Acesta este un curs de C/C++ pe care este        "
                                    "bine sa-l parcurgeti pana la final.\n";

constexpr std::string_view record_without_description = "Alocarea dinamica de memorie!\n"
                                                        "Nume: Ilvar Pesdun.\n"
                                                        "Descriere: (null).\n";

constexpr std::string_view refusal = "Memoria nu a putut fi alocata";

static_assert(record.size() == 146);
static_assert(refusal.size() == 29);

void expect_outcome(Outcome const& got, std::string_view out, std::string_view err)
{
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.signal, 0);
    EXPECT_EQ(got.exit_code, 0);
}

// Arguments and standard input are never looked at, and write errors are not
// examined: a lost or full standard output changes nothing else.
TEST(Quilten, PrintsTheRecordWhateverItsArgumentsInputAndOutput)
{
    struct Case {
        std::vector<std::string> args;
        std::string input;
        blackbox::Stdout to = blackbox::Stdout::captured;
        std::string_view out = record;
    };
    for (auto const& c :
         {Case{{}, ""}, Case{{"--help"}, ""}, Case{{"-x", "y", ""}, "z\n"},
          Case{{}, std::string(1 << 20, 'q')}, Case{{}, "", blackbox::Stdout::closed, ""},
          Case{{}, "", blackbox::Stdout::dev_full, ""}}) {
        SCOPED_TRACE(testing::PrintToString(c.input.substr(0, 8)));
        expect_outcome(blackbox::run({quilten(), c.args, {}, c.to}, c.input), c.out, "");
    }
}

// With standard input left open, a program that read it would wait.
TEST(QuiltenRuntime, DoesNotWaitForInput)
{
    blackbox::Session open_input({quilten()});
    ASSERT_TRUE(open_input.ended_within(10s)) << "still running with standard input open";
    expect_outcome(open_input.finish(), record, "");
}

// The one failure the program knows: the heap refuses the 200-byte request.
// A program that asked for any other size would get its memory and print the
// full record, so this also pins the size of the request.
TEST(Quilten, RefusedRequestIsReportedAndTheRunGoesOn)
{
    if (blackbox::built_with_address_sanitizer()) {
        GTEST_SKIP() << "AddressSanitizer owns malloc and must come first among preloaded "
                        "libraries; the release suite runs this case";
    }
    auto const got = blackbox::run({quilten(), {}, {"LD_PRELOAD=" REFUSE_MALLOC_PATH}});
    expect_outcome(got, record_without_description, refusal);
}

// The heap buffer goes back on both paths and nothing is read or written
// out of place.
TEST(QuiltenRuntime, ValgrindFindsNoLeakAndNoError)
{
    if (std::string(VALGRIND_PATH).empty()) {
        GTEST_SKIP() << "valgrind was not found when the tests were configured";
    }
    if (blackbox::built_with_address_sanitizer()) {
        GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
    }
    // valgrind replaces every malloc it finds, the preloaded one too, unless
    // told to leave the ones outside the C library alone.
    std::vector<std::string> const args{"--soname-synonyms=somalloc=nouserintercepts",
                                        "--quiet",
                                        "--error-exitcode=97",
                                        "--leak-check=full",
                                        "--show-leak-kinds=all",
                                        "--errors-for-leak-kinds=all",
                                        quilten()};
    // The two runs, each mostly valgrind's own start-up, go side by side.
    blackbox::Session given({VALGRIND_PATH, args});
    blackbox::Session refused({VALGRIND_PATH, args, {"LD_PRELOAD=" REFUSE_MALLOC_PATH}});
    expect_outcome(given.finish(), record, "");
    expect_outcome(refused.finish(), record_without_description, refusal);
}

} // namespace
