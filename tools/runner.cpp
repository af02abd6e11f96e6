#include "tools/runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>

#include "driver/driver.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/image_loader.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "tools/output.h"

namespace fwtool {

namespace {

ULONG ReadU32(const Bytes& bytes, std::size_t offset)
{
    ULONG value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

void ApplyFirmware(sim::FirmwareModel& firmware, const FirmwareSpec& spec)
{
    if (spec.present) {
        firmware.SetPresent(*spec.present);
    }
    if (spec.appearAt) {
        firmware.AppearAt(*spec.appearAt);
    }
    if (spec.registerFailures) {
        firmware.FailRegister(*spec.registerFailures, spec.registerStatus);
    }
    if (spec.sizeQuery) {
        firmware.SetSizeQuery(*spec.sizeQuery);
    }
    if (spec.getRequestConsumes) {
        firmware.SetGetRequestConsumes(*spec.getRequestConsumes);
    }
}

void ApplyFault(sim::FaultInjector& faults, const FaultSpec& fault)
{
    switch (fault.mode) {
    case FaultSpec::Mode::Nth:
        faults.FailNth(fault.operation, fault.n, fault.status);
        break;
    case FaultSpec::Mode::From:
        faults.FailFrom(fault.operation, fault.n, fault.status);
        break;
    case FaultSpec::Mode::Always:
        faults.FailAlways(fault.operation, fault.status);
        break;
    }
}

// Successful fetches (METHOD_GET_REQUEST with room) among the firmware's calls logged since the
// log was last cleared; each takes the oldest pending buffer.
std::size_t SuccessfulFetches(const std::vector<sim::FirmwareCall>& calls)
{
    std::size_t fetched = 0;
    for (const sim::FirmwareCall& call : calls) {
        fetched +=
            call.methodId == sim::firmware::kGetRequest && call.outSizeOnEntry != 0 && NT_SUCCESS(call.status) ? 1 : 0;
    }
    return fetched;
}

bool IsMethod(const sim::TraceEvent& e, const char* name, int id)
{
    // Calls the firmware saw carry the method's name; calls the WMI layer turned away carry
    // "method N" in their detail.
    return e.operation == name ||
           (e.operation == "IoWMIExecuteMethod" && e.detail.rfind("method " + std::to_string(id) + " ", 0) == 0);
}

// What the calls of one delivery said so far, gathered as they come: a relay's outcome is
// decided once the next delivery begins or the run ends.
struct OpenRelay {
    std::size_t index = 0;
    unsigned getRequests = 0;
    std::optional<sim::TraceEvent> fetch; // the second METHOD_GET_REQUEST
    std::optional<sim::TraceEvent> allocationFailure;
    std::optional<sim::TraceEvent> setResponse; // the last
    std::optional<NTSTATUS> sendFailure;
    bool sent = false;
};

// Drives the platform through the steps, reading its trace after each one. Lives longer than
// the platform it drives, because the platform's IOCTL route calls back into it.
class ScenarioDriver {
public:
    ScenarioDriver(const Scenario& scenario, RunResult& result, const RunOptions& options)
        : scenario_(scenario), result_(result), options_(options)
    {}

    void Run()
    {
        sim::Platform platform;
        platform.Verifier().SetEcho(false);
        // One thread at a time, handed over in a fixed order: the same scenario makes the same
        // calls in the same order on every run, so its output can be compared byte for byte.
        platform.Sched().SetSerialized();
        // Every thread that can change the machine's state is the platform's own and registered:
        // once none can run and no deadline is set, nothing outside can move the run on, so the
        // report need not wait the library's default of ten seconds for a helper thread.
        platform.Sched().SetDeadlockTimeout(std::chrono::milliseconds(500));
        if (options_.onDeadlock) {
            platform.Sched().SetDeadlockHandler([this](const sim::DeadlockReport& report) { OnDeadlock(report); });
        }
        platform_ = &platform;
        sim::FirmwareModel& firmware = platform.Firmware();
        sim::TaServiceModel& ta = platform.TaService();

        ApplyFirmware(firmware, scenario_.firmware);
        ta.SetBehaviour(scenario_.taBehaviour);
        for (const FaultSpec& fault : scenario_.faults) {
            ApplyFault(platform.Faults(), fault);
        }
        // Every send still reaches the TA service model; a buffer's own answer is queued just
        // before its send. The relay is one thread, so the fetch count says whose send it is.
        // The firmware's call log is read and cleared here, so each send reads only the calls
        // made since the last one.
        platform.Framework().SetIoctlHandlerForTest(
            [this, &firmware, &ta](const std::u16string& link, ULONG code, const void* input, ULONG inputLength,
                                   void* output, ULONG outputLength, ULONG_PTR* information,
                                   const std::function<bool()>& cancelled) {
                const std::size_t fetched = fetchedBefore_ + SuccessfulFetches(firmware.Calls());
                if (firmware.ClearCalls()) {
                    fetchedBefore_ = fetched;
                }
                if (fetched > 0 && fetched <= answers_.size() && answers_[fetched - 1]) {
                    ta.QueueBehaviour(*answers_[fetched - 1]);
                }
                return ta.HandleIoctl(link, code, input, inputLength, output, outputLength, information, cancelled);
            });
        if (scenario_.taPresent) {
            ta.Arrive();
        }
        const bool explicitLoad = std::any_of(scenario_.steps.begin(), scenario_.steps.end(),
                                              [](const Step& step) { return step.kind == StepKind::Load; });
        if (!explicitLoad) {
            Load();
        }
        for (const Step& step : scenario_.steps) {
            if (step.at > platform.Sched().Now()) {
                platform.Sched().AdvanceBy(step.at - platform.Sched().Now());
            }
            Execute(step);
            platform.Sched().Settle();
            Drain();
            if (options_.progress) {
                options_.progress(static_cast<std::size_t>(&step - scenario_.steps.data()) + 1, scenario_.steps.size(),
                                  platform.Sched().Now());
            }
            if (options_.interrupt != nullptr && options_.interrupt->load() != 0) {
                result_.interruptedBy = options_.interrupt->load();
                break;
            }
        }
        if (result_.interruptedBy) {
            stopping_ = true;
            result_.loadedAtEnd = platform.Framework().Loaded();
            // What ran is reported as it was; the teardown that lets the process end is not part
            // of the run.
            End();
            platform.Trace().SetEnabled(false);
            Finish();
        } else {
            // A second for whatever the last step set going (a retry, a relay) to play out.
            platform.Sched().AdvanceBy(sim::kTicksPerSecond);
            Finish();
            End();
        }
        platform_ = nullptr;
    }

private:
    void Note(const std::string& text)
    {
        result_.notes.push_back("[" + Seconds(platform_->Sched().Now()) + "] " + text);
    }

    void Load()
    {
        sim::FrameworkModel& framework = platform_->Framework();
        if (framework.Loaded()) {
            Note("load: the driver is already loaded");
            return;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (!options_.image.empty()) {
            std::string error;
            auto image = sim::DriverImage::Load(options_.image, sim::HostImport, &error);
            if (image == nullptr) {
                Note("load: " + error);
                return;
            }
            image->LoadSymbols(std::filesystem::path(options_.image).replace_extension(".map").string());
            images_.push_back(std::move(image));
            status = framework.LoadDriver(*images_.back());
        } else {
            status = framework.LoadDriver(DriverEntry);
        }
        if (!NT_SUCCESS(status)) {
            Note("load: DriverEntry failed with " + StatusName(status));
        }
    }

    void Unload()
    {
        sim::FrameworkModel& framework = platform_->Framework();
        if (!framework.Loaded()) {
            Note("unload: the driver is not loaded");
            return;
        }
        if (!framework.UnloadDriver()) {
            // The loader's own reason (a device, the control device, a registration held), as
            // the trace recorded it.
            Drain();
            const std::string prefix = "refused: ";
            Note("unload refused: " + (lastUnloadRefusal_.rfind(prefix, 0) == 0
                                           ? lastUnloadRefusal_.substr(prefix.size())
                                           : std::string("the driver stays loaded")));
        }
    }

    void Execute(const Step& step)
    {
        sim::FrameworkModel& framework = platform_->Framework();
        sim::TaServiceModel& ta = platform_->TaService();
        switch (step.kind) {
        case StepKind::Load:
            Load();
            break;
        case StepKind::Unload:
            Unload();
            break;
        case StepKind::AddDevice:
            for (unsigned i = 0; i < step.count; ++i) {
                if (!framework.Loaded()) {
                    Note("add_device: the driver is not loaded");
                    break;
                }
                const NTSTATUS status = framework.AddDevice();
                if (!NT_SUCCESS(status)) {
                    Note("add_device: EvtDriverDeviceAdd failed with " + StatusName(status));
                }
            }
            break;
        case StepKind::RemoveDevice: {
            std::vector<WDFDEVICE> devices = framework.PnpDevices();
            if (devices.empty()) {
                Note("remove_device: no device to remove");
            }
            const std::size_t count =
                step.count == 0 ? devices.size() : std::min<std::size_t>(step.count, devices.size());
            for (std::size_t i = 0; i < count; ++i) {
                framework.RemoveDevice(devices[i]);
            }
            break;
        }
        case StepKind::TaArrive:
            ta.Arrive();
            break;
        case StepKind::TaDepart:
            ta.Depart();
            break;
        case StepKind::TaBehaviour:
            ta.SetBehaviour(step.ta);
            break;
        case StepKind::TaRelease: {
            const std::size_t released = step.count == 0 ? ta.ReleaseAll() : Release(ta, step.count);
            if (released == 0) {
                Note("ta_release: no request was blocked");
            }
            break;
        }
        case StepKind::Event: {
            RaisedEvent raised;
            raised.label = step.event.label;
            raised.time = platform_->Sched().Now();
            if (raised.label.empty()) {
                raised.label = "event " + std::to_string(result_.events.size() + 1);
            }
            if (step.event.withBuffer) {
                raised.buffer = step.event.buffer;
                answers_.push_back(step.event.ta);
                bufferEvents_.push_back(result_.events.size());
                result_.events.push_back(raised);
                platform_->Firmware().RaiseEvent(step.event.buffer);
            } else {
                result_.events.push_back(raised);
                platform_->Firmware().RaiseEventWithoutBuffer();
            }
            break;
        }
        case StepKind::Firmware:
            ApplyFirmware(platform_->Firmware(), step.firmware);
            break;
        case StepKind::Fault:
            ApplyFault(platform_->Faults(), step.fault);
            break;
        case StepKind::ClearFaults:
            platform_->Faults().ClearRules();
            break;
        }
    }

    static std::size_t Release(sim::TaServiceModel& ta, unsigned count)
    {
        std::size_t released = 0;
        while (released < count && ta.Release()) {
            ++released;
        }
        return released;
    }

    // Every run ends with the driver unloaded and the platform down, whatever the steps did.
    void Finish()
    {
        sim::Platform& platform = *platform_;
        sim::FrameworkModel& framework = platform.Framework();
        if (std::size_t held = platform.TaService().ReleaseAll(); held != 0) {
            Note("end: released " + std::to_string(held) + " TA request(s) still blocked");
        }
        platform.Sched().Settle();
        if (framework.Loaded()) {
            const std::size_t devices = framework.PnpDevices().size();
            for (WDFDEVICE device : framework.PnpDevices()) {
                framework.RemoveDevice(device);
            }
            platform.Sched().Settle();
            if (devices != 0) {
                Note("end: removed " + std::to_string(devices) + " device(s) still present");
            }
            Unload();
            platform.Sched().Settle();
        }
        result_.loadedAtEnd = framework.Loaded();
        platform.Shutdown();
    }

    // The calls recorded since the last look, in order: each goes to the relay analysis and the
    // sink, and, when asked, into result.trace.
    void Drain()
    {
        drained_.clear();
        platform_->Trace().Take(drained_);
        for (sim::TraceEvent& e : drained_) {
            e.detail = ids_.Apply(e.detail);
            const bool opens = Observe(e);
            if (options_.sink != nullptr) {
                options_.sink->Call(
                    result_, e, open_ && e.thread == "wmi" ? std::optional<std::size_t>(open_->index) : std::nullopt,
                    opens);
            }
            if (options_.keepTrace) {
                result_.trace.push_back(std::move(e));
            }
        }
    }

    // Returns whether `e` is the delivery that opens a relay.
    bool Observe(const sim::TraceEvent& e)
    {
        if (e.operation == "WmiEvent" && raised_ < result_.events.size()) {
            if (e.detail.find(" lost") != std::string::npos) {
                result_.events[raised_].lost = true;
                result_.events[raised_].lostByFault = e.detail.find("(injected)") != std::string::npos;
            } else {
                queued_.push_back(raised_);
            }
            ++raised_;
        }
        if (e.operation == "METHOD_REGISTER" && e.status && NT_SUCCESS(*e.status)) {
            registered_ = true;
        } else if (e.operation == "UnloadDriver" && e.detail.rfind("refused", 0) != 0) {
            unloading_ = true;
        } else if (e.thread.rfind("system thread", 0) == 0) {
            // The retry worker is the system thread that opens WMI blocks. It ending before any
            // unload began, with no METHOD_REGISTER ever accepted, means it gave up.
            if (e.operation == "KeDelayExecutionThread") {
                ++attempts_[e.thread];
            } else if (e.operation == "SystemThreadExit" && !registered_ && !unloading_ && attempts_[e.thread] > 0 &&
                       !result_.retryGaveUp) {
                result_.retryGaveUp = RetryGaveUp{e.time, attempts_[e.thread]};
            }
        }
        if (e.from == "driver") {
            lastDriverCall_[e.thread] = e.operation;
        } else if (e.operation == "UnloadDriver") {
            lastUnloadRefusal_ = e.detail;
        }
        if (e.thread != "wmi") {
            return false;
        }
        if (e.operation == "WmiNotification") {
            // Each raised event fired one WmiEvent, in order; the ones queued are picked up by the
            // notification thread first in, first out, and each pick-up is delivered or dropped.
            std::optional<std::size_t> event;
            if (!queued_.empty()) {
                event = queued_.front();
                queued_.pop_front();
            }
            if (e.detail.find("event dropped") != std::string::npos) {
                if (event) {
                    result_.events[*event].droppedBeforeDelivery = true;
                }
                return false;
            }
            CloseRelay();
            Relay relay;
            relay.time = e.time;
            relay.firstSequence = e.sequence;
            if (event) {
                relay.delivered = event;
                result_.events[*event].deliveredAs = result_.relays.size();
            }
            open_.emplace();
            open_->index = result_.relays.size();
            result_.relays.push_back(std::move(relay));
            return true;
        }
        if (!open_) {
            return false;
        }
        OpenRelay& open = *open_;
        Relay& relay = result_.relays[open.index];
        if (IsMethod(e, "METHOD_GET_REQUEST", sim::firmware::kGetRequest)) {
            if (++open.getRequests == 2) {
                open.fetch = e;
            }
        } else if (IsMethod(e, "METHOD_SET_RESPONSE", sim::firmware::kSetResponse)) {
            open.setResponse = e;
        } else if (IsMethod(e, "METHOD_ACKNOWLEDGE", sim::firmware::kAcknowledge)) {
            relay.acknowledged = relay.acknowledged || (e.status && NT_SUCCESS(*e.status));
        } else if (e.operation == "ExAllocatePool2" && !open.allocationFailure) {
            open.allocationFailure = e;
        } else if (e.operation == "IRP_MJ_DEVICE_CONTROL") {
            open.sent = true;
        } else if (e.operation == "IRP completed") {
            relay.sendStatus = e.status;
        } else if (e.operation == "WdfIoTargetSendIoctlSynchronously" && e.status && !NT_SUCCESS(*e.status)) {
            open.sendFailure = e.status;
        }
        return false;
    }

    // Decides the open relay's outcome from what its calls said, and hands it to the sink.
    void CloseRelay()
    {
        if (!open_) {
            return;
        }
        const OpenRelay open = std::move(*open_);
        open_.reset();
        Relay& relay = result_.relays[open.index];
        auto allocationText = [&] {
            return "pool allocation " + open.allocationFailure->detail + " (" +
                   StatusName(open.allocationFailure->status.value_or(STATUS_UNSUCCESSFUL)) + ")";
        };
        if (open.getRequests == 0) {
            relay.outcome = Relay::Outcome::Ignored;
            relay.reason =
                open.allocationFailure ? allocationText() : "the firmware channel was not open; the callback returned";
        } else if (open.getRequests < 2) {
            relay.outcome = Relay::Outcome::Dropped;
            relay.reason = open.allocationFailure ? "exchange buffer not allocated: " + allocationText()
                                                  : "no fetch followed the size query";
        } else {
            const sim::TraceEvent& fetch = *open.fetch;
            unsigned in = 0;
            unsigned outOnEntry = 0;
            unsigned outReturned = 0;
            if (fetch.operation == "METHOD_GET_REQUEST" &&
                std::sscanf(fetch.detail.c_str(), "in %u, out %u -> %u", &in, &outOnEntry, &outReturned) == 3) {
                relay.bufferSize = outOnEntry;
                relay.dataLength = outReturned;
            }
            const NTSTATUS fetchStatus = fetch.status.value_or(STATUS_UNSUCCESSFUL);
            if (!NT_SUCCESS(fetchStatus)) {
                relay.outcome = Relay::Outcome::Dropped;
                relay.reason = "fetch failed with " + StatusName(fetchStatus) +
                               (fetchStatus == STATUS_NOT_FOUND ? " (no exchange buffer pending)" : "");
            } else {
                // Buffers in the order the firmware queued them; fetches take them in that order.
                if (fetches_ < bufferEvents_.size()) {
                    relay.event = bufferEvents_[fetches_];
                    result_.events[*relay.event].fetchedBy = open.index;
                }
                ++fetches_;
                std::optional<std::string> invalid;
                if (relay.event && relay.bufferSize && relay.dataLength) {
                    invalid =
                        ExplainValidation(*result_.events[*relay.event].buffer, *relay.bufferSize, *relay.dataLength);
                }
                if (open.sent) {
                    relay.ta = NextTaRequest();
                }
                if (open.setResponse && open.setResponse->operation == "METHOD_SET_RESPONSE") {
                    relay.handedBack = NextHandedBack();
                }
                if (!open.setResponse) {
                    relay.outcome = Relay::Outcome::Dropped;
                    if (stopping_) {
                        relay.reason = open.sent && !relay.sendStatus
                                           ? "still waiting for the TA service when the run stopped"
                                           : "still in progress when the run stopped";
                    } else if (invalid) {
                        relay.reason = "buffer failed validation: " + *invalid;
                    } else if (open.allocationFailure) {
                        relay.reason = allocationText();
                    } else {
                        relay.reason = "no METHOD_SET_RESPONSE followed the fetch";
                    }
                } else if (!relay.handedBack) {
                    relay.outcome = Relay::Outcome::Dropped;
                    relay.reason = "hand-back refused with " + StatusName(open.setResponse->status.value_or(0));
                } else if (open.sent) {
                    relay.outcome = Relay::Outcome::Forwarded;
                } else {
                    relay.outcome = Relay::Outcome::NoTarget;
                    relay.reason = open.sendFailure ? "send failed with " + StatusName(*open.sendFailure)
                                                    : "no service target held";
                }
            }
        }
        if (relay.handedBack) {
            relay.handedBackSize = relay.handedBack->size();
            if (relay.event && result_.events[*relay.event].buffer) {
                const Bytes& before = *result_.events[*relay.event].buffer;
                std::size_t changed = 0;
                for (std::size_t i = 0; i < relay.handedBack->size(); ++i) {
                    changed += i >= before.size() || before[i] != (*relay.handedBack)[i] ? 1U : 0U;
                }
                relay.changedBytes =
                    changed + (before.size() > relay.handedBack->size() ? before.size() - relay.handedBack->size() : 0);
            }
        }
        if (options_.sink != nullptr) {
            options_.sink->RelayClosed(result_, open.index);
        }
        if (!options_.keepBytes) {
            relay.handedBack.reset();
            if (relay.ta) {
                relay.ta->request = {};
                relay.ta->request.shrink_to_fit();
                relay.ta->input = {};
                relay.ta->input.shrink_to_fit();
                relay.ta->link = {};
                relay.ta->link.shrink_to_fit();
            }
        }
    }

    // The TA service's records and the firmware's hand-backs come in the order the relays made
    // them; each is taken from the model once, as its relay closes.
    std::optional<sim::TaRequest> NextTaRequest()
    {
        sim::TaServiceModel& ta = platform_->TaService();
        if (taRequests_.empty()) {
            // A record still pending belongs to a later relay, whose send has not completed.
            std::vector<sim::TaRequest> fresh = ta.Requests();
            while (taSeen_ < fresh.size() && fresh[taSeen_].status != STATUS_PENDING) {
                taRequests_.push_back(std::move(fresh[taSeen_++]));
            }
            if (taSeen_ == fresh.size() && ta.ClearRequests()) {
                taCleared_ += taSeen_;
                taSeen_ = 0;
            }
        }
        if (taRequests_.empty()) {
            return std::nullopt;
        }
        sim::TaRequest request = std::move(taRequests_.front());
        taRequests_.pop_front();
        return request;
    }

    std::optional<Bytes> NextHandedBack()
    {
        if (handedBack_.empty()) {
            std::vector<Bytes> fresh;
            platform_->Firmware().TakeHandedBack(fresh);
            for (Bytes& bytes : fresh) {
                handedBack_.push_back(std::move(bytes));
            }
        }
        if (handedBack_.empty()) {
            return std::nullopt;
        }
        Bytes bytes = std::move(handedBack_.front());
        handedBack_.pop_front();
        return bytes;
    }

    // The counts the models keep, the verifier's records and the expectations, then the sink's end.
    void End()
    {
        sim::Platform& platform = *platform_;
        Drain();
        CloseRelay();
        result_.eventsLost = platform.Wmi().EventsLost();
        result_.acks = platform.Firmware().AckCount();
        result_.registerCalls = platform.Firmware().RegisterCalls();
        result_.taRequests = platform.TaService().RequestCount() + taCleared_;
        result_.poolHighWater = platform.Pool().HighWaterBytes();
        result_.poolHighWaterByTag = platform.Pool().HighWaterBytesByTag();
        result_.poolLeftAtEnd = platform.Pool().LiveCount();
        result_.checkedOperations.clear();
        for (std::string& name : platform.Faults().CallLog()) {
            if (std::find(result_.checkedOperations.begin(), result_.checkedOperations.end(), name) ==
                result_.checkedOperations.end()) {
                result_.checkedOperations.push_back(std::move(name));
            }
        }
        result_.image = options_.image;
        result_.stackUse = platform.StackUse();
        result_.verifier = platform.Verifier().Records();
        for (sim::VerifierRecord& r : result_.verifier) {
            r.object = ids_.Apply(r.object);
            r.message = ids_.Apply(r.message);
        }
        result_.endTime = platform.Sched().Now();
        if (!result_.Unfinished()) {
            // In the order the scenario wrote them (a scenario built in code has no order: by key).
            std::vector<std::string> keys = scenario_.expectOrder;
            if (keys.size() != scenario_.expect.size()) {
                keys.clear();
                for (const auto& entry : scenario_.expect) {
                    keys.push_back(entry.first);
                }
            }
            for (const std::string& key : keys) {
                result_.expectations.push_back({key, scenario_.expect.at(key), result_.Value(key)});
            }
            // A clean ending is expected unless the scenario says otherwise.
            for (const char* key : {"left_loaded", "pool_left"}) {
                if (scenario_.expect.count(key) == 0) {
                    result_.expectations.push_back({key, 0, result_.Value(key)});
                }
            }
        }
        if (options_.sink != nullptr) {
            options_.sink->End(result_);
        }
    }

    // Runs on the thread that found the deadlock, every other registered thread blocked: nothing
    // else reads or writes the run's state now.
    void OnDeadlock(const sim::DeadlockReport& report)
    {
        if (!result_.interruptedBy && !result_.deadlock) {
            stopping_ = true;
            Drain();
            Deadlock deadlock;
            deadlock.time = report.now;
            for (const sim::DeadlockReport::Thread& t : report.threads) {
                auto call = lastDriverCall_.find(t.name);
                deadlock.threads.push_back({t.name, call == lastDriverCall_.end() ? "" : call->second,
                                            t.reason != nullptr ? t.reason
                                            : t.blocked         ? ""
                                                                : "running"});
            }
            result_.deadlock = std::move(deadlock);
            // The stuck threads hold no host lock, so the models can still be read.
            result_.loadedAtEnd = platform_->Framework().Loaded();
            End();
        }
        options_.onDeadlock(result_);
    }

    const Scenario& scenario_;
    RunResult& result_;
    const RunOptions& options_;
    sim::Platform* platform_ = nullptr;
    // The images mapped by the run's loads; unmapped only when the run and its platform are gone.
    std::vector<std::unique_ptr<sim::DriverImage>> images_;
    // Per buffer in the order raised: the TA answer chosen for it, if any.
    std::vector<std::optional<sim::TaBehaviour>> answers_;
    std::size_t fetchedBefore_ = 0; // successful fetches in firmware call logs already cleared

    StableIds ids_;
    std::vector<sim::TraceEvent> drained_;
    std::size_t raised_ = 0;                // WmiEvent records seen
    std::deque<std::size_t> queued_;        // events whose notification is queued, oldest first
    std::vector<std::size_t> bufferEvents_; // events with a buffer, in the order raised
    std::size_t fetches_ = 0;
    std::optional<OpenRelay> open_;
    std::deque<sim::TaRequest> taRequests_;
    std::size_t taSeen_ = 0;    // records in the TA model's list already taken
    std::size_t taCleared_ = 0; // records the TA model forgot
    std::deque<Bytes> handedBack_;
    bool registered_ = false;
    bool unloading_ = false;
    std::map<std::string, std::size_t> attempts_; // per system thread: its sleeps before an attempt
    std::map<std::string, std::string> lastDriverCall_;
    std::string lastUnloadRefusal_; // the detail of the last UnloadDriver record
    bool stopping_ = false;         // the run stops before its end: a relay still open is cut short
};

} // namespace

const char* OutcomeName(Relay::Outcome outcome)
{
    switch (outcome) {
    case Relay::Outcome::Forwarded:
        return "forwarded";
    case Relay::Outcome::NoTarget:
        return "handed back without the TA service";
    case Relay::Outcome::Dropped:
        return "dropped";
    case Relay::Outcome::Ignored:
        return "ignored";
    }
    return "?";
}

std::size_t RunResult::Count(Relay::Outcome outcome) const
{
    return static_cast<std::size_t>(
        std::count_if(relays.begin(), relays.end(), [outcome](const Relay& r) { return r.outcome == outcome; }));
}

std::size_t RunResult::HandedBack() const
{
    return static_cast<std::size_t>(
        std::count_if(relays.begin(), relays.end(), [](const Relay& r) { return r.handedBackSize.has_value(); }));
}

std::size_t RunResult::Unchanged() const
{
    return static_cast<std::size_t>(std::count_if(
        relays.begin(), relays.end(), [](const Relay& r) { return r.changedBytes && *r.changedBytes == 0; }));
}

std::size_t RunResult::PendingAtEnd() const
{
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [](const RaisedEvent& e) { return e.buffer && !e.fetchedBy; }));
}

std::string EventFate(const RunResult& result, std::size_t index)
{
    const RaisedEvent& event = result.events[index];
    std::string text;
    if (event.lost) {
        text = event.lostByFault ? "lost: the WMI layer dropped it (injected fault)"
                                 : "lost: no notification callback was installed";
    } else if (event.droppedBeforeDelivery) {
        text = "not delivered: the event block was released first";
    } else if (event.deliveredAs) {
        const Relay& relay = result.relays[*event.deliveredAs];
        text = "delivered as relay " + std::to_string(*event.deliveredAs + 1);
        if (relay.outcome == Relay::Outcome::Ignored) {
            text += ", ignored by the driver";
        }
    } else {
        text = "never delivered";
    }
    if (!event.buffer) {
        return text + "; no buffer of its own";
    }
    if (event.fetchedBy) {
        const Relay& relay = result.relays[*event.fetchedBy];
        const bool own = event.deliveredAs == event.fetchedBy;
        text += own ? ": " : "; its buffer fetched by relay " + std::to_string(*event.fetchedBy + 1) + ": ";
        text += OutcomeName(relay.outcome);
    } else {
        text += "; its buffer was never fetched (still pending at the end)";
    }
    return text;
}

std::string StableIds::Apply(const std::string& text)
{
    // A host address as "%p" prints it: 0x and nine or more hex digits (statuses and I/O
    // control codes have eight). Framework handles count up from 0x5f0000000000 and are stable.
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "0x") == 0 && (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1])))) {
            std::size_t end = i + 2;
            while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
            const std::string token = text.substr(i, end - i);
            const std::size_t digits = end - i - 2;
            const bool handle = digits == 12 && token.compare(0, 6, "0x5f00") == 0;
            if (digits >= 9 && digits <= 16 && !handle) {
                auto [it, inserted] = ids_.emplace(token, ids_.size() + 1);
                out += "ptr#" + std::to_string(it->second);
                i = end;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::uint64_t RunResult::Value(const std::string& key) const
{
    if (key == "events") {
        return events.size();
    }
    if (key == "lost") {
        return eventsLost;
    }
    if (key == "ignored") {
        return Count(Relay::Outcome::Ignored);
    }
    if (key == "relayed") {
        return Count(Relay::Outcome::Forwarded);
    }
    if (key == "handed_back") {
        return HandedBack();
    }
    if (key == "unchanged") {
        return Unchanged();
    }
    if (key == "dropped") {
        return Count(Relay::Outcome::Dropped);
    }
    if (key == "acks") {
        return acks;
    }
    if (key == "ta_requests") {
        return taRequests;
    }
    if (key == "register_calls") {
        return registerCalls;
    }
    if (key == "verifier_records") {
        return verifier.size();
    }
    if (key == "pending") {
        return PendingAtEnd();
    }
    if (key == "left_loaded") {
        return loadedAtEnd ? 1 : 0;
    }
    if (key == "pool_left") {
        return poolLeftAtEnd;
    }
    return 0;
}

bool RunResult::ExpectationsMet() const
{
    return std::all_of(expectations.begin(), expectations.end(), [](const Expectation& e) { return e.met(); });
}

int RunResult::ExitCode() const
{
    if (interruptedBy) {
        return 128 + *interruptedBy;
    }
    if (deadlock) {
        return kExitDeadlock;
    }
    return verifier.empty() && ExpectationsMet() ? 0 : 1;
}

RunResult RunScenario(const Scenario& scenario, const RunOptions& options)
{
    RunResult result;
    result.name = scenario.name;
    result.description = scenario.description;
    ScenarioDriver driver(scenario, result, options);
    driver.Run();
    return result;
}

RunResult RunScenario(const Scenario& scenario, const Progress& progress)
{
    RunOptions options;
    options.progress = progress;
    return RunScenario(scenario, options);
}

void Replay(const RunResult& result, RunSink& sink)
{
    std::size_t next = 0; // the next relay to open
    std::optional<std::size_t> open;
    for (const sim::TraceEvent& e : result.trace) {
        const bool opens = next < result.relays.size() && e.sequence == result.relays[next].firstSequence;
        if (opens) {
            if (open) {
                sink.RelayClosed(result, *open);
            }
            open = next++;
        }
        sink.Call(result, e, e.thread == "wmi" ? open : std::nullopt, opens);
    }
    if (open) {
        sink.RelayClosed(result, *open);
    }
    sink.End(result);
}

std::optional<std::string> ExplainValidation(const Bytes& buffer, ULONG bufferSize, ULONG dataLength)
{
    // The bounds of the exchange buffer as the firmware's interface writes them, not the driver's
    // constants: the words name the bound a buffer breaks, and a test holds them to the driver's
    // verdict. What the driver held: what the firmware copied, then the pool's zero fill.
    namespace fw = sim::firmware;
    constexpr std::size_t overhead = 2 * fw::kLengthFieldSize + fw::kTrailerSize;
    Bytes fetched(buffer);
    fetched.resize(std::max<std::size_t>(bufferSize, 2 * fw::kLengthFieldSize), 0);
    const std::string data = "DataLength " + std::to_string(dataLength);
    if (dataLength > bufferSize) {
        return data + " exceeds the " + std::to_string(bufferSize) + "-byte buffer provided for the fetch";
    }
    if (dataLength < fw::kLengthFieldSize) {
        return data + " is too short to hold RequestLength (" + std::to_string(fw::kLengthFieldSize) + " bytes)";
    }
    const ULONG requestLength = ReadU32(fetched, fw::kRequestLengthOffset);
    const auto needed = static_cast<std::uint64_t>(requestLength) + 2 * fw::kLengthFieldSize;
    if (dataLength < needed) {
        return "RequestLength " + std::to_string(requestLength) + " puts ResponseLength outside " + data + " (needs " +
               std::to_string(needed) + ")";
    }
    const ULONG responseLength = ReadU32(fetched, fw::kRequestOffset + requestLength);
    const auto total = static_cast<std::uint64_t>(requestLength) + responseLength + overhead;
    if (dataLength < total) {
        return "RequestLength " + std::to_string(requestLength) + " + ResponseLength " +
               std::to_string(responseLength) + " + " + std::to_string(overhead) + " = " + std::to_string(total) +
               " exceeds " + data + " (response area or trailer missing)";
    }
    return std::nullopt;
}

} // namespace fwtool
