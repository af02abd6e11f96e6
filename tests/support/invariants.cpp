#include "support/invariants.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "sim/firmware.h"
#include "sim/platform.h"
#include "sim/wmi.h"

namespace fwtest {

namespace {

// The method a traced firmware call or refused WMI call stands for, if it is one. Read from the
// record's head: rendering every detail after every event would cost a long run more than the
// event itself.
std::optional<unsigned> MethodOf(const sim::TraceHead& head)
{
    namespace fw = sim::firmware;
    if (head.from == "driver" && head.to == "firmware") {
        for (unsigned id : {fw::kRegister, fw::kUnregister, fw::kAcknowledge, fw::kSetResponse, fw::kGetRequest}) {
            if (head.operation == fw::MethodName(id)) {
                return id;
            }
        }
    }
    // Turned away by the WMI layer before the firmware saw it, or an id the firmware does not
    // implement: "method {} in {}", the id first.
    if ((head.operation == "IoWMIExecuteMethod" || head.operation == "METHOD_UNKNOWN") &&
        head.format.starts_with("method {}")) {
        return static_cast<unsigned>(head.firstValue);
    }
    return std::nullopt;
}

// The WMI layer calling the driver's notification callback, as opposed to its other records of
// the same operation (a notification it dropped).
bool IsDelivery(const sim::TraceHead& head)
{
    return head.operation == "WmiNotification" && head.format.find(" context {}") != std::string_view::npos;
}

} // namespace

RelayAudit AuditRelays(sim::Platform& platform)
{
    RelayAudit audit;
    std::size_t reachedAcks = 0;
    std::vector<unsigned> methods;
    bool open = false;
    auto closeDelivery = [&] {
        if (!open) {
            return;
        }
        const std::string which = "delivery " + std::to_string(audit.delivered);
        if (methods.empty()) {
            ++audit.refused;
        } else {
            audit.acknowledged +=
                static_cast<std::size_t>(std::count(methods.begin(), methods.end(), sim::firmware::kAcknowledge));
            for (const std::string& fault : CheckEventMethods(methods)) {
                audit.faults.push_back(which + ": " + fault);
            }
        }
        methods.clear();
        open = false;
    };
    for (const auto& event : platform.Trace().Heads()) {
        if (event.thread != "wmi") {
            continue;
        }
        if (IsDelivery(event)) {
            closeDelivery();
            open = true;
            ++audit.delivered;
            continue;
        }
        auto method = MethodOf(event);
        if (!method) {
            continue;
        }
        if (!open) {
            audit.faults.push_back("firmware method " + std::to_string(*method) + " called outside a delivery");
            continue;
        }
        methods.push_back(*method);
        reachedAcks += (event.to == "firmware" && *method == sim::firmware::kAcknowledge) ? 1U : 0U;
    }
    closeDelivery();

    if (audit.delivered != platform.Wmi().EventsDelivered()) {
        audit.faults.push_back("trace shows " + std::to_string(audit.delivered) + " deliveries, the WMI layer " +
                               std::to_string(platform.Wmi().EventsDelivered()));
    }
    if (reachedAcks != platform.Firmware().AckCount()) {
        audit.faults.push_back("firmware counted " + std::to_string(platform.Firmware().AckCount()) +
                               " acknowledgements, the trace " + std::to_string(reachedAcks));
    }
    return audit;
}

std::vector<std::string> CheckEventMethods(const std::vector<unsigned>& methods)
{
    std::vector<std::string> faults;
    if (methods.empty()) {
        return {"no firmware method attempted"};
    }
    const auto acks = std::count(methods.begin(), methods.end(), sim::firmware::kAcknowledge);
    if (acks != 1 || methods.back() != sim::firmware::kAcknowledge) {
        faults.push_back(std::to_string(acks) + " acknowledgements, last call method " +
                         std::to_string(methods.back()));
    }
    if (methods.front() != sim::firmware::kGetRequest) {
        faults.push_back("began with method " + std::to_string(methods.front()));
    }
    return faults;
}

MethodAttempts AttemptedMethods(sim::Platform& platform, const std::string& thread)
{
    MethodAttempts attempts;
    for (const auto& event : platform.Trace().Heads()) {
        if (event.thread != thread) {
            continue;
        }
        if (auto method = MethodOf(event)) {
            attempts.methods.push_back(*method);
            attempts.acknowledgementsReached +=
                (event.to == "firmware" && *method == sim::firmware::kAcknowledge) ? 1U : 0U;
        }
    }
    return attempts;
}

std::vector<std::string> CheckHandedBack(const std::vector<Bytes>& raised, const std::vector<Bytes>& handedBack)
{
    auto matches = [](const Bytes& original, const Bytes& back) {
        // A firmware that reports a DataLength other than what it wrote gets that many bytes
        // back; past what it wrote the zero-filled buffer holds zeros. Read that way in place:
        // DataLength may be megabytes.
        auto fetched = [&original](std::size_t i) -> std::uint8_t { return i < original.size() ? original[i] : 0; };
        auto fetchedU32 = [&fetched](std::size_t offset) {
            std::uint32_t value = 0;
            for (std::size_t i = 0; i < 4; ++i) {
                value |= static_cast<std::uint32_t>(fetched(offset + i)) << (8 * i);
            }
            return value;
        };
        const std::uint64_t length = back.size();
        if (length < 4) {
            return false;
        }
        const std::uint64_t requestLength = fetchedU32(0);
        if (length < requestLength + 8) {
            return false;
        }
        const std::uint64_t responseLength = fetchedU32(4 + static_cast<std::size_t>(requestLength));
        if (length < requestLength + responseLength + 12) {
            return false;
        }
        const auto areaBegin = static_cast<std::size_t>(8 + requestLength);
        const auto areaEnd = static_cast<std::size_t>(areaBegin + responseLength);
        // Byte loops would dominate a fuzzer's time on a buffer of megabytes; memcmp does not.
        auto equalOver = [&](std::size_t begin, std::size_t end) {
            const std::size_t written = std::clamp(original.size(), begin, end);
            const std::uint8_t* got = back.data();
            const bool same =
                written == begin || std::memcmp(got + begin, original.data() + begin, written - begin) == 0;
            const bool zeros = written == end || (got[written] == 0 && std::memcmp(got + written, got + written + 1,
                                                                                   end - written - 1) == 0);
            return same && zeros;
        };
        return equalOver(0, areaBegin) && equalOver(areaEnd, back.size());
    };
    std::vector<std::string> faults;
    for (std::size_t i = 0; i < handedBack.size(); ++i) {
        bool found = std::any_of(raised.begin(), raised.end(),
                                 [&](const Bytes& original) { return matches(original, handedBack[i]); });
        if (!found) {
            faults.push_back("handed-back buffer " + std::to_string(i) + " (" + std::to_string(handedBack[i].size()) +
                             " bytes) differs from every raised buffer outside its response area");
        }
    }
    return faults;
}

Bytes NumberedExchangeBuffer(std::uint32_t id, std::size_t requestLength, std::size_t responseLength, std::size_t padTo)
{
    Bytes request(std::max<std::size_t>(requestLength, 4));
    std::memcpy(request.data(), &id, sizeof id);
    for (std::size_t i = 4; i < request.size(); ++i) {
        request[i] = static_cast<std::uint8_t>(std::size_t{id} * 7 + i);
    }
    Bytes response(responseLength);
    for (std::size_t i = 0; i < response.size(); ++i) {
        response[i] = static_cast<std::uint8_t>(0xA0 + id + i * 3);
    }
    return sim::FirmwareModel::BuildExchangeBuffer(request, response, {0xEE, static_cast<std::uint8_t>(id), 0xEE, 0xEE},
                                                   padTo);
}

} // namespace fwtest
