#include "sim/verifier.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "sim/scheduler.h"

namespace sim {

void Verifier::Report(const std::string& operation, const std::string& object, std::uint32_t tag,
                      const std::string& message)
{
    VerifierRecord record{operation, object, tag, Scheduler::CurrentThreadName(), message};
    std::lock_guard lock(mutex_);
    if (echo_) {
        std::fprintf(stderr, "*** VERIFIER: %s: %s [object %s, tag '%s', thread '%s']\n", operation.c_str(),
                     message.c_str(), object.empty() ? "-" : object.c_str(), TagText(tag).c_str(),
                     record.thread.c_str());
    }
    records_.push_back(std::move(record));
}

std::vector<VerifierRecord> Verifier::Records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

std::size_t Verifier::Count() const
{
    std::lock_guard lock(mutex_);
    return records_.size();
}

void Verifier::Clear()
{
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::vector<VerifierRecord> Verifier::Take()
{
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
}

std::string Verifier::Describe() const
{
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    for (const auto& r : records_) {
        out << r.operation << ": " << r.message << " [object " << (r.object.empty() ? "-" : r.object) << ", tag '"
            << TagText(r.tag) << "', thread '" << r.thread << "']\n";
    }
    return out.str();
}

void Verifier::SetEcho(bool echo)
{
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

std::string Verifier::TagText(std::uint32_t tag)
{
    if (tag == 0) {
        return "";
    }
    std::string text;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::string Verifier::Pointer(const void* p)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

} // namespace sim
