// The relay's cost per firmware event, set against the memory work the design forces on it.
//
// The driver holds the firmware's notification thread for the whole relay, so what matters is
// how far its cost per event lies above the copies it cannot avoid. Four families, each at
// exchange buffers of 64 B, 1 KiB, 16 KiB and 64 KiB:
//   DriverPath  the driver's relay on the benchmark thread: the firmware model has the buffer
//               queued and the event callback the driver registered is called on the benchmark
//               thread; the TA service echoes inline.
//   Baseline    only the memory work of that event: the pool's zero-fill of the three
//               allocations, the fetch, both areas out, the echo's answer, both areas back,
//               and the hand-back, with the three blocks placed as the pool places them.
//   Interleaved the two above in alternating batches on one thread, for their ratio: whatever
//               else the machine does slows both alike.
//   InterleavedWithRequestCopies
//               the same, with the TA service keeping a copy of each request's bytes, as the
//               tests have it; at the two sizes with targets.
//   WholeEvent  the event as the host platform runs it: the firmware raises, the WMI thread
//               relays, the test thread waits for the acknowledgement.
// DriverPath and WholeEvent run again with each Windows image that scripts/wdk-check links
// (DriverPath/x64-release, WholeEvent/arm64-debug, ...), mapped by the host's image loader in
// place of the driver linked into the bench, when the image is there (FWRELAY_IMAGE_DIR in the
// environment names the folder holding x64-release/, x64-debug/, arm64-release/ and arm64-debug/;
// the build's by default); the Arm64 ones on the emulated CPU, when the build has it.
// The table at the end gives the first two by their median batch of events, the third and
// fourth by the ratio of their medians.
// The TA service keeps no copy of a request's bytes in the other families, as in the fast relay
// fuzzer: a long run that reads none turns that copy off, and it is a whole extra pass over the
// request area that the driver does not make.
// Every relayed event is checked: the buffer handed back, one acknowledgement, exactly three
// allocations (one per relay tag) and nothing held between events. A run that breaks any of
// these is reported as an error and makes the program exit non-zero.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/driver.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/image_arm64.h"
#include "sim/image_loader.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "support/wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace wire = fwtest::wire;

constexpr std::int64_t kSizes[] = {64, 1024, std::int64_t{16} * 1024, std::int64_t{64} * 1024};
// Logs that grow with every event are dropped this often, inside the timed loop: keeping them
// is part of the platform's cost, keeping them for ever is not. A test keeps a few events'
// history; 64 events' worth held 2 MiB of the TA service's request copies at 64 KiB, twice the
// core's second-level cache, so every event's copy went to memory no test would have cold.
constexpr std::int64_t kHistoryBatch = 8;
constexpr sim::Ticks kPatience = 60 * sim::kTicksPerSecond;

// One exchange buffer size: both areas as large as each other, the trailer, and the buffer the
// driver provides for the fetch (never less than the minimum).
struct Shape {
    std::size_t size = 0;
    std::size_t request = 0;
    std::size_t response = 0;
    std::size_t provided = 0;

    static Shape Of(std::int64_t size)
    {
        Shape shape;
        shape.size = static_cast<std::size_t>(size);
        shape.request = (shape.size - wire::kExchangeOverhead) / 2;
        shape.response = shape.size - wire::kExchangeOverhead - shape.request;
        shape.provided = std::max<std::size_t>(shape.size, wire::kFetchMinimum);
        return shape;
    }
    std::size_t ResponseOffset() const { return 2 * wire::kLengthField + request; }
};

Bytes Pattern(std::size_t length, std::uint8_t seed)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((seed + i) % 251);
    }
    return bytes;
}

Bytes ExchangeBuffer(const Shape& shape)
{
    return sim::FirmwareModel::BuildExchangeBuffer(Pattern(shape.request, 1), Pattern(shape.response, 7),
                                                   {0xDE, 0xAD, 0xBE, 0xEF});
}

// What the firmware holds after any number of echoed relays of `sent`: the request at the start
// of the response area, everything else as sent.
Bytes Echoed(const Bytes& sent, const Shape& shape)
{
    Bytes expected = sent;
    std::memcpy(expected.data() + shape.ResponseOffset(), sent.data() + wire::kLengthField,
                std::min(shape.request, shape.response));
    return expected;
}

// The driver under test: the one linked into the bench, or an x64 image of it.
struct Subject {
    std::string name;  // the image's build ("x64-release"), or "" for the linked driver
    std::string image; // its fwrelay.sys
};

// A machine with the firmware present, the driver loaded with its one device, and the TA
// service present and echoing, so that the driver holds its service target.
class LoadedDriver {
public:
    explicit LoadedDriver(const Subject& subject = {}, bool keepRequestBytes = false)
    {
        firmware.SetPresent(true);
        ta.SetRequestBytesKept(keepRequestBytes);
        if (NT_SUCCESS(Load(subject)) && NT_SUCCESS(framework.AddDevice())) {
            ta.SetBehaviour(sim::TaBehaviour::Echo());
            ta.Arrive();
            platform.Sched().Settle();
        }
        callback_ = platform.Wmi().NotificationCallback(wire::kEventBlock);
    }
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    // The driver believes only a size query that succeeds, and the WMI layer fails one that has
    // no room for the output; a buffer above the driver's minimum is fetched whole only from a
    // firmware that reports its size with success.
    void AnswerSizeQuery(const Shape& shape)
    {
        firmware.SetSizeQuery(sim::SizeQuery::Succeed(static_cast<ULONG>(shape.provided)));
    }

    PDriverContext Context() const
    {
        WDFDRIVER driver = WdfGetDriver();
        if (driver == nullptr) {
            return nullptr;
        }
        // An image's context type is its own, not the one linked into the bench.
        return image_ != nullptr ? static_cast<PDriverContext>(framework.ContextOf(driver)) : GetDriverContext(driver);
    }
    bool Ready() const
    {
        PDriverContext context = Context();
        return context != nullptr && context->ServiceTarget != nullptr && firmware.Registered() && callback_ != nullptr;
    }
    // Why the driver is not ready, when the image would not map.
    const std::string& LoadProblem() const { return loadProblem_; }

    // One event on the caller's thread, as the WMI layer's notification thread delivers it: the
    // callback the driver registered, through the host's one call into driver code, for the
    // linked driver and an image alike.
    void Deliver(PDriverContext context) { sim::CallIntoDriver("WmiNotification", callback_, nullptr, context); }

    void ForgetHistory()
    {
        platform.Trace().Clear();
        firmware.ClearCalls();
        ta.ClearRequests();
        platform.Faults().ResetCounts();
    }

    // Removes the device, unloads and stops the platform; what went wrong, or "".
    std::string Finish()
    {
        for (WDFDEVICE device : framework.PnpDevices()) {
            framework.RemoveDevice(device);
        }
        platform.Sched().Settle();
        if (!framework.UnloadDriver()) {
            return "the driver could not unload";
        }
        platform.Shutdown();
        if (!platform.Verifier().Clean()) {
            return "verifier: " + platform.Verifier().Describe();
        }
        if (platform.Pool().LiveCount() != 0) {
            return "pool left after unload: " + platform.Pool().LeakReport();
        }
        return "";
    }

private:
    NTSTATUS Load(const Subject& subject)
    {
        if (subject.image.empty()) {
            return framework.LoadDriver(DriverEntry);
        }
        image_ = sim::DriverImage::Load(subject.image, sim::HostImport, &loadProblem_);
        if (image_ == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        // The linker's map beside it names the function of a fault in the image.
        image_->LoadSymbols(std::filesystem::path(subject.image).replace_extension(".map").string());
        return framework.LoadDriver(*image_);
    }

    // Declared before the platform, so the image stays mapped until the platform has stopped
    // every thread that could still run its code (a run that fails never unloads it).
    std::unique_ptr<sim::DriverImage> image_;
    std::string loadProblem_;
    WMI_NOTIFICATION_CALLBACK callback_ = nullptr;

public:
    sim::Platform platform;
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    // The firmware's hand-back list lives in this vector's memory from one event to the next.
    std::vector<Bytes> handedBack;
};

// The pool as a relay loop starts; Check() compares the pool after `events` relays with it.
class PoolWatch {
public:
    explicit PoolWatch(sim::PoolModel& pool)
        : pool_(pool), total_(pool.TotalAllocations()), byTag_(pool.AllocationsByTag()), liveCount_(pool.LiveCount()),
          liveBytes_(pool.LiveBytes())
    {
        pool_.ResetHighWater();
    }

    // Exactly one allocation of each relay tag per event, nothing else, nothing kept between
    // events, and a peak of the three allocations of one event. Reports counters; on a
    // mismatch marks the run as an error.
    void Check(benchmark::State& state, std::int64_t events, const Shape& shape) const
    {
        const auto n = static_cast<std::uint64_t>(events);
        const std::uint64_t total = pool_.TotalAllocations() - total_;
        auto byTag = pool_.AllocationsByTag();
        const std::size_t peak = pool_.HighWaterBytes() - liveBytes_;
        state.counters["allocs/event"] = events == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(n);
        state.counters["pool_peak_bytes"] = static_cast<double>(peak);

        std::string problem;
        for (std::uint32_t tag : {wire::Tag("TEMP"), wire::Tag("TARQ"), wire::Tag("TARP")}) {
            if (byTag[tag] - Before(tag) != n) {
                problem += "tag '" + sim::Verifier::TagText(tag) + "' allocated " +
                           std::to_string(byTag[tag] - Before(tag)) + " times for " + std::to_string(n) + " events; ";
            }
        }
        if (total != 3 * n) {
            problem += std::to_string(total) + " allocations for " + std::to_string(n) + " events; ";
        }
        if (pool_.LiveCount() != liveCount_ || pool_.LiveBytes() != liveBytes_) {
            problem += "pool held between events: " + pool_.LeakReport() + "; ";
        }
        const std::size_t expectedPeak = shape.provided + shape.request + shape.response;
        if (events != 0 && peak != expectedPeak) {
            problem += "pool peak " + std::to_string(peak) + " bytes, expected " + std::to_string(expectedPeak) + "; ";
        }
        if (!problem.empty()) {
            state.SkipWithError(problem.c_str());
        }
    }

private:
    std::uint64_t Before(std::uint32_t tag) const
    {
        auto it = byTag_.find(tag);
        return it == byTag_.end() ? 0 : it->second;
    }

    sim::PoolModel& pool_;
    std::uint64_t total_;
    std::map<std::uint32_t, std::uint64_t> byTag_;
    std::size_t liveCount_;
    std::size_t liveBytes_;
};

// The checks after a relay loop that ran `events` events and left `buffer` with the firmware;
// false after marking the run failed.
bool Conclude(benchmark::State& state, LoadedDriver& driver, const PoolWatch& pool, std::int64_t events,
              const Shape& shape, const Bytes& buffer, const Bytes& expected, unsigned acksBefore)
{
    const std::string finished = [&] {
        if (buffer != expected) {
            return std::string("the exchange buffer came back different from the echo's");
        }
        if (driver.firmware.AckCount() - acksBefore != static_cast<unsigned>(events)) {
            return "acknowledgements " + std::to_string(driver.firmware.AckCount() - acksBefore) + " for " +
                   std::to_string(events) + " events";
        }
        return std::string();
    }();
    if (!finished.empty()) {
        state.SkipWithError(finished.c_str());
        return false;
    }
    pool.Check(state, events, shape);
    const std::string end = driver.Finish();
    if (!end.empty()) {
        state.SkipWithError(end.c_str());
        return false;
    }
    return true;
}

// Rates over the run's whole time, for a loop that does nothing but relay.
void ReportRates(benchmark::State& state, std::int64_t events, const Shape& shape)
{
    state.SetBytesProcessed(events * static_cast<std::int64_t>(shape.size));
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

// Takes the one buffer the firmware was handed back by the last relay.
bool TakeBack(benchmark::State& state, LoadedDriver& driver, Bytes& buffer)
{
    std::vector<Bytes>& back = driver.handedBack;
    driver.firmware.TakeHandedBack(back);
    if (back.size() != 1) {
        state.SkipWithError("the relay did not hand exactly one buffer back");
        return false;
    }
    buffer = std::move(back.front());
    return true;
}

// Whether the machine loaded as the loops need it; otherwise the run is marked failed.
bool ReadyFor(benchmark::State& state, LoadedDriver& driver, const Shape& shape)
{
    if (!driver.Ready()) {
        state.SkipWithError(driver.LoadProblem().empty()
                                ? "the driver did not load with its channel registered and a service target"
                                : driver.LoadProblem().c_str());
        return false;
    }
    driver.AnswerSizeQuery(shape);
    return true;
}

// After the `events`th event of a loop: takes the buffer back for the next one, and drops the
// history now and then.
bool Relayed(benchmark::State& state, LoadedDriver& driver, Bytes& buffer, std::int64_t events)
{
    if (!TakeBack(state, driver, buffer)) {
        return false;
    }
    if (events % kHistoryBatch == 0) {
        driver.ForgetHistory();
    }
    return true;
}

// One event on the benchmark thread: the buffer handed back last time is the next request, so
// nothing is built; false after marking the run failed.
bool RelayOnce(benchmark::State& state, LoadedDriver& driver, PDriverContext context, Bytes& buffer,
               std::int64_t& events)
{
    driver.firmware.QueueRequest(std::move(buffer));
    driver.Deliver(context);
    return Relayed(state, driver, buffer, ++events);
}

// Events are timed in batches of this many; a family is known by its median batch, so that a
// batch during which other work on the machine took the processor moves nothing.
constexpr std::int64_t kBatch = 128;
using Clock = std::chrono::steady_clock;

// The time per event of each batch of kBatch events, and the median of them.
class BatchTimes {
public:
    void Add(Clock::time_point start, Clock::time_point end)
    {
        perEvent_.push_back(std::chrono::duration<double, std::micro>(end - start).count() / kBatch);
    }
    // 0 before a whole batch has run.
    double Median()
    {
        if (perEvent_.empty()) {
            return 0;
        }
        auto middle = perEvent_.begin() + static_cast<std::ptrdiff_t>(perEvent_.size() / 2);
        std::nth_element(perEvent_.begin(), middle, perEvent_.end());
        return *middle;
    }

private:
    std::vector<double> perEvent_;
};

// Cuts a loop that runs one event per iteration into batches of kBatch events.
class BatchTimer {
public:
    void Tick()
    {
        if (++events_ == kBatch) {
            const Clock::time_point now = Clock::now();
            times_.Add(start_, now);
            start_ = now;
            events_ = 0;
        }
    }
    // The median batch's time per event, as the counter the table reads; none before a whole
    // batch has run.
    void Report(benchmark::State& state)
    {
        if (const double median = times_.Median(); median > 0) {
            state.counters["median_us"] = median;
        }
    }

private:
    Clock::time_point start_ = Clock::now();
    std::int64_t events_ = 0;
    BatchTimes times_;
};

void DriverPath(benchmark::State& state, const Subject& subject)
{
    const Shape shape = Shape::Of(state.range(0));
    LoadedDriver driver(subject);
    if (!ReadyFor(state, driver, shape)) {
        return;
    }
    Bytes buffer = ExchangeBuffer(shape);
    const Bytes expected = Echoed(buffer, shape);
    PDriverContext context = driver.Context();

    // One event outside the timing counts what an event asks of the host platform: the calls
    // the fault injector counts (WMI method calls, allocations, the send), the frees, and the
    // trace records it leaves. The relay's two run-down acquire/release pairs are not counted
    // anywhere; they are added to the calls below.
    constexpr double kRundownCalls = 4;
    driver.ForgetHistory();
    const std::uint64_t allocationsBefore = driver.platform.Pool().TotalAllocations();
    driver.firmware.QueueRequest(std::move(buffer));
    driver.Deliver(context);
    if (!TakeBack(state, driver, buffer)) {
        return;
    }
    const auto fallible = static_cast<double>(driver.platform.Faults().TotalCount());
    const auto frees = static_cast<double>(driver.platform.Pool().TotalAllocations() - allocationsBefore);
    state.counters["platform_calls/event"] = fallible + frees + kRundownCalls;
    state.counters["trace_records/event"] = static_cast<double>(driver.platform.Trace().Size());
    driver.ForgetHistory();

    const unsigned acks = driver.firmware.AckCount();
    const PoolWatch pool(driver.platform.Pool());
    std::int64_t events = 0;
    BatchTimer batches;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        if (!RelayOnce(state, driver, context, buffer, events)) {
            return;
        }
        batches.Tick();
    }
    if (Conclude(state, driver, pool, events, shape, buffer, expected, acks)) {
        ReportRates(state, events, shape);
        batches.Report(state);
    }
}

void WholeEvent(benchmark::State& state, const Subject& subject)
{
    const Shape shape = Shape::Of(state.range(0));
    LoadedDriver driver(subject);
    if (!ReadyFor(state, driver, shape)) {
        return;
    }
    Bytes buffer = ExchangeBuffer(shape);
    const Bytes expected = Echoed(buffer, shape);
    sim::Scheduler& sched = driver.platform.Sched();
    const unsigned acks = driver.firmware.AckCount();
    unsigned awaited = acks;
    const std::function<bool()> acknowledged = [&] { return driver.firmware.AckCount() == awaited; };
    const PoolWatch pool(driver.platform.Pool());
    std::int64_t events = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        ++awaited;
        driver.firmware.RaiseEvent(std::move(buffer));
        if (!sched.RunUntil(acknowledged, sched.Now() + kPatience)) {
            state.SkipWithError("no acknowledgement within a virtual minute");
            return;
        }
        if (!Relayed(state, driver, buffer, ++events)) {
            return;
        }
    }
    if (Conclude(state, driver, pool, events, shape, buffer, expected, acks)) {
        ReportRates(state, events, shape);
    }
}

// A buffer placed where the pool places a block of its size: a block of a page or more starts
// a page. Where a copy's source and destination lie within their pages decides whether the
// processor stalls on false dependencies between them, so the baseline's copies run between
// buffers laid out as the driver's are, not wherever the heap happens to put them.
class PoolPlaced {
public:
    explicit PoolPlaced(std::size_t size) : storage_(size + PageSize()), data_(storage_.data()), size_(size)
    {
        if (size >= PageSize()) {
            const auto address = reinterpret_cast<std::uintptr_t>(data_);
            data_ += (PageSize() - address % PageSize()) % PageSize();
        }
    }
    // data_ points into storage_: a copy would point into the original's.
    PoolPlaced(const PoolPlaced&) = delete;
    PoolPlaced& operator=(const PoolPlaced&) = delete;
    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    static std::size_t PageSize()
    {
        // sysconf reports -1 for a limit it cannot tell; the kernel pool's page is 4 KiB.
        static const std::size_t size = [] {
            const long page = sysconf(_SC_PAGESIZE);
            return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
        }();
        return size;
    }
    Bytes storage_;
    std::uint8_t* data_;
    std::size_t size_;
};

// The memory work of one event, on buffers allocated once.
class BaselineWork {
public:
    explicit BaselineWork(const Shape& shape)
        : shape_(shape), delivered_(ExchangeBuffer(shape)), exchange_(shape.provided), request_(shape.request),
          response_(shape.response), handedBack_(shape.size)
    {}

    void Run()
    {
        std::uint8_t* const requestArea = exchange_.data() + wire::kLengthField;
        std::uint8_t* const responseArea = exchange_.data() + shape_.ResponseOffset();
        // The pool zero-fills all three allocations.
        std::memset(exchange_.data(), 0, exchange_.size());
        std::memset(request_.data(), 0, request_.size());
        std::memset(response_.data(), 0, response_.size());
        benchmark::ClobberMemory();
        // Fetch, then both areas out to the TA service's view, and its answer: the echo writes
        // the request into the response area...
        std::memcpy(exchange_.data(), delivered_.data(), shape_.size);
        std::memcpy(request_.data(), requestArea, shape_.request);
        std::memcpy(response_.data(), responseArea, shape_.response);
        benchmark::ClobberMemory();
        std::memcpy(response_.data(), request_.data(), std::min(shape_.request, shape_.response));
        benchmark::ClobberMemory();
        // ...back into the exchange buffer, and the whole buffer back to the firmware.
        std::memcpy(requestArea, request_.data(), shape_.request);
        std::memcpy(responseArea, response_.data(), shape_.response);
        std::memcpy(handedBack_.data(), exchange_.data(), shape_.size);
        benchmark::ClobberMemory();
    }

    // Whether the copies, run at least once, left the firmware what the echo would.
    bool Reproduces()
    {
        benchmark::DoNotOptimize(handedBack_.data());
        return handedBack_ == Echoed(delivered_, shape_);
    }

private:
    Shape shape_;
    Bytes delivered_; // the firmware's side
    PoolPlaced exchange_;
    PoolPlaced request_;
    PoolPlaced response_;
    Bytes handedBack_;
};

void Baseline(benchmark::State& state)
{
    const Shape shape = Shape::Of(state.range(0));
    BaselineWork work(shape);
    BatchTimer batches;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        work.Run();
        batches.Tick();
    }
    if (!work.Reproduces()) {
        state.SkipWithError("the baseline's copies do not reproduce the echoed buffer");
        return;
    }
    batches.Report(state);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(shape.size));
}

// The driver path and the baseline in alternating batches on one thread, so that a change in
// the machine's load between the families above, minutes apart, does not enter their ratio, the
// figure with a target. Contention within the run still moves it: the driver path suffers more
// from a busy sibling core than the memory-bound baseline. Each iteration times one batch of
// each; the ratio reported is of their medians, so a batch that lost the processor moves
// nothing.
void RunInterleaved(benchmark::State& state, bool keepRequestBytes)
{
    const Shape shape = Shape::Of(state.range(0));
    LoadedDriver driver({}, keepRequestBytes);
    if (!ReadyFor(state, driver, shape)) {
        return;
    }
    BaselineWork baseline(shape);
    Bytes buffer = ExchangeBuffer(shape);
    const Bytes expected = Echoed(buffer, shape);
    PDriverContext context = driver.Context();
    driver.ForgetHistory();
    const unsigned acks = driver.firmware.AckCount();
    const PoolWatch pool(driver.platform.Pool());
    BatchTimes driverBatches;
    BatchTimes baselineBatches;
    std::int64_t events = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        const Clock::time_point start = Clock::now();
        for (std::int64_t i = 0; i < kBatch; ++i) {
            if (!RelayOnce(state, driver, context, buffer, events)) {
                return;
            }
        }
        const Clock::time_point middle = Clock::now();
        for (std::int64_t i = 0; i < kBatch; ++i) {
            baseline.Run();
        }
        const Clock::time_point end = Clock::now();
        driverBatches.Add(start, middle);
        baselineBatches.Add(middle, end);
    }
    if (!baseline.Reproduces()) {
        state.SkipWithError("the baseline's copies do not reproduce the echoed buffer");
        return;
    }
    const double driverMedian = driverBatches.Median();
    const double baselineMedian = baselineBatches.Median();
    state.counters["driver_us"] = driverMedian;
    state.counters["baseline_us"] = baselineMedian;
    state.counters["driver/baseline"] = baselineMedian > 0 ? driverMedian / baselineMedian : 0.0;
    Conclude(state, driver, pool, events, shape, buffer, expected, acks);
}

void Interleaved(benchmark::State& state)
{
    RunInterleaved(state, false);
}

void InterleavedWithRequestCopies(benchmark::State& state)
{
    RunInterleaved(state, true);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (std::int64_t size : kSizes) {
        b->Arg(size);
    }
    // The whole event spends most of its time on other threads: wall time is what counts.
    b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

// The images in the folder FWRELAY_IMAGE_DIR names (the build's by default) that are there.
std::string ImageFolder()
{
    const char* chosen = std::getenv("FWRELAY_IMAGE_DIR");
    return chosen != nullptr ? chosen : FWRELAY_IMAGE_DIR;
}

std::vector<Subject> Images()
{
    const std::filesystem::path folder = ImageFolder();
    std::vector<Subject> images;
    for (const char* build : {"x64-release", "x64-debug", "arm64-release", "arm64-debug"}) {
        const std::filesystem::path image = folder / build / "fwrelay.sys";
        if (std::strncmp(build, "arm64", 5) == 0 && !sim::arm64::Available()) {
            continue; // this build has no emulated CPU to run them on
        }
        if (std::filesystem::is_regular_file(image)) {
            images.push_back({build, image.string()});
        }
    }
    return images;
}

using DriverFamily = void (*)(benchmark::State&, const Subject&);

// The linked driver, then each image, one after the other.
void RegisterDriverFamily(const char* name, DriverFamily family, const std::vector<Subject>& images)
{
    benchmark::RegisterBenchmark(name, family, Subject{})->Apply(Sizes);
    for (const Subject& image : images) {
        benchmark::RegisterBenchmark((std::string(name) + "/" + image.name).c_str(), family, image)->Apply(Sizes);
    }
}

void RegisterFamilies(const std::vector<Subject>& images)
{
    benchmark::RegisterBenchmark("Baseline", Baseline)->Apply(Sizes);
    RegisterDriverFamily("DriverPath", DriverPath, images);
    benchmark::RegisterBenchmark("Interleaved", Interleaved)->Apply(Sizes);
    benchmark::RegisterBenchmark("InterleavedWithRequestCopies", InterleavedWithRequestCopies)
        ->Arg(std::int64_t{16} * 1024)
        ->Arg(std::int64_t{64} * 1024)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    RegisterDriverFamily("WholeEvent", WholeEvent, images);
}

// The console report, then one table that sets the families side by side per size.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<Subject> images) : images_(std::move(images)) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed_ = true;
            } else if (run.run_type == Run::RT_Iteration) {
                const std::string key = run.run_name.function_name + "/" + run.run_name.args;
                microseconds_[key] = run.GetAdjustedRealTime();
                cpuMicroseconds_[key] = run.GetAdjustedCPUTime();
                Keep(run, "platform_calls/event", calls_, key);
                Keep(run, "driver/baseline", interleaved_, key);
                Keep(run, "median_us", medianMicroseconds_, key);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Baseline and driver path are known by their median batch, so that a burst of other work
    // on the machine does not enter the ratio; their CPU time over the whole loop stands in when
    // no batch ran. The whole event spans threads and is shown in wall time.
    void PrintTable() const
    {
        std::printf("\n%8s %14s %14s %16s %12s %14s %14s %14s\n", "size", "baseline us", "driver us", "driver/baseline",
                    "interleaved", "with copies", "whole us", "whole/driver");
        for (std::int64_t size : kSizes) {
            const double baseline = Typical("Baseline", size);
            const double driver = Typical("DriverPath", size);
            const double interleaved = Find(interleaved_, "Interleaved", size);
            const double withCopies = Find(interleaved_, "InterleavedWithRequestCopies", size);
            const double whole = Find(microseconds_, "WholeEvent", size);
            if (baseline < 0 && driver < 0 && interleaved < 0 && withCopies < 0 && whole < 0) {
                continue;
            }
            std::printf("%8lld %14s %14s %16s %12s %14s %14s %14s\n", static_cast<long long>(size),
                        Text(baseline).c_str(), Text(driver).c_str(), Ratio(driver, baseline).c_str(),
                        Text(interleaved).c_str(), Text(withCopies).c_str(), Text(whole).c_str(),
                        Ratio(whole, Find(microseconds_, "DriverPath", size)).c_str());
        }
        std::printf("targets: driver/baseline <= 2 at 16384 and <= 1.3 at 65536; baseline and driver us are their "
                    "median batches of %lld events; \"interleaved\" is the ratio of the two timed in alternating "
                    "batches; \"with copies\" is that ratio with the TA service keeping a copy of each request's "
                    "bytes\n",
                    static_cast<long long>(kBatch));
        const std::int64_t smallest = kSizes[0];
        const double baseline = Typical("Baseline", smallest);
        const double driver = Typical("DriverPath", smallest);
        auto calls = calls_.find("DriverPath/" + std::to_string(smallest));
        if (baseline >= 0 && driver >= 0 && calls != calls_.end() && calls->second > 0) {
            const double fixed = driver - baseline;
            std::printf("host platform's fixed cost at %lld B: %.3f us per event, %.0f platform calls per event, "
                        "%.0f ns per call\n",
                        static_cast<long long>(smallest), fixed, calls->second, 1000.0 * fixed / calls->second);
        }
    }

    // Each image beside the linked driver: the driver path by its median batch, the whole event
    // in wall time, each with its ratio to the linked driver's.
    void PrintImageTable() const
    {
        if (images_.empty()) {
            std::printf("\nno x64 image in %s: the linked driver only (scripts/wdk-check links them)\n",
                        ImageFolder().c_str());
            return;
        }
        std::printf("\n%8s %14s", "size", "driver us");
        for (const Subject& image : images_) {
            std::printf(" %14s %8s", image.name.c_str(), "/linked");
        }
        std::printf(" %14s", "whole us");
        for (const Subject& image : images_) {
            std::printf(" %14s %8s", image.name.c_str(), "/linked");
        }
        std::printf("\n");
        for (std::int64_t size : kSizes) {
            const double driver = Typical("DriverPath", size);
            const double whole = Find(microseconds_, "WholeEvent", size);
            std::string line;
            bool any = driver >= 0 || whole >= 0;
            for (const char* family : {"DriverPath", "WholeEvent"}) {
                const bool path = family[0] == 'D';
                const double linked = path ? driver : whole;
                line += " " + Column(Text(linked), 14);
                for (const Subject& image : images_) {
                    const std::string name = std::string(family) + "/" + image.name;
                    const double time = path ? Typical(name, size) : Find(microseconds_, name, size);
                    any = any || time >= 0;
                    line += " " + Column(Text(time), 14) + " " + Column(Ratio(time, linked), 8);
                }
            }
            if (any) {
                std::printf("%8lld%s\n", static_cast<long long>(size), line.c_str());
            }
        }
        std::printf("the images (%s) in place of the linked driver: \"driver us\" is the median batch of %lld "
                    "events on the benchmark thread, \"whole us\" the whole event's wall time\n",
                    ImageFolder().c_str(), static_cast<long long>(kBatch));
    }

    bool Failed() const { return failed_; }

private:
    static void Keep(const Run& run, const char* counter, std::map<std::string, double>& into, const std::string& key)
    {
        auto it = run.counters.find(counter);
        if (it != run.counters.end()) {
            into[key] = it->second.value;
        }
    }
    static std::string Column(const std::string& text, std::size_t width)
    {
        return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
    }
    double Typical(const std::string& family, std::int64_t size) const
    {
        const double median = Find(medianMicroseconds_, family, size);
        return median >= 0 ? median : Find(cpuMicroseconds_, family, size);
    }
    static double Find(const std::map<std::string, double>& times, const std::string& family, std::int64_t size)
    {
        auto it = times.find(family + "/" + std::to_string(size));
        return it == times.end() ? -1.0 : it->second;
    }
    static std::string Text(double value)
    {
        if (value < 0) {
            return "-";
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", value);
        return text;
    }
    static std::string Ratio(double numerator, double denominator)
    {
        return numerator < 0 || denominator <= 0 ? "-" : Text(numerator / denominator);
    }

    std::map<std::string, double> microseconds_;
    std::map<std::string, double> cpuMicroseconds_;
    std::map<std::string, double> calls_;
    std::map<std::string, double> interleaved_;
    std::map<std::string, double> medianMicroseconds_;
    std::vector<Subject> images_;
    bool failed_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    std::vector<Subject> images = Images();
    RegisterFamilies(images);
    RatioReporter reporter(std::move(images));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    reporter.PrintImageTable();
    benchmark::Shutdown();
    return reporter.Failed() ? 1 : 0;
}
