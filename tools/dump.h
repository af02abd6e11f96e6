// --dump-buffers DIR: every exchange buffer a relay fetched and every one it handed back, as hex
// files `replay` reads; `replay --emit-scenario`: one buffer as a one-event scenario file.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "tools/bytes.h"
#include "tools/runner.h"

namespace fwtool {

// Writes, for relay N, DIR/relay-N-fetched.hex (the buffer as the firmware queued it) and
// DIR/relay-N-handed-back.hex (as METHOD_SET_RESPONSE gave it back), each with a '#' comment
// saying what it is. The directory must exist. A file that cannot be written is remembered and
// stops the dumping; Error() says which.
class BufferDump : public RunSink {
public:
    explicit BufferDump(std::string directory) : directory_(std::move(directory)) {}
    void Call(const RunResult&, const sim::TraceEvent&, std::optional<std::size_t>, bool) override {}
    void RelayClosed(const RunResult& result, std::size_t relay) override;
    void End(const RunResult&) override {}

    const std::optional<std::string>& Error() const { return error_; }
    std::size_t Files() const { return files_; }

private:
    void Write(const std::string& name, const std::string& comment, const Bytes& bytes);

    std::string directory_;
    std::optional<std::string> error_;
    std::size_t files_ = 0;
};

// "" when `directory` is an existing directory that can be written to; otherwise why not.
std::string CheckDumpDirectory(const std::string& directory);

// A scenario that replays `buffer` as `replay` would: firmware present, one device, the TA
// service present answering `answer` (absent with `noTarget`), and one event with the bytes.
void WriteReplayScenario(std::ostream& out, const Bytes& buffer, const std::string& source, const std::string& answer,
                         bool noTarget);

} // namespace fwtool
