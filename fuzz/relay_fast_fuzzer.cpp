// The relay at the speed of one event: one machine for the whole run (firmware present, the
// driver loaded with one device, the TA service present and its target held), and per input one
// firmware event whose callback runs on the fuzzing thread. Inputs are those of relay_input.h,
// so the whole-life fuzzer replays this corpus; the TA service is always present here (the
// absent kind answers as echo), which leaves the no-target path to the whole-life target.
//
// Per input, after the event: no verifier record, nothing in pool but the channel's name copy,
// the size query first and exactly one METHOD_ACKNOWLEDGE last among the firmware methods the
// driver attempted, the firmware's acknowledgement count matching the attempts that reached it,
// at most one buffer handed back and it differing from the delivered one only in the response
// area. Before each input the machine must be in the state it was in after start-up: the same
// pool, objects, handles, devices, target, firmware and TA service counters, and the same bytes
// in the driver's context. A relay that kept anything from one input to the next fails there.
// At exit the driver unloads and must leave nothing behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "driver/driver.h"
#include "relay/relay.h"
#include "relay_input.h"
#include "require.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/objects.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "support/invariants.h"
#include "support/wire.h"

namespace {

using fwfuzz::Require;

// The fast machine has 1 MiB of pool. Every size rule of the relay is decided well below it
// (the 16408-byte floor, the lengths against DataLength, the refused allocation), and an input
// that makes the firmware hand back tens of megabytes costs milliseconds of copying, which is
// all the fuzzer would then spend its time on. The whole-life target keeps its 64 MiB.
constexpr std::size_t kFastPoolCapacity = std::size_t{1} << 20;

// The name copy's tag as the pool shows it.
constexpr std::uint32_t kInstanceNameTag = fwtest::wire::Tag("WMIN");

// Everything of the machine a relay could leave changed behind it.
struct Snapshot {
    std::vector<std::tuple<std::uintptr_t, std::size_t, std::uint32_t, std::uint64_t>> pool;
    std::vector<std::uint8_t> poolBytes; // the contents of what is live (the name copy)
    std::vector<std::uint8_t> context;   // the driver's context, byte for byte
    std::size_t frameworkObjects = 0;
    std::size_t sendsInFlight = 0;
    std::size_t pnpDevices = 0;
    std::size_t controlDevices = 0;
    int targetState = -1;
    std::size_t kernelObjects = 0;
    std::size_t openHandles = 0;
    bool registered = false;
    unsigned registerCalls = 0;
    unsigned unregisterCalls = 0;
    std::size_t pending = 0;
    std::size_t handedBack = 0;
    std::size_t firmwareCalls = 0;
    bool taPresent = false;
    std::size_t taBlocked = 0;
    std::size_t taRequests = 0;
    std::size_t wmiPending = 0;
    std::size_t wmiDelivered = 0;
    bool wmiInFlight = false;
    std::uint64_t faultCalls = 0;
    std::size_t verifierRecords = 0;
    bool operator==(const Snapshot&) const = default;

    std::string Describe() const
    {
        std::string text = "pool";
        for (const auto& [address, size, tag, flags] : pool) {
            text += " '" + sim::Verifier::TagText(tag) + "' " + std::to_string(size);
        }
        auto field = [&text](const char* name, std::uint64_t value) {
            text += std::string(", ") + name + " " + std::to_string(value);
        };
        field("framework objects", frameworkObjects);
        field("sends in flight", sendsInFlight);
        field("devices", pnpDevices);
        field("control devices", controlDevices);
        field("target state", static_cast<std::uint64_t>(std::int64_t{targetState} + 1));
        field("kernel objects", kernelObjects);
        field("handles", openHandles);
        field("registered", registered ? 1 : 0);
        field("register calls", registerCalls);
        field("unregister calls", unregisterCalls);
        field("pending", pending);
        field("handed back", handedBack);
        field("firmware calls", firmwareCalls);
        field("ta present", taPresent ? 1 : 0);
        field("ta blocked", taBlocked);
        field("ta requests", taRequests);
        field("wmi pending", wmiPending);
        field("wmi delivered", wmiDelivered);
        field("wmi in flight", wmiInFlight ? 1 : 0);
        field("fault-counted calls", faultCalls);
        field("verifier records", verifierRecords);
        return text;
    }
};

class Machine {
public:
    Machine()
    {
        platform_.Verifier().SetEcho(false);
        platform_.Pool().SetCapacity(kFastPoolCapacity);
        firmware_.SetPresent(true);
        ta_.SetBehaviour(sim::TaBehaviour::Echo());
        // The checks read what the firmware gets back, never the TA service's copy of a request.
        ta_.SetRequestBytesKept(false);
        ta_.Arrive();
        Require(NT_SUCCESS(framework_.LoadDriver(DriverEntry)), "start-up failed");
        Require(NT_SUCCESS(framework_.AddDevice()), "device add failed");
        platform_.Sched().Settle();
        WDFDRIVER driver = WdfGetDriver();
        context_ = driver == nullptr ? nullptr : GetDriverContext(driver);
        Require(context_ != nullptr && context_->ServiceTarget != nullptr && firmware_.Registered(),
                "the driver did not load with its channel registered and a service target");
        Forget();
        start_ = Take();
        Require(start_.pool.size() == 1 && std::get<2>(start_.pool[0]) == kInstanceNameTag,
                [&] { return "pool after start-up: " + platform_.Pool().LeakReport(); });
    }

    void Run(const fwfuzz::RelayInput& input)
    {
        const Snapshot before = Take();
        Require(before == start_, [&] {
            return "an input did not start from the state after start-up:\n  start: " + start_.Describe() +
                   "\n  now:   " + before.Describe();
        });

        firmware_.SetSizeQuery(input.sizeQuery);
        firmware_.ReportDataLength(input.dataLength);
        ta_.SetBehaviour(input.ta);
        if (input.failCall != 0) {
            platform_.Faults().FailGlobalNth(input.failCall);
        }
        const unsigned acks = firmware_.AckCount();

        firmware_.QueueRequest(input.buffer);
        FirmwareEventCallback(nullptr, context_);

        platform_.Faults().ClearRules();
        Require(platform_.Verifier().Clean(),
                [&] { return "verifier after the event: " + platform_.Verifier().Describe(); });
        const auto live = platform_.Pool().Live();
        Require(live.size() == 1 && live[0].tag == kInstanceNameTag,
                [&] { return "pool after the event: " + platform_.Pool().LeakReport(); });

        const fwtest::MethodAttempts attempts = fwtest::AttemptedMethods(platform_, "test");
        const auto methodFaults = fwtest::CheckEventMethods(attempts.methods);
        Require(methodFaults.empty(), [&] { return "the event's firmware methods: " + methodFaults.front(); });
        Require(firmware_.AckCount() - acks == attempts.acknowledgementsReached,
                "the firmware counted an acknowledgement the trace does not show, or missed one");

        firmware_.TakeHandedBack(handedBack_);
        Require(handedBack_.size() <= 1, "more than one buffer handed back");
        const auto changed = fwtest::CheckHandedBack({input.buffer}, handedBack_);
        Require(changed.empty(), [&] { return changed.front(); });
        firmware_.Recycle(handedBack_);

        // Back to the state after start-up: what the input configured, and what the firmware
        // still holds because the event failed before fetching it.
        firmware_.SetSizeQuery(sim::SizeQuery::Pending());
        firmware_.ReportDataLength(std::nullopt);
        ta_.SetBehaviour(sim::TaBehaviour::Echo());
        firmware_.DropPending();
        Forget();
    }

    // Removes the device and unloads: nothing may remain.
    void Finish() { fwfuzz::UnloadAndRequireNothingLeft(platform_); }

private:
    // Logs that grow with every event.
    void Forget()
    {
        platform_.Trace().Clear();
        firmware_.ClearCalls();
        ta_.ClearRequests();
        platform_.Faults().ResetCounts();
    }

    Snapshot Take()
    {
        Snapshot s;
        for (const auto& allocation : platform_.Pool().Live()) {
            s.pool.emplace_back(allocation.address, allocation.size, allocation.tag, allocation.flags);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(allocation.address);
            s.poolBytes.insert(s.poolBytes.end(), bytes, bytes + allocation.size);
        }
        const auto* context = reinterpret_cast<const std::uint8_t*>(context_);
        s.context.assign(context, context + sizeof(DriverContext));
        s.frameworkObjects = framework_.LiveObjectCount();
        s.sendsInFlight = framework_.SendsInFlight();
        s.pnpDevices = framework_.PnpDevices().size();
        s.controlDevices = framework_.ControlDevices().size();
        if (auto state = framework_.TargetState(context_->ServiceTarget)) {
            s.targetState = static_cast<int>(*state);
        }
        s.kernelObjects = platform_.Objects().LiveObjects().size();
        s.openHandles = platform_.Objects().OpenHandleCount();
        s.registered = firmware_.Registered();
        s.registerCalls = firmware_.RegisterCalls();
        s.unregisterCalls = firmware_.UnregisterCalls();
        s.pending = firmware_.PendingCount();
        s.handedBack = firmware_.HandedBack().size();
        s.firmwareCalls = firmware_.Calls().size();
        s.taPresent = ta_.Present();
        s.taBlocked = ta_.Blocked();
        s.taRequests = ta_.RequestCount();
        s.wmiPending = platform_.Wmi().PendingDeliveries();
        s.wmiDelivered = platform_.Wmi().EventsDelivered();
        s.wmiInFlight = platform_.Wmi().CallbackInFlight();
        s.faultCalls = platform_.Faults().TotalCount();
        s.verifierRecords = platform_.Verifier().Records().size();
        return s;
    }

    sim::Platform platform_;
    sim::FirmwareModel& firmware_ = platform_.Firmware();
    sim::TaServiceModel& ta_ = platform_.TaService();
    sim::FrameworkModel& framework_ = platform_.Framework();
    PDriverContext context_ = nullptr;
    Snapshot start_;
    // Reused for every input: the firmware's hand-back list lives in this vector's memory.
    std::vector<std::vector<std::uint8_t>> handedBack_;
};

// Lives for the whole run; unloaded at exit so that the run ends with the unload checks.
Machine* machine = nullptr;

void FinishMachine()
{
    machine->Finish();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto input = fwfuzz::DecodeRelayInput(data, size);
    if (!input) {
        return -1; // not worth keeping in the corpus
    }
    if (machine == nullptr) {
        machine = new Machine();
        std::atexit(FinishMachine);
    }
    machine->Run(*input);
    return 0;
}
