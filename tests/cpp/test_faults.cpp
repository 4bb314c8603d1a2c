// Fault injection into the atom pipeline's thread starts: a phase whose
// threads cannot be started must still do every chunk exactly once, join
// every thread it did start, and the file must not change.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "fixed/fixed.h"
#include "glbcore.h"
#include "random_atoms.h"

namespace {

using glbcore::AtomPipelineOptions;
using glbcore::ThreadStarter;
using glbcore::WorkSplit;

// What the system reports when it has no thread left to give.
std::system_error no_more_threads() {
    return std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                             "injected thread start failure");
}

// Lets the first `healthy` starts through, then rethrows `fail` at every
// start. The counters are shared with the copies the pipeline keeps.
class FailingStarter {
public:
    FailingStarter(unsigned healthy, std::exception_ptr fail) : state_(std::make_shared<State>()) {
        state_->healthy = healthy;
        state_->fail = std::move(fail);
    }
    ThreadStarter starter() const {
        auto state = state_;
        return [state](std::function<void()> work) {
            if (state->attempts++ >= state->healthy) {
                ++state->failures;
                std::rethrow_exception(state->fail);
            }
            return std::thread(std::move(work));
        };
    }
    unsigned attempts() const { return state_->attempts; }
    unsigned failures() const { return state_->failures; }

private:
    struct State {
        unsigned healthy = 0;
        std::exception_ptr fail;
        std::atomic<unsigned> attempts{0};
        std::atomic<unsigned> failures{0};
    };
    std::shared_ptr<State> state_;
};

// Fails every second start, the first one included.
ThreadStarter alternating_starter(std::shared_ptr<std::atomic<unsigned>> failures) {
    auto attempts = std::make_shared<std::atomic<unsigned>>(0);
    return [attempts, failures](std::function<void()> work) {
        if ((*attempts)++ % 2 == 0) {
            ++*failures;
            throw no_more_threads();
        }
        return std::thread(std::move(work));
    };
}

// How often each item of a phase was handled, and whether workers finished.
class PhaseLog {
public:
    explicit PhaseLog(std::uint32_t count) : visits_(count) {}

    // Work on a thread other than the caller is slowed down, so a phase that
    // returned without joining would be caught with that work unfinished.
    void work(std::uint32_t begin, std::uint32_t end) {
        if (std::this_thread::get_id() != caller_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (std::uint32_t i = begin; i < end; ++i) ++visits_[i];
        ++chunks_done_;
    }
    bool every_item_once() const {
        return std::all_of(visits_.begin(), visits_.end(),
                           [](const std::atomic<unsigned>& v) { return v.load() == 1; });
    }
    unsigned chunks_done() const { return chunks_done_; }

private:
    const std::thread::id caller_ = std::this_thread::get_id();
    std::vector<std::atomic<unsigned>> visits_;
    std::atomic<unsigned> chunks_done_{0};
};

struct PhaseFault {
    const char* name;
    unsigned healthy_starts;
    std::exception_ptr fail;
};

void PrintTo(const PhaseFault& fault, std::ostream* os) { *os << fault.name; }

class RunPhaseUnderFaults : public ::testing::TestWithParam<PhaseFault> {};

// 10 items over 4 workers: chunks of 3, 3, 3 and 1.
TEST_P(RunPhaseUnderFaults, EveryChunkRunsOnceAndStartedThreadsAreJoined) {
    const PhaseFault& fault = GetParam();
    const WorkSplit split = glbcore::split_work_over(10, 4);
    FailingStarter starter(fault.healthy_starts, fault.fail);
    PhaseLog log(split.count);

    glbcore::run_phase(split, starter.starter(),
                       [&](std::uint32_t begin, std::uint32_t end) { log.work(begin, end); });

    EXPECT_TRUE(log.every_item_once());
    EXPECT_EQ(log.chunks_done(), 4u);
    EXPECT_EQ(starter.attempts(), 4u);
    EXPECT_EQ(starter.failures(), 4u - std::min(4u, fault.healthy_starts));
}

INSTANTIATE_TEST_SUITE_P(
    ThreadStartFailures, RunPhaseUnderFaults,
    ::testing::Values(
        PhaseFault{"SystemErrorAtFirstStart", 0, std::make_exception_ptr(no_more_threads())},
        PhaseFault{"SystemErrorAfterTwoStarts", 2, std::make_exception_ptr(no_more_threads())},
        PhaseFault{"BadAllocAtFirstStart", 0, std::make_exception_ptr(std::bad_alloc())},
        PhaseFault{"BadAllocAfterThreeStarts", 3, std::make_exception_ptr(std::bad_alloc())},
        PhaseFault{"NoFailure", 4, std::make_exception_ptr(no_more_threads())}),
    [](const ::testing::TestParamInfo<PhaseFault>& info) { return info.param.name; });

// A starter failing in a way the phase cannot absorb: the error leaves the
// phase, but only after the thread already started has been joined.
TEST(RunPhaseUnderFaults, UnexpectedStartErrorLeavesOnlyAfterJoining) {
    const WorkSplit split = glbcore::split_work_over(10, 4);
    FailingStarter starter(1, std::make_exception_ptr(std::logic_error("broken starter")));
    PhaseLog log(split.count);

    EXPECT_THROW(glbcore::run_phase(split, starter.starter(),
                                    [&](std::uint32_t b, std::uint32_t e) { log.work(b, e); }),
                 std::logic_error);
    EXPECT_EQ(log.chunks_done(), 1u);   // the started worker ran to its end
    EXPECT_EQ(starter.attempts(), 2u);  // no start after the failing one
}

// ---- Whole atom files under thread-start faults --------------------------

struct AtomInput : Atoms {
    std::array<double, 3> vmin{{-1.0, -2.0, 0.0}};
    std::array<double, 3> vmax{{1.0, 2.0, 5.0}};
};

// Random atoms, a few of them outside the box, many sharing cells.
AtomInput random_atoms_in_box(std::uint32_t count, unsigned seed) {
    AtomInput in;
    static_cast<Atoms&>(in) = random_atoms(count, seed, -1.5f, 5.5f);
    return in;
}

glbcore::GlbBytes atom_file(const AtomInput& in, const AtomPipelineOptions& options) {
    glbcore::VectorOutput out;
    glbcore::write_atom_glb(in.positions.data(), in.count(), in.types.data(), in.vmin.data(),
                            in.vmax.data(), options, out);
    return out.take();
}

AtomPipelineOptions options_with(std::uint32_t count, std::uint32_t workers, ThreadStarter start) {
    return AtomPipelineOptions{glbcore::interleave_for_this_processor(),
                               glbcore::split_work_over(count, workers), std::move(start)};
}

// The payload's first half: 12 bytes of position per atom, as a sorted list
// so that two payloads can be compared as multisets.
std::vector<std::array<std::uint8_t, 12>> sorted_position_records(const std::uint8_t* at,
                                                                  std::uint32_t count) {
    std::vector<std::array<std::uint8_t, 12>> records(count);
    for (std::uint32_t i = 0; i < count; ++i) std::memcpy(records[i].data(), at + 12 * i, 12);
    std::sort(records.begin(), records.end());
    return records;
}

// Every start attempt fails here; how many phases a call has depends on
// the route its input takes.

TEST(AtomFileUnderThreadFaults, NoThreadAtAllGivesTheHealthyFile) {
    const AtomInput in = random_atoms_in_box(100003, 1);
    const auto healthy =
        atom_file(in, options_with(in.count(), 1, glbcore::default_thread_starter()));
    FailingStarter starter(0, std::make_exception_ptr(no_more_threads()));

    const auto faulty = atom_file(in, options_with(in.count(), 4, starter.starter()));

    EXPECT_TRUE(faulty == healthy) << "the file changed when thread starts failed";
    EXPECT_GE(starter.attempts(), 3u * 4u);  // at least three phases of four chunks
    EXPECT_EQ(starter.failures(), starter.attempts());
}

TEST(AtomFileUnderThreadFaults, SomeThreadsMissingGivesTheHealthyFile) {
    const AtomInput in = random_atoms_in_box(100001, 2);
    const auto healthy =
        atom_file(in, options_with(in.count(), 1, glbcore::default_thread_starter()));
    auto failures = std::make_shared<std::atomic<unsigned>>(0);

    // Three workers, so the failing start moves between chunks from phase
    // to phase and both the caller and the workers write every array.
    const auto faulty = atom_file(in, options_with(in.count(), 3, alternating_starter(failures)));

    EXPECT_TRUE(faulty == healthy) << "the file changed when thread starts failed";
    EXPECT_GE(failures->load(), 3u * 3u / 2u);
}

TEST(AtomFileUnderThreadFaults, ThreadsFailingMidCallKeepEveryAtom) {
    const AtomInput in = random_atoms_in_box(120000, 3);
    // Healthy for the key phase and part of the sort, then no threads.
    FailingStarter starter(4 * 3 + 1, std::make_exception_ptr(std::bad_alloc()));

    const auto file = atom_file(in, options_with(in.count(), 4, starter.starter()));

    ASSERT_GT(starter.failures(), 0u);
    const std::size_t payload_bytes = 24 * std::size_t{in.count()};
    ASSERT_GT(file.size(), payload_bytes);
    const std::uint8_t* payload = file.data() + file.size() - payload_bytes;
    const auto written = sorted_position_records(payload, in.count());
    const auto given = sorted_position_records(
        reinterpret_cast<const std::uint8_t*>(in.positions.data()), in.count());
    EXPECT_TRUE(written == given) << "the positions are not a permutation of the input";
}

}  // namespace
