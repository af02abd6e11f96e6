// The conversation across the boundaries (firmware, driver, TA service, kernel, framework),
// recorded in order with virtual timestamps, for tests and for the command-line program.
//
// Recording is cheap and rendering is lazy. A boundary call records what it saw as a compact
// record: static strings for the parties, the operation and a detail format, up to six typed
// values (numbers, statuses, pool tags, GUIDs, objects), and text of its own only where what it
// saw is text (a symbolic link, a debug message). Nothing is formatted until someone reads the
// trace: Events() and Find() render records into TraceEvents.
//
// Stable identifiers. Host addresses change from run to run, so rendered text never shows one.
// An object recorded by address is shown as its kind and a sequence number, counted per kind
// from 1 in the order in which objects of that kind first appear in the trace as it is held
// (after Clear() numbering starts again): "block#1" is the first WMI block the trace mentions,
// "context#1" the first notification context, "object#2" the second other kernel object.
// Framework handles, pool tags, thread names and symbolic links are stable already and are
// shown as they are. Two runs of the same scenario therefore render byte for byte the same.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntbase.h"
#include "sim/leaf_lock.h"
#include "sim/scheduler.h"

namespace sim {

struct TraceEvent {
    std::uint64_t sequence = 0;
    Ticks time = 0;
    std::string thread;
    std::string from; // "driver", "firmware", "ta", "kernel", "framework", "pnp", "test"
    std::string to;
    std::string operation;
    std::string detail;
    std::optional<NTSTATUS> status;
};

// A record without its detail rendered: enough to tell which calls were made, cheap enough to
// take after every event of a long run. The strings point at the recorder's literals.
struct TraceHead {
    std::string thread;
    std::string_view from;
    std::string_view to;
    std::string_view operation;
    std::string_view format;      // the detail before rendering, "{}" where a value goes
    std::uint64_t firstValue = 0; // the first value's number, 0 when the record has none
    std::optional<NTSTATUS> status;
};

// One value a record carries, rendered by kind in place of the next "{}" of the record's format.
struct TraceArg {
    enum class Kind : std::uint8_t {
        Decimal, // unsigned
        Hex,     // 0x%X
        Status,  // 0x%08X
        Tag,     // four characters
        Handle,  // a framework handle, 0x%llx
        Guid,    // value and extra hold the 16 bytes
        Object,  // a host address shown as <objectKind>#<n>
        Text,    // the record's own text
    };
    // No member initializers: a trace record's unused slots are never written or read.
    std::uint64_t value;
    std::uint64_t extra;
    Kind kind;
    const char* objectKind;

    static TraceArg Decimal(std::uint64_t n) { return {n, 0, Kind::Decimal, nullptr}; }
    static TraceArg Hex(std::uint64_t n) { return {n, 0, Kind::Hex, nullptr}; }
    static TraceArg Status(NTSTATUS status) { return {static_cast<std::uint32_t>(status), 0, Kind::Status, nullptr}; }
    static TraceArg Tag(std::uint32_t tag) { return {tag, 0, Kind::Tag, nullptr}; }
    static TraceArg Handle(std::uint64_t handle) { return {handle, 0, Kind::Handle, nullptr}; }
    static TraceArg Handle(const void* handle) { return Handle(reinterpret_cast<std::uintptr_t>(handle)); }
    static TraceArg Guid(const GUID& guid);
    // `kind` must be a string literal: "block", "context", "object", "entry".
    static TraceArg Object(const char* kind, const void* address)
    {
        return {reinterpret_cast<std::uintptr_t>(address), 0, Kind::Object, kind};
    }
    static TraceArg Text() { return {0, 0, Kind::Text, nullptr}; }
};

// A detail decided on before it is known whether it will be recorded (a helper that may turn a
// call away records it only then).
struct TraceDetail {
    // Each argument is written in place: a detail is made on every call of some operations, and
    // copying arguments out of a list built on the stack stalls on reading back what was just
    // written. The slots past `count` are left as they are, as a trace entry's are: filling
    // them with zeros cost a string store per detail.
    template <class... Args>
    explicit TraceDetail(const char* detailFormat, const Args&... detailArgs)
        : format(detailFormat), count(sizeof...(Args))
    {
        static_assert(sizeof...(Args) <= 4, "a detail carries at most four values");
        std::size_t slot = 0;
        ((args[slot++] = detailArgs), ...);
    }
    const char* format;
    std::array<TraceArg, 4> args; // the first `count` only
    std::size_t count;
};

class Trace {
public:
    explicit Trace(Scheduler& scheduler);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // `from`, `to`, `operation` and `format` must outlive the trace (string literals). Each "{}"
    // of `format` is replaced by the next of `args`.
    void Record(const char* from, const char* to, const char* operation, const char* format,
                std::initializer_list<TraceArg> args = {}, std::optional<NTSTATUS> status = std::nullopt,
                std::string_view text = {});
    void Record(const char* from, const char* to, const char* operation, const TraceDetail& detail,
                std::optional<NTSTATUS> status = std::nullopt, std::string_view text = {});
    // Two records that follow each other with nothing between them (a request passed on the
    // moment it is accepted, a completion and the return it causes), under one acquisition.
    struct Part {
        const char* from;
        const char* to;
        const char* operation;
        TraceDetail detail;
        std::optional<NTSTATUS> status = std::nullopt;
        std::string_view text = {};
    };
    void RecordPair(const Part& first, const Part& second);
    // A detail that is text already (rare calls: loading, a debug message, a refusal reason).
    void Add(const char* from, const char* to, const char* operation, std::string_view detail,
             std::optional<NTSTATUS> status = std::nullopt);

    std::vector<TraceEvent> Events() const;
    // The records held, rendered, and forgotten: a long run reads its trace as it goes and keeps
    // its memory flat. Identifiers keep counting from one Take() to the next (unlike Events()
    // after Clear()), so a run read in pieces shows what a run read whole would. `into` is
    // replaced; the strings of the events it held are reused.
    void Take(std::vector<TraceEvent>& into);
    std::vector<TraceHead> Heads() const;
    // Events whose operation equals `operation`.
    std::vector<TraceEvent> Find(const std::string& operation) const;
    std::size_t Size() const;
    void Clear();
    void SetEnabled(bool enabled);

    static std::string StatusText(NTSTATUS status);

private:
    static constexpr std::size_t kMaxArgs = 6;
    // The one place an entry is written, under the mutex (dropped while disabled); arguments
    // past kMaxArgs are dropped. The status travels packed in one word (PackStatus): an optional
    // passed on is built on the stack from its value and its flag and then read back whole,
    // which stalled every record on a failed store-to-load forward.
    void AppendLocked(Ticks now, const char* from, const char* to, const char* operation, std::uint64_t status,
                      const char* format, const TraceArg* args, std::size_t count, std::string_view text);
    void Append(const char* from, const char* to, const char* operation, const char* format, std::uint64_t status,
                const TraceArg* args, std::size_t count, std::string_view text);
    static std::uint64_t PackStatus(const std::optional<NTSTATUS>& status)
    {
        return status.has_value() ? (std::uint64_t{1} << 32) | static_cast<std::uint32_t>(*status) : 0;
    }
    struct Entry {
        // User-provided, so that a new entry is not zero-filled first: only the arguments it
        // carries are written.
        Entry() {} // NOLINT(modernize-use-equals-default)
        std::uint64_t sequence = 0;
        Ticks time = 0;
        const std::string* thread = nullptr; // Scheduler::CurrentThreadName(), which stays valid
        const char* from = nullptr;
        const char* to = nullptr;
        const char* operation = nullptr;
        const char* format = nullptr;
        std::array<TraceArg, kMaxArgs> args;
        std::uint8_t argCount = 0;
        std::optional<NTSTATUS> status;
        std::string text;
    };
    class Renderer;

    Scheduler& scheduler_;
    std::unique_ptr<Renderer> taken_; // Take()'s numbering, from the first Take() on
    mutable LeafLock mutex_;
    // The trace is the first count_ entries; Clear() keeps the rest, whose memory (their text's
    // too) later records reuse.
    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    std::span<const Entry> Held() const { return {entries_.data(), count_}; }
    std::uint64_t sequence_ = 0;
    bool enabled_ = true;
};

} // namespace sim
