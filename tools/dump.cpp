#include "tools/dump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/output.h"

namespace fwtool {

namespace {

// Sixteen bytes a line, so that a large buffer stays readable and diffable.
std::string HexLines(const Bytes& bytes)
{
    std::string text;
    static const char* kDigits = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

// A label in a '#' comment: one line, no control characters.
std::string CommentText(const std::string& text)
{
    return EscapeControls(text);
}

// YAML double-quoted: escapes for the quote, the backslash and every control character.
std::string YamlQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

std::string CheckDumpDirectory(const std::string& directory)
{
    struct stat info = {};
    if (directory.empty()) {
        return "--dump-buffers needs a directory";
    }
    if (stat(directory.c_str(), &info) != 0) {
        return "--dump-buffers: " + directory + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return "--dump-buffers: " + directory + " is not a directory";
    }
    if (access(directory.c_str(), W_OK) != 0) {
        return "--dump-buffers: " + directory + ": " + std::strerror(errno);
    }
    return "";
}

void BufferDump::Write(const std::string& name, const std::string& comment, const Bytes& bytes)
{
    if (error_) {
        return;
    }
    const std::string path = directory_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "# " << comment << "\n# " << bytes.size() << " bytes; fwrelay-sim replay " << name << "\n"
        << HexLines(bytes);
    out.close();
    if (!out) {
        error_ = "cannot write " + path + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return;
    }
    ++files_;
}

void BufferDump::RelayClosed(const RunResult& result, std::size_t index)
{
    const Relay& relay = result.relays[index];
    char number[16];
    std::snprintf(number, sizeof number, "%06zu", index + 1);
    const std::string prefix = std::string("relay-") + number;
    const std::string what = "relay " + std::to_string(index + 1) + " at " + Seconds(relay.time);
    if (relay.event && result.events[*relay.event].buffer) {
        const RaisedEvent& event = result.events[*relay.event];
        Write(prefix + "-fetched.hex",
              what + ": the buffer it fetched, as the firmware queued it for '" + CommentText(event.label) + "'",
              *event.buffer);
    }
    if (relay.handedBack) {
        Write(prefix + "-handed-back.hex", what + ": the buffer METHOD_SET_RESPONSE handed back", *relay.handedBack);
    }
}

void WriteReplayScenario(std::ostream& out, const Bytes& buffer, const std::string& source, const std::string& answer,
                         bool noTarget)
{
    out << "# Written by fwrelay-sim replay --emit-scenario from " << CommentText(source) << ": the run replay makes,\n"
        << "# as a scenario to edit and extend.\n"
        << "name: replay\n"
        << "firmware: {present: true}\n"
        << "ta_service: {present: " << (noTarget ? "false" : "true") << ", behaviour: " << YamlQuoted(answer) << "}\n"
        << "steps:\n"
        << "  - add_device: 1\n"
        << "  - at: 1s\n"
        << "    event:\n"
        << "      label: " << YamlQuoted("replayed " + source) << "\n"
        << "      raw: " << YamlQuoted(HexString(buffer, buffer.size())) << "\n";
}

} // namespace fwtool
