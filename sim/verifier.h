// The verifier: every broken platform rule becomes a record (and a line on stderr) naming the
// operation, the object or handle, the pool tag and the thread. A clean run has no record.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct VerifierRecord {
    std::string operation; // the platform call or check that found the fault
    std::string object;    // the object, handle or address involved ("" if none)
    std::uint32_t tag = 0; // the pool tag involved (0 if none)
    std::string thread;    // the simulated thread that broke the rule
    std::string message;   // what rule was broken
};

class Verifier {
public:
    void Report(const std::string& operation, const std::string& object, std::uint32_t tag, const std::string& message);

    std::vector<VerifierRecord> Records() const;
    std::size_t Count() const;
    bool Clean() const { return Count() == 0; }
    void Clear();
    // The records so far, removed at once: a test that provoked a fault checks it and goes on clean.
    std::vector<VerifierRecord> Take();
    // Every record, one per line, for test failure messages and the command-line summary.
    std::string Describe() const;
    // Whether each record is also printed to stderr as it happens (on by default).
    void SetEcho(bool echo);

    static std::string TagText(std::uint32_t tag);
    static std::string Pointer(const void* p);

private:
    mutable std::mutex mutex_;
    std::vector<VerifierRecord> records_;
    bool echo_ = true;
};

} // namespace sim
