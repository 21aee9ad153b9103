// The execution timeline: events recorded into per-thread lanes without a
// lock, collected and written in the Chrome trace event format by
// stopTimeline.
//
// Lanes. Each thread records into a lane of its own, found through a
// thread-local pointer. Lanes are never destroyed (a thread may be about to
// touch its lane while another stops the recording); a thread that ends
// gives its lane up, and a later thread takes it over once its events have
// been collected.
//
// Quiescence. A thread marks its lane busy before it looks at the recording
// generation, and clears the mark (release) when done. stopTimeline sets the
// generation to 0 and then waits until no lane is busy: every thread either
// saw the 0 and left its lane alone, or finished its event before
// stopTimeline read the lane. The mark and the look must not pass each
// other, nor the 0 and the wait: with the membarrier system call the
// recording thread orders its two with a compiler barrier alone, and
// stopTimeline's call makes every running thread pass a full barrier between
// its two; without the call (or under ThreadSanitizer, which does not know
// it), the mark is a sequentially consistent store, a locked exchange on x86
// that cost a busy Task more than all the rest of an event.
//
// Names. An event holds the index of its name in the lane's own table of
// names instead of a copy: a busy Task runs the same few macros over and
// over, and a 32-byte event fills fewer pages and cache lines than one that
// carries its name. A small cache in front of the table, keyed by the
// name's length and first and last bytes and checked against the text,
// finds a name again without hashing all of it. The tables live as long as
// the lane's events, until stopTimeline has collected them; a lane keeps at
// most MAX_LANE_NAMES of them, and later new names share one stand-in.
//
// Bound. A lane grows in slices that it reserves from a budget of maxEvents
// shared by all lanes; a lane that can get no more turns into a ring and
// overwrites its own oldest events. At the end the oldest events of all
// lanes beyond maxEvents are dropped too, so the file never holds more.
#include "halvix/observe/Observe.h"

#include "halvix/observe/src/Json.h"
#include "halvix/observe/src/Switch.h"
#include "halvix/observe/src/Timeline.h"
#include "halvix/src/AsymmetricBarrier.h"
#include "halvix/src/ObserverHooks.h"
#include "halvix/src/ThreadSafety.h"
#include "halvix/utils/Utf8.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

namespace halvix::observe {

namespace {

enum class Kind : uint8_t
{
    MACRO,
    TIMER,
    QUEUE_WAIT
};

struct Event
{
    int64_t begin;     // observed ticks
    int64_t duration;  // observed ticks; a timer delivery: its lateness in nanoseconds
    int32_t value;     // macro: status; timer: id (as unsigned)
    uint32_t name;     // index into the lane's names
    Kind kind;
};
static_assert(sizeof(Event) == 32, "two events to a cache line");

// Events a lane reserves from the budget at a time.
constexpr std::size_t LANE_SLICE = 1024;
// Longest name kept, in bytes; longer names are cut (utils/Utf8.h).
constexpr std::size_t NAME_BYTES = 63;
// Distinct names a lane keeps per recording; later new names become OVERFLOW_NAME.
constexpr std::size_t MAX_LANE_NAMES = 4096;
constexpr char OVERFLOW_NAME[] = "(more names than a lane keeps)";
// Entries of a lane's name cache: 2^NAME_CACHE_BITS.
constexpr unsigned NAME_CACHE_BITS = 6;
constexpr std::size_t NAME_CACHE = std::size_t(1) << NAME_CACHE_BITS;

struct Lane
{
    // The owner is recording into the lane; see Quiescence above.
    std::atomic<bool> busy{false};
    // A live thread points at this lane. Released by the owner as its thread
    // ends, acquired by the thread that takes the lane over.
    std::atomic<bool> owned{true};
    // The fields below are written by the owner while busy; read by
    // stopTimeline after quiescence and by a thread taking the lane over,
    // both under the lanes lock.
    uint32_t generation = 0;
    std::string name;
    const char* nameSource = nullptr;  // the Task's name that `name` copies
    // Events in slices of LANE_SLICE, so that growing never copies; a ring
    // from `next` on once `ring` is set.
    std::vector<std::unique_ptr<Event[]>> slices;
    std::size_t count = 0;
    std::size_t next = 0;
    bool ring = false;
    uint64_t overwritten = 0;
    // The names events refer to (a deque: their texts never move), the
    // index of each, and the cache in front of both.
    std::deque<std::string> names;
    std::unordered_map<std::string, uint32_t> nameIndex;
    struct CachedName
    {
        const char* text = nullptr;  // names[index]
        std::size_t length = 0;
        uint32_t index = 0;
    };
    CachedName nameCache[NAME_CACHE];

    Event& at(std::size_t index) { return slices[index / LANE_SLICE][index % LANE_SLICE]; }
    void clear()
    {
        slices.clear();
        count = 0;
        next = 0;
        ring = false;
        overwritten = 0;
        names.clear();
        nameIndex.clear();
        std::fill(std::begin(nameCache), std::end(nameCache), CachedName{});
    }
};

struct Recorder
{
    internal::Mutex control;  // start and stop
    uint32_t lastGeneration HALVIX_GUARDED_BY(control) = 0;
    std::size_t maxEvents HALVIX_GUARDED_BY(control) = 0;
    int64_t start HALVIX_GUARDED_BY(control) = 0;  // observed ticks
    std::FILE* file HALVIX_GUARDED_BY(control) = nullptr;

    // Also guards the taking over of a lane; taken inside control, if at all.
    internal::Mutex lanesMutex HALVIX_ACQUIRED_AFTER(control);
    std::vector<Lane*> lanes HALVIX_GUARDED_BY(lanesMutex);  // never destroyed

    // The generation being recorded, 0 when none; see Quiescence above.
    std::atomic<uint32_t> recording{0};
    // Events lanes may still reserve. Relaxed: a count, ordered by nothing.
    std::atomic<int64_t> budget{0};
    // The process is registered for the membarrier call (see Quiescence).
    // Set once before the first recording; relaxed, as a thread that still
    // reads false only takes the sequentially consistent way, which is
    // always sound.
    std::atomic<bool> asymmetric{false};
};

Recorder& recorder()
{
    static Recorder* theRecorder = new Recorder;  // never destroyed: threads record while main returns
    return *theRecorder;
}

// The calling thread's lane; given up as the thread ends.
struct LaneHandle
{
    Lane* lane = nullptr;
    bool gone = false;  // the thread is ending: it records nothing more
    ~LaneHandle()
    {
        if (lane != nullptr) {
            lane->owned.store(false, std::memory_order_release);  // its events before the hand-over
        }
        lane = nullptr;
        gone = true;
    }
};
thread_local LaneHandle laneOfThisThread;

Lane* takeLane()
{
    Recorder& r = recorder();
    internal::MutexLock lock(r.lanesMutex);
    for (Lane* lane : r.lanes) {
        // A lane given up whose events were collected (or never made).
        if (!lane->owned.load(std::memory_order_acquire) && lane->count == 0 && lane->overwritten == 0) {
            lane->owned.store(true, std::memory_order_relaxed);
            lane->generation = 0;
            return lane;
        }
    }
    r.lanes.push_back(new Lane);
    return r.lanes.back();
}

std::string osThreadName()
{
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return "thread " + std::to_string(static_cast<long>(syscall(SYS_gettid))) + " (" + name + ")";
}

// The index of `text` among the lane's names, added when new (the owner,
// while busy).
uint32_t internName(Lane& lane, const char* text)
{
    const std::size_t length = utils::utf8PrefixLength(text, std::strlen(text), NAME_BYTES);
    // Single bytes: a short name copied into a word and read back as one
    // stalls the load that reads it back.
    uint64_t key = length;
    if (length > 0) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        key |=
            uint64_t(bytes[0]) << 8 | uint64_t(bytes[length / 2]) << 16 | uint64_t(bytes[length - 1]) << 24;
    }
    Lane::CachedName& cached = lane.nameCache[(key * 0x9E3779B97F4A7C15ull) >> (64 - NAME_CACHE_BITS)];
    if (cached.text != nullptr && cached.length == length && std::memcmp(cached.text, text, length) == 0) {
        return cached.index;
    }
    std::string name(text, length);
    auto found = lane.nameIndex.find(name);
    if (found == lane.nameIndex.end()) {
        if (lane.names.size() >= MAX_LANE_NAMES) {
            name = OVERFLOW_NAME;
            found = lane.nameIndex.find(name);
        }
        if (found == lane.nameIndex.end()) {
            found = lane.nameIndex.emplace(name, static_cast<uint32_t>(lane.names.size())).first;
            lane.names.push_back(std::move(name));
        }
    }
    const std::string& kept = lane.names[found->second];
    if (kept.size() == length) {  // not the stand-in, whose text differs
        cached = Lane::CachedName{kept.data(), length, found->second};
    }
    return found->second;
}

// Appends one event to the lane (the owner, while busy).
void push(Lane& lane, const Event& event)
{
    if (!lane.ring && lane.count == lane.slices.size() * LANE_SLICE) {
        Recorder& r = recorder();
        const int64_t left = r.budget.fetch_sub(LANE_SLICE, std::memory_order_relaxed);
        bool grown = false;
        if (left >= static_cast<int64_t>(LANE_SLICE) || lane.count == 0) {
            // A lane with nothing gets its first slice even past the budget,
            // so that every thread shows; the final cut keeps the bound.
            try {
                lane.slices.push_back(std::unique_ptr<Event[]>(new Event[LANE_SLICE]));
                grown = true;
            } catch (const std::bad_alloc&) {
                // No memory: keep what there is and overwrite the oldest.
            }
        }
        if (!grown) {
            r.budget.fetch_add(LANE_SLICE, std::memory_order_relaxed);
            lane.ring = true;
            lane.next = 0;
        }
    }
    if (lane.ring) {
        ++lane.overwritten;
        if (lane.count > 0) {  // else nothing to overwrite: the event is lost
            lane.at(lane.next) = event;
            lane.next = (lane.next + 1) % lane.count;
        }
        return;
    }
    lane.at(lane.count++) = event;
}

void record(const char* laneName, Kind kind, const char* name, int64_t begin, int64_t duration, int32_t value)
{
    if (laneOfThisThread.gone) {
        return;  // a later thread-local destructor writing a queue as the thread ends
    }
    Lane*& lane = laneOfThisThread.lane;
    if (lane == nullptr) {
        lane = takeLane();
    }
    Recorder& r = recorder();
    // The mark before the look at the generation; see Quiescence above.
    if (r.asymmetric.load(std::memory_order_relaxed)) {
        lane->busy.store(true, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        lane->busy.store(true, std::memory_order_seq_cst);
    }
    const uint32_t generation = r.recording.load(std::memory_order_seq_cst);
    if (generation != 0) {
        try {
            if (lane->generation != generation) {
                lane->generation = generation;
                lane->clear();
                lane->name.clear();
                lane->nameSource = nullptr;
            }
            // A Task's lane is named once: its name never changes.
            if (laneName != nullptr ? laneName != lane->nameSource : lane->name.empty()) {
                lane->name = laneName != nullptr ? std::string(laneName) : osThreadName();
                lane->nameSource = laneName;
            }
            push(*lane, Event{begin, duration, value, internName(*lane, name), kind});
        } catch (const std::bad_alloc&) {
            // No memory for a name: the event is lost, the thread goes on.
        }
    }
    lane->busy.store(false, std::memory_order_release);  // the event before stopTimeline's read
}

struct Collected
{
    Event event;
    uint32_t lane;  // index into the collected lanes
};

// What stopTimeline keeps of a lane whose events it collected.
struct CollectedLane
{
    std::string name;
    std::deque<std::string> names;  // the lane's event names, by index
};

void appendMetadata(std::string& out, const char* what, int pid, uint32_t tid, const std::string& value,
                    bool number)
{
    out += "{\"name\":\"";
    out += what;
    out += "\",\"ph\":\"M\",\"pid\":";
    out += std::to_string(pid);
    out += ",\"tid\":";
    out += std::to_string(tid);
    out += ",\"args\":{";
    if (number) {
        out += "\"sort_index\":" + value;
    } else {
        appendKey(out, "name");
        appendJsonString(out, value);
    }
    out += "}},\n";
}

void appendEvent(std::string& out, const Collected& item, const std::string& name, int pid, int64_t start,
                 const detail::TickScale& scale)
{
    const Event& e = item.event;
    out += "{\"name\":";
    if (e.kind == Kind::TIMER) {
        appendJsonString(out, "Timer " + std::to_string(static_cast<uint32_t>(e.value)));
    } else if (e.kind == Kind::QUEUE_WAIT) {
        appendJsonString(out, name + " full");
    } else {
        appendJsonString(out, name);
    }
    out += e.kind == Kind::MACRO   ? ",\"cat\":\"macro\",\"ph\":\"X\""
           : e.kind == Kind::TIMER ? ",\"cat\":\"timer\",\"ph\":\"i\",\"s\":\"t\""
                                   : ",\"cat\":\"queue\",\"ph\":\"X\"";
    out += ",\"ts\":";
    const int64_t beginNs = scale.toNs(e.begin - start);
    appendMicros(out, beginNs);
    if (e.kind != Kind::TIMER) {
        // The end turned into time as an instant, like the next begin: a
        // span rounded on its own could end a nanosecond after the next
        // macro on the lane begins, which viewers draw as nested.
        out += ",\"dur\":";
        appendMicros(out, scale.toNs(e.begin + e.duration - start) - beginNs);
    }
    out += ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(item.lane + 1);
    if (e.kind == Kind::MACRO) {
        out += ",\"args\":{\"status\":" + std::to_string(e.value) + "}";
    } else if (e.kind == Kind::TIMER) {
        out += ",\"args\":{\"lateUs\":";
        appendMicros(out, e.duration);
        out += "}";
    } else {
        out += ",\"args\":{\"queue\":";
        appendJsonString(out, name);
        out += "}";
    }
    out += '}';
}

}  // namespace

namespace timeline {

void queueWaited(const char* queueName, int64_t begin, int64_t end)
{
    record(nullptr, Kind::QUEUE_WAIT, queueName, begin, end - begin, 0);
}

void macroRan(const std::string& laneName, const char* macroName, int64_t begin, int64_t end, int status)
{
    record(laneName.c_str(), Kind::MACRO, macroName, begin, end - begin, status);
}

void timerDelivered(unsigned int timerId, int64_t lateNs)
{
    record(nullptr, Kind::TIMER, "", detail::nowTicks(), lateNs, static_cast<int32_t>(timerId));
}

}  // namespace timeline

bool startTimeline(const std::string& path, std::size_t maxEvents)
{
    Recorder& r = recorder();
    internal::MutexLock lock(r.control);
    if (r.file != nullptr || maxEvents == 0 || path.empty()) {
        return false;
    }
    r.file = std::fopen(path.c_str(), "w");
    if (r.file == nullptr) {
        return false;
    }
    r.maxEvents = maxEvents;
    // A count beyond the budget's range (SIZE_MAX, "no limit") would turn
    // negative and leave every lane one slice.
    r.budget.store(static_cast<int64_t>(std::min<std::size_t>(maxEvents, INT64_MAX)),
                   std::memory_order_relaxed);
    r.start = detail::nowTicks();
    static const bool asymmetric = halvix::internal::registerAsymmetricBarrier();
    r.asymmetric.store(asymmetric, std::memory_order_relaxed);  // see Recorder::asymmetric
    r.lastGeneration = r.lastGeneration + 1 == 0 ? 1 : r.lastGeneration + 1;
    // The lanes lock orders this generation after the collection of the
    // last one for threads taking lanes over.
    {
        internal::MutexLock lanes(r.lanesMutex);
        r.recording.store(r.lastGeneration, std::memory_order_seq_cst);
    }
    detail::switchTimelineHooks(true);
    return true;
}

bool stopTimeline()
{
    Recorder& r = recorder();
    internal::MutexLock lock(r.control);
    if (r.file == nullptr) {
        return false;
    }
    detail::switchTimelineHooks(false);
    r.recording.store(0, std::memory_order_seq_cst);  // before the look at the busy marks
    if (r.asymmetric.load(std::memory_order_relaxed)) {
        // Every recording thread passes a full barrier: its busy mark, if it
        // saw a generation, shows below. See Quiescence above.
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
    }

    std::vector<Collected> events;
    std::vector<CollectedLane> lanesCollected;
    uint64_t dropped = 0;
    {
        internal::MutexLock lanes(r.lanesMutex);
        for (Lane* lane : r.lanes) {
            while (lane->busy.load(std::memory_order_seq_cst)) {  // acquires the event it finishes
                std::this_thread::yield();
            }
            if (lane->generation == r.lastGeneration && (lane->count > 0 || lane->overwritten > 0)) {
                const auto index = static_cast<uint32_t>(lanesCollected.size());
                lanesCollected.push_back(CollectedLane{lane->name, std::move(lane->names)});
                for (std::size_t i = 0; i < lane->count; ++i) {
                    const Event& event = lane->at(i);
                    // A macro that began before this recording started and
                    // ended during it belongs to neither.
                    if (event.begin >= r.start) {
                        events.push_back(Collected{event, index});
                    }
                }
                dropped += lane->overwritten;
            }
            // Emptied, so that a thread may take the lane over once its owner ended.
            lane->clear();
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Collected& a, const Collected& b) { return a.event.begin < b.event.begin; });
    if (events.size() > r.maxEvents) {
        const std::size_t cut = events.size() - r.maxEvents;
        dropped += cut;
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(cut));
    }

    const detail::TickScale scale;
    const int pid = static_cast<int>(getpid());
    std::string out = "{\"traceEvents\":[\n";
    appendMetadata(out, "process_name", pid, 0, "halvix", false);
    for (uint32_t lane = 0; lane < lanesCollected.size(); ++lane) {
        appendMetadata(out, "thread_name", pid, lane + 1, lanesCollected[lane].name, false);
        appendMetadata(out, "thread_sort_index", pid, lane + 1, std::to_string(lane + 1), true);
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Collected& item = events[i];
        appendEvent(out, item, lanesCollected[item.lane].names[item.event.name], pid, r.start, scale);
        out += i + 1 < events.size() ? ",\n" : "\n";
    }
    if (events.empty()) {
        out.erase(out.size() - 2, 1);  // the comma after the last metadata event
    }
    out += "],\n\"displayTimeUnit\":\"ms\",\n\"otherData\":{\"droppedEvents\":" + std::to_string(dropped) +
           ",\"maxEvents\":" + std::to_string(r.maxEvents) + "}}\n";
    const bool written = std::fwrite(out.data(), 1, out.size(), r.file) == out.size();
    const bool closed = std::fclose(r.file) == 0;
    r.file = nullptr;
    return written && closed;
}

}  // namespace halvix::observe
