// How a fuzz target reports a broken invariant: a line on stderr and an abort, which libFuzzer
// records as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

namespace fwfuzz {

[[noreturn]] inline void Finding(const std::string& what)
{
    std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    std::abort();
}

// `what` is a message, or a callable that builds one: most inputs pass every check, so the
// text of a failure is built only when there is one.
template <class Message> void Require(bool holds, Message&& what)
{
    if (!holds) {
        if constexpr (std::is_invocable_v<Message>) {
            Finding(what());
        } else {
            Finding(what);
        }
    }
}

} // namespace fwfuzz
