#include "sim/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "sim/strings.h"
#include "sim/verifier.h"

namespace sim {

TraceArg TraceArg::Guid(const GUID& guid)
{
    TraceArg arg{0, 0, Kind::Guid, nullptr};
    arg.value = static_cast<std::uint64_t>(guid.Data1) | static_cast<std::uint64_t>(guid.Data2) << 32 |
                static_cast<std::uint64_t>(guid.Data3) << 48;
    std::memcpy(&arg.extra, guid.Data4, sizeof arg.extra);
    return arg;
}

// Renders records in trace order, numbering objects per kind as they first appear.
class Trace::Renderer {
public:
    TraceEvent Render(const Entry& entry)
    {
        TraceEvent event;
        Render(entry, event);
        return event;
    }

    // Into `event`'s own strings, whose memory a long run's Take() reuses from one step to the next.
    void Render(const Entry& entry, TraceEvent& event)
    {
        event.sequence = entry.sequence;
        event.time = entry.time;
        event.thread = *entry.thread;
        event.from = entry.from;
        event.to = entry.to;
        event.operation = entry.operation;
        event.status = entry.status;
        event.detail.clear();
        std::size_t next = 0;
        const char* text = entry.format;
        for (const char* p = entry.format; *p != '\0'; ++p) {
            if (p[0] == '{' && p[1] == '}' && next < entry.argCount) {
                event.detail.append(text, p);
                Append(event.detail, entry.args[next++], entry);
                text = ++p + 1;
            }
        }
        event.detail += text;
    }

private:
    void Append(std::string& out, const TraceArg& arg, const Entry& entry)
    {
        char buffer[32];
        switch (arg.kind) {
        case TraceArg::Kind::Decimal:
            out += std::to_string(arg.value);
            return;
        case TraceArg::Kind::Hex:
            std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(arg.value));
            out += buffer;
            return;
        case TraceArg::Kind::Status:
            out += StatusText(static_cast<NTSTATUS>(arg.value));
            return;
        case TraceArg::Kind::Tag:
            out += Verifier::TagText(static_cast<std::uint32_t>(arg.value));
            return;
        case TraceArg::Kind::Handle:
            std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(arg.value));
            out += buffer;
            return;
        case TraceArg::Kind::Guid: {
            GUID guid{};
            guid.Data1 = static_cast<ULONG>(arg.value & 0xFFFFFFFF);
            guid.Data2 = static_cast<USHORT>((arg.value >> 32) & 0xFFFF);
            guid.Data3 = static_cast<USHORT>(arg.value >> 48);
            std::memcpy(guid.Data4, &arg.extra, sizeof guid.Data4);
            out += GuidText(guid);
            return;
        }
        case TraceArg::Kind::Object:
            out += Identifier(arg.objectKind, arg.value);
            return;
        case TraceArg::Kind::Text:
            out += entry.text;
            return;
        }
    }

    std::string Identifier(const char* kind, std::uint64_t address)
    {
        if (address == 0) {
            return "NULL";
        }
        auto [it, added] = ids_.try_emplace({kind, address}, 0);
        if (added) {
            it->second = ++counts_[kind];
        }
        return std::string(kind) + "#" + std::to_string(it->second);
    }

    // Kinds are string literals (TraceArg::Object), compared by their text: two copies of one
    // literal count as one kind.
    std::map<std::pair<std::string_view, std::uint64_t>, std::uint64_t> ids_;
    std::map<std::string_view, std::uint64_t> counts_;
};

Trace::Trace(Scheduler& scheduler) : scheduler_(scheduler) {}

Trace::~Trace() = default;

void Trace::Record(const char* from, const char* to, const char* operation, const char* format,
                   std::initializer_list<TraceArg> args, std::optional<NTSTATUS> status, std::string_view text)
{
    Append(from, to, operation, format, PackStatus(status), args.begin(), args.size(), text);
}

void Trace::Record(const char* from, const char* to, const char* operation, const TraceDetail& detail,
                   std::optional<NTSTATUS> status, std::string_view text)
{
    Append(from, to, operation, detail.format, PackStatus(status), detail.args.data(), detail.count, text);
}

void Trace::RecordPair(const Part& first, const Part& second)
{
    const Ticks now = scheduler_.Now();
    std::lock_guard lock(mutex_);
    for (const Part* part : {&first, &second}) {
        AppendLocked(now, part->from, part->to, part->operation, PackStatus(part->status), part->detail.format,
                     part->detail.args.data(), part->detail.count, part->text);
    }
}

void Trace::Append(const char* from, const char* to, const char* operation, const char* format, std::uint64_t status,
                   const TraceArg* args, std::size_t count, std::string_view text)
{
    const Ticks now = scheduler_.Now();
    std::lock_guard lock(mutex_);
    AppendLocked(now, from, to, operation, status, format, args, count, text);
}

void Trace::AppendLocked(Ticks now, const char* from, const char* to, const char* operation, std::uint64_t status,
                         const char* format, const TraceArg* args, std::size_t count, std::string_view text)
{
    if (!enabled_) {
        return;
    }
    if (count_ == entries_.size()) {
        entries_.emplace_back();
    }
    Entry& entry = entries_[count_++];
    entry.sequence = ++sequence_;
    entry.time = now;
    entry.thread = &Scheduler::CurrentThreadName();
    entry.from = from;
    entry.to = to;
    entry.operation = operation;
    entry.format = format;
    entry.argCount = static_cast<std::uint8_t>(std::min(count, kMaxArgs));
    std::copy_n(args, entry.argCount, entry.args.begin());
    entry.status = (status >> 32) != 0
                       ? std::optional<NTSTATUS>(static_cast<NTSTATUS>(static_cast<std::uint32_t>(status)))
                       : std::nullopt;
    if (!text.empty() || !entry.text.empty()) {
        entry.text.assign(text); // a reused entry's memory, where it is large enough
    }
}

void Trace::Add(const char* from, const char* to, const char* operation, std::string_view detail,
                std::optional<NTSTATUS> status)
{
    Record(from, to, operation, "{}", {TraceArg::Text()}, status, detail);
}

std::vector<TraceEvent> Trace::Events() const
{
    std::lock_guard lock(mutex_);
    Renderer renderer;
    std::vector<TraceEvent> events;
    events.reserve(count_);
    for (const Entry& entry : Held()) {
        events.push_back(renderer.Render(entry));
    }
    return events;
}

void Trace::Take(std::vector<TraceEvent>& into)
{
    std::lock_guard lock(mutex_);
    if (!taken_) {
        taken_ = std::make_unique<Renderer>();
    }
    std::size_t n = 0;
    for (const Entry& entry : Held()) {
        if (n == into.size()) {
            into.emplace_back();
        }
        taken_->Render(entry, into[n++]);
    }
    into.resize(n);
    count_ = 0;
}

std::vector<TraceHead> Trace::Heads() const
{
    std::lock_guard lock(mutex_);
    std::vector<TraceHead> heads;
    heads.reserve(count_);
    for (const Entry& entry : Held()) {
        heads.push_back({*entry.thread, entry.from, entry.to, entry.operation, entry.format,
                         entry.argCount > 0 ? entry.args[0].value : 0, entry.status});
    }
    return heads;
}

std::vector<TraceEvent> Trace::Find(const std::string& operation) const
{
    std::lock_guard lock(mutex_);
    // Identifiers count from the start of the trace, so every record is rendered in order.
    Renderer renderer;
    std::vector<TraceEvent> result;
    for (const Entry& entry : Held()) {
        TraceEvent event = renderer.Render(entry);
        if (event.operation == operation) {
            result.push_back(std::move(event));
        }
    }
    return result;
}

std::size_t Trace::Size() const
{
    std::lock_guard lock(mutex_);
    return count_;
}

void Trace::Clear()
{
    std::lock_guard lock(mutex_);
    count_ = 0;
}

void Trace::SetEnabled(bool enabled)
{
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

std::string Trace::StatusText(NTSTATUS status)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

} // namespace sim
