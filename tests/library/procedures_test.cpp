// The drive procedures frame by frame, against a scripted drive on the fake adapter: what each
// step writes and reads, what it refuses to write, and how it ends when the drive does not go on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "library_fixture.h"

namespace orvex::test {
namespace {

// Statuswords as a drive shows each state.
constexpr std::uint32_t kSwitchOnDisabled = 0x0250;
constexpr std::uint32_t kReadyToSwitchOn = 0x0231;
constexpr std::uint32_t kSwitchedOn = 0x0233;
constexpr std::uint32_t kOperationEnabled = 0x0237;
constexpr std::uint32_t kQuickStopActive = 0x0217;
constexpr std::uint32_t kFaultReaction = 0x021F;
constexpr std::uint32_t kFault = 0x0218;
constexpr std::uint32_t kTargetReached = 1u << 10;
constexpr std::uint32_t kBit12 = 1u << 12;
constexpr std::uint32_t kBit13 = 1u << 13;

// A drive the test scripts: an object dictionary that uploads answer from (an absent object
// aborts), downloads store into, and a rule that turns each controlword into a new statusword. Its
// state is shared with the adapter's thread, which may still be answering when the test moves on.
// It can refuse downloads to an object, confirm downloads as a forwarding adapter passes the
// server's confirmation on, and look at its controlword once a cycle as real drives do.
class ScriptedDrive {
  public:
    using Rule = std::function<std::uint32_t(std::uint32_t controlword, std::uint32_t statusword)>;

    ScriptedDrive(std::uint32_t statusword, Rule rule) : state_(std::make_shared<State>()) {
        state_->rule = std::move(rule);
        set(0x6041, statusword);
        set(0x6061, 1);  // profile position
    }
    void set(std::uint16_t index, std::uint32_t value) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->objects[index] = value;
    }
    std::uint32_t get(std::uint16_t index) const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->objects[index];
    }
    // Downloads to `index` are refused with `code`.
    void refuse(std::uint16_t index, std::uint32_t code) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->refused[index] = code;
    }
    void confirm_downloads() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->confirms = true;
    }
    // The rule sees the controlword once every `cycle`: the value written last before each tick.
    void sample_every(std::chrono::milliseconds cycle) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->cycle = cycle;
        state_->last_tick = std::chrono::steady_clock::now();
    }
    // Statuswords the drive shows on its next reads, one each, before the rule's state returns.
    void then_show(std::vector<std::uint32_t> statuswords) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->queued = std::move(statuswords);
    }
    FakeAdapter::Responder responder() const {
        return [state = state_](const Frame& request) { return state->answer(request); };
    }

  private:
    struct State {
        using Clock = std::chrono::steady_clock;
        std::mutex mutex;
        Rule rule;
        std::map<std::uint16_t, std::uint32_t> objects;
        std::map<std::uint16_t, std::uint32_t> refused;
        std::vector<std::uint32_t> queued;
        bool confirms = false;
        std::chrono::milliseconds cycle{0};
        Clock::time_point last_tick;
        std::vector<std::pair<Clock::time_point, std::uint32_t>> writes;  // controlwords, sampled

        // The cycles that have passed: each applies the rule to the controlword of its tick.
        void run_cycles() {
            const Clock::time_point now = Clock::now();
            while (last_tick + cycle <= now) {
                last_tick += cycle;
                std::uint32_t controlword = objects[0x6040];
                for (const auto& write : writes)
                    if (write.first <= last_tick) controlword = write.second;
                objects[0x6040] = controlword;
                if (rule) objects[0x6041] = rule(controlword, objects[0x6041]);
            }
            while (!writes.empty() && writes.front().first <= last_tick)
                writes.erase(writes.begin());
        }

        std::vector<Reply> answer(const Frame& request) {
            std::lock_guard<std::mutex> lock(mutex);
            if (cycle.count() > 0) run_cycles();
            const std::uint16_t index = index_of(request);
            if (request[2] == 0x40) {
                std::uint32_t value = 0;
                if (index == 0x6041 && !queued.empty()) {
                    value = queued.front();
                    queued.erase(queued.begin());
                } else if (objects.count(index) != 0) {
                    value = objects[index];
                } else {
                    return {Reply{bytes_of(sdo_abort(request[1], index, request[5], 0x06020000))}};
                }
                return {Reply{bytes_of(sdo_answer(request[1], index, request[5], value, 0x4B))}};
            }
            const auto value = static_cast<std::uint32_t>(request[6] | request[7] << 8 |
                                                          request[8] << 16 | request[9] << 24);
            if (refused.count(index) != 0)
                return {Reply{bytes_of(sdo_abort(request[1], index, request[5], refused[index]))}};
            if (index == 0x6040 && cycle.count() > 0) {
                writes.emplace_back(Clock::now(), value);
            } else {
                objects[index] = value;
                if (index == 0x6040 && rule) objects[0x6041] = rule(value, objects[0x6041]);
            }
            if (!confirms) return {};
            Frame confirmation = sdo_answer(request[1], index, request[5], 0, 0x60);
            return {Reply{bytes_of(confirmation)}};
        }
    };
    std::shared_ptr<State> state_;
};

// The power-state transitions a drive takes (and nothing else).
std::uint32_t follow_402(std::uint32_t controlword, std::uint32_t statusword) {
    switch (controlword & 0x8F) {
        case 0x06:
            return kReadyToSwitchOn;
        case 0x07:
            return statusword == kReadyToSwitchOn ? kSwitchedOn : statusword;
        case 0x0F:
            return statusword == kSwitchedOn ? kOperationEnabled : statusword;
        case 0x00:
            return statusword == kFault ? kFault : kSwitchOnDisabled;
        case 0x02:  // quick stop, option code 2: the ramp, then switch on disabled
            return statusword == kFault ? kFault : kSwitchOnDisabled;
        case 0x80:
        case 0x8F:
            return statusword == kFault ? kSwitchOnDisabled : statusword;
        default:
            return statusword;
    }
}

const char* const kReadStatus = "06 01 40 41 60 00 00 00 00 00 0D 0A";
const char* const kReadMode = "06 01 40 61 60 00 00 00 00 00 0D 0A";
// This drive's adapter forwards no download confirmations: each write is read back at once.
const char* const kReadControl = "06 01 40 40 60 00 00 00 00 00 0D 0A";

std::string controlword(std::uint16_t value) {
    char text[64];
    std::snprintf(text, sizeof text, "06 01 2B 40 60 00 %02X %02X 00 00 0D 0A", value & 0xFF,
                  value >> 8);
    return text;
}

class Procedures : public LibraryTest {
  protected:
    void use(const ScriptedDrive& drive) { adapter.set_responder(drive.responder()); }
    // Every frame written so far, once there are at least `count`.
    std::vector<std::string> written(std::size_t count = 0) {
        std::vector<std::string> text;
        for (const Frame& f : adapter.frames(count)) text.push_back(hex(f));
        return text;
    }
};

TEST_F(Procedures, EnableTakesOneConfirmedTransitionAtATimeFromEveryState) {
    using V = std::vector<std::string>;
    const V up_from_switched_on = {controlword(0x0F), kReadControl, kReadStatus};
    const V up_from_ready = {controlword(0x07), kReadControl, kReadStatus,
                             controlword(0x0F), kReadControl, kReadStatus};
    const V up_from_disabled = {controlword(0x06), kReadControl, kReadStatus,
                                controlword(0x07), kReadControl, kReadStatus,
                                controlword(0x0F), kReadControl, kReadStatus};
    auto then = [](V head, const V& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const struct {
        std::uint32_t from;
        V after_first_read;
    } rows[] = {
        {kOperationEnabled, {}},
        {kSwitchedOn, up_from_switched_on},
        {kReadyToSwitchOn, up_from_ready},
        {kSwitchOnDisabled, up_from_disabled},
        // Quick stop active: stands already (bit 10), so disable voltage, then the walk up.
        {kQuickStopActive | kTargetReached,
         then({controlword(0x00), kReadControl, kReadStatus}, up_from_disabled)},
    };
    for (const auto& row : rows) {
        ScriptedDrive drive(row.from, follow_402);
        use(drive);
        adapter.clear();
        EXPECT_EQ(Orvex_Enable(1, 1000), 1) << std::hex << row.from;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
        const std::vector<std::string> expected = then({kReadStatus}, row.after_first_read);
        EXPECT_EQ(written(expected.size()), expected) << std::hex << row.from;
    }
}

TEST_F(Procedures, AQuickStopStillBrakingIsWaitedOutBeforeDisableVoltage) {
    ScriptedDrive drive(kQuickStopActive, follow_402);
    drive.then_show({kQuickStopActive, kQuickStopActive});  // the first read, then one poll braking
    use(drive);
    drive.set(0x6041, kQuickStopActive | kTargetReached);
    ASSERT_EQ(Orvex_Enable(1, 1000), 1);
    const std::vector<std::string> frames = written(4);
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(frames[0], kReadStatus);
    EXPECT_EQ(frames[1], kReadStatus);  // still braking
    EXPECT_EQ(frames[2], kReadStatus);  // standing only now
    EXPECT_EQ(frames[3], controlword(0x00));
}

TEST_F(Procedures, NothingIsWrittenToADriveInFaultOrNotEnabled) {
    const struct {
        const char* call;
        std::uint32_t statusword;
        std::function<int()> run;
        int outcome;
    } rows[] = {
        {"enable in fault", kFault, [] { return Orvex_Enable(1, 200); }, ORVEX_DRIVE_FAULT},
        {"enable in fault reaction", kFaultReaction, [] { return Orvex_Enable(1, 200); },
         ORVEX_DRIVE_FAULT},
        {"halt switched on", kSwitchedOn, [] { return Orvex_Halt(1, 200); }, ORVEX_WRONG_STATE},
        {"halt disabled", kSwitchOnDisabled, [] { return Orvex_Halt(1, 200); }, ORVEX_WRONG_STATE},
        {"halt in fault", kFault, [] { return Orvex_Halt(1, 200); }, ORVEX_DRIVE_FAULT},
        {"disable in fault", kFault, [] { return Orvex_Disable(1, 200); }, ORVEX_DRIVE_FAULT},
        {"home switched on", kSwitchedOn, [] { return Orvex_Home(1, 200); }, ORVEX_WRONG_STATE},
        {"move quick-stopped", kQuickStopActive, [] { return Orvex_MoveTo(1, 5, 0, 200); },
         ORVEX_WRONG_STATE},
    };
    for (const auto& row : rows) {
        ScriptedDrive drive(row.statusword, follow_402);
        use(drive);
        adapter.clear();
        EXPECT_EQ(row.run(), 0) << row.call;
        EXPECT_EQ(Orvex_LastResult(), row.outcome) << row.call;
        for (const std::string& frame : written())
            EXPECT_NE(frame.substr(6, 2), "2B") << row.call << ": wrote " << frame;
    }
}

TEST_F(Procedures, MoveMakesTheSetPointHandshake) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    // Acknowledged on the second look after the trigger.
    drive.then_show({kOperationEnabled | kBit12 | kTargetReached, kOperationEnabled,
                     kOperationEnabled, kOperationEnabled | kBit12});
    use(drive);
    ASSERT_EQ(Orvex_MoveTo(1, 500, ORVEX_MOVE_IMMEDIATE, 1000), 1);
    EXPECT_EQ(written(14), (std::vector<std::string>{
                               kReadStatus,
                               kReadMode,          // one round trip; bit 12 high
                               kReadControl,       // (this drive hides its controlword)
                               controlword(0x0F),  // bit 4 low
                               kReadControl,
                               kReadStatus,  // bit 12 has fallen: no set-point waits
                               "06 01 23 7A 60 00 F4 01 00 00 0D 0A",
                               "06 01 40 7A 60 00 00 00 00 00 0D 0A",
                               controlword(0x3F),  // rising edge, change set immediately
                               kReadControl,
                               kReadStatus,
                               kReadStatus,        // acknowledged on the second look
                               controlword(0x0F),  // bit 4 low again
                               kReadControl,
                           }));
    // Relative, after the move under way: bit 6 without bit 5.
    drive.then_show({kOperationEnabled, kOperationEnabled | kBit12});
    adapter.clear();
    ASSERT_EQ(Orvex_MoveTo(1, -200, ORVEX_MOVE_RELATIVE, 1000), 1);
    // Bit 4 is low already (0x000F read back): no write before the target.
    EXPECT_EQ(written(6)[5], controlword(0x5F));
}

TEST_F(Procedures, ADriveThatNeverAcknowledgesTimesOutWithBit4BroughtLow) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    use(drive);
    const long long ms = millis_of([] { EXPECT_EQ(Orvex_MoveTo(1, 500, 0, 150), 0); });
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 1000);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(50));  // the last frame reaches the adapter
    const std::vector<std::string> frames = written();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], controlword(0x0F));
}

TEST_F(Procedures, MoveNeedsProfilePositionMode) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    drive.set(0x6061, 6);
    use(drive);
    EXPECT_EQ(Orvex_MoveTo(1, 500, 0, 200), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_WRONG_STATE);
    EXPECT_EQ(written(), (std::vector<std::string>{kReadStatus, kReadMode, kReadControl}));
}

TEST_F(Procedures, WaitTargetEndsOnEveryWayTheDriveCanStop) {
    const struct {
        const char* what;
        std::uint32_t mode;
        std::vector<std::uint32_t> statuswords;
        std::uint32_t controlword;
        int result, outcome;
    } rows[] = {
        {"reached", 1, {kOperationEnabled, kOperationEnabled | kTargetReached}, 0x0F, 1, ORVEX_OK},
        {"halted", 1, {kOperationEnabled | kTargetReached}, 0x10F, 0, ORVEX_STATE_CHANGED},
        {"quick stop", 1, {kOperationEnabled, kQuickStopActive}, 0x02, 0, ORVEX_STATE_CHANGED},
        {"disabled", 1, {kSwitchedOn}, 0x07, 0, ORVEX_STATE_CHANGED},
        {"fault", 1, {kOperationEnabled, kFault}, 0x0F, 0, ORVEX_DRIVE_FAULT},
        {"homed at once", 6, {kOperationEnabled | kBit12 | kTargetReached}, 0x1F, 1, ORVEX_OK},
        {"homing: 12 without 10 is still moving",
         6,
         {kOperationEnabled | kBit12, kOperationEnabled | kBit12 | kTargetReached},
         0x1F,
         1,
         ORVEX_OK},
        {"homing error", 6, {kOperationEnabled | kBit13}, 0x1F, 0, ORVEX_HOMING_ERROR},
        {"homing not running",
         6,
         {kOperationEnabled | kTargetReached},
         0x0F,
         0,
         ORVEX_STATE_CHANGED},
    };
    for (const auto& row : rows) {
        ScriptedDrive drive(row.statuswords.back(), nullptr);
        drive.set(0x6061, row.mode);
        drive.set(0x6064, 1234);
        drive.set(0x6040, row.controlword);
        drive.then_show(row.statuswords);
        use(drive);
        int position = -1;
        EXPECT_EQ(Orvex_WaitTarget(1, 500, &position), row.result) << row.what;
        EXPECT_EQ(Orvex_LastResult(), row.outcome) << row.what;
        EXPECT_EQ(position, 1234) << row.what;
    }
}

TEST_F(Procedures, ResetFaultWaitsOutTheReactionThenMakesTheEdgeOfBit7) {
    ScriptedDrive drive(kFault, follow_402);
    drive.set(0x603F, 0x2310);
    drive.then_show({kFaultReaction, kFaultReaction});
    use(drive);
    unsigned cleared = 0;
    ASSERT_EQ(Orvex_ResetFault(1, 1000, &cleared), 1);
    EXPECT_EQ(cleared, 0x2310u);
    EXPECT_EQ(written(),
              (std::vector<std::string>{
                  kReadStatus, kReadStatus, kReadStatus,  // fault reaction, then fault
                  "06 01 40 3F 60 00 00 00 00 00 0D 0A",  // the code it clears
                  controlword(0x00), kReadControl, controlword(0x80), kReadControl, kReadStatus}));

    // A fault whose cause is still there: the drive stays in fault.
    ScriptedDrive stuck(kFault, [](std::uint32_t, std::uint32_t) { return kFault; });
    use(stuck);
    EXPECT_EQ(Orvex_ResetFault(1, 100, &cleared), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_DRIVE_FAULT);
    EXPECT_EQ(cleared, 0u) << "this drive has no error code object";
}

TEST_F(Procedures, TorqueIsWrittenAsTwoBytesAndReadBack) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    use(drive);
    ASSERT_EQ(Orvex_SetTorque(1, -150), 1);
    EXPECT_EQ(written(), (std::vector<std::string>{"06 01 2B 71 60 00 6A FF 00 00 0D 0A",
                                                   "06 01 40 71 60 00 00 00 00 00 0D 0A",
                                                   "06 01 40 71 60 00 00 00 00 00 0D 0A"}));
}

// A refusal is reported at once with its code: never success, never a time-out.
TEST_F(Procedures, ARefusedWriteFailsAtOnceWithTheDrivesCode) {
    const struct {
        const char* call;
        std::uint32_t statusword;
        std::uint16_t refused;
        std::uint32_t code;
        std::function<int()> run;
        const char* not_written;  // a frame that must not follow the refusal
    } rows[] = {
        {"target too high", kOperationEnabled, 0x607A, 0x06090031,
         [] { return Orvex_MoveTo(1, 500000, ORVEX_MOVE_IMMEDIATE, 1000); },
         "06 01 2B 40 60 00 3F 00 00 00 0D 0A"},
        {"relative target too far", kOperationEnabled, 0x607A, 0x06090031,
         [] { return Orvex_MoveTo(1, 50000, ORVEX_MOVE_RELATIVE, 1000); },
         "06 01 2B 40 60 00 5F 00 00 00 0D 0A"},
        {"controlword in local control", kSwitchOnDisabled, 0x6040, 0x08000021,
         [] { return Orvex_Enable(1, 1500); }, nullptr},
        {"disable in local control", kOperationEnabled, 0x6040, 0x08000021,
         [] { return Orvex_Disable(1, 1500); }, nullptr},
        {"torque out of range", kOperationEnabled, 0x6071, 0x06090030,
         [] { return Orvex_SetTorque(1, 2000); }, nullptr},
        {"mode not supported", kSwitchedOn, 0x6060, 0x06090030,
         [] { return Orvex_SetMode(1, 3, 1000); }, nullptr},
    };
    for (const auto& row : rows) {
        ScriptedDrive drive(row.statusword, follow_402);
        drive.set(0x6040, 0x0F);
        drive.refuse(row.refused, row.code);
        use(drive);
        adapter.clear();
        const long long ms = millis_of([&] { EXPECT_EQ(row.run(), 0) << row.call; });
        EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT) << row.call;
        EXPECT_EQ(Orvex_LastAbortCode(), row.code) << row.call;
        EXPECT_LT(ms, 500) << row.call;
        if (row.not_written == nullptr) continue;
        for (const std::string& frame : written()) EXPECT_NE(frame, row.not_written) << row.call;
    }
}

// A stop from another thread ends a move waiting for its acknowledge; nothing of the move follows
// the stop, so the drive stays stopped. A quick stop by another master does the same.
TEST_F(Procedures, AStopDuringAMoveIsNeverUndone) {
    const std::string stop = controlword(0x02);
    const std::string enable = controlword(0x0F);
    for (const bool other_master : {false, true}) {
        SCOPED_TRACE(other_master ? "another master" : "another thread");
        ScriptedDrive drive(kOperationEnabled, follow_402);  // never acknowledges a set-point
        drive.set(0x6040, 0x0F);
        drive.set(0x605A, 2);
        use(drive);
        adapter.clear();
        std::atomic<int> moved{-1};
        std::thread move([&] { moved = Orvex_MoveTo(1, 500, ORVEX_MOVE_IMMEDIATE, 2000); });
        // The trigger is out: the move waits for bit 12.
        for (int i = 0; i < 200; ++i) {
            const std::vector<std::string> frames = written();
            if (std::find(frames.begin(), frames.end(), controlword(0x3F)) != frames.end()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (other_master) {
            drive.set(0x6041, kQuickStopActive);
        } else {
            EXPECT_EQ(Orvex_QuickStop(1, 1000), 1);
        }
        move.join();
        EXPECT_EQ(moved.load(), 0);
        std::vector<std::string> frames = written();
        const auto stopped =
            other_master ? frames.end() - 1 : std::find(frames.begin(), frames.end(), stop);
        ASSERT_NE(stopped, frames.end());
        EXPECT_EQ(std::find(stopped, frames.end(), enable), frames.end())
            << "enable operation after the stop";
        EXPECT_NE(drive.get(0x6041), kOperationEnabled);
    }
}

// After a halt the next move replaces the halted one whatever the flags (bit 5 with the edge, the
// halt ending with it); a move that is never acknowledged leaves the drive halted again.
TEST_F(Procedures, AMoveAfterAHaltReplacesItAndAFailedOneLeavesItHalted) {
    ScriptedDrive drive(kOperationEnabled | kTargetReached, nullptr);
    drive.set(0x6040, 0x010F);  // halted
    drive.then_show({kOperationEnabled | kTargetReached, kOperationEnabled | kBit12});
    use(drive);
    ASSERT_EQ(Orvex_MoveTo(1, 0, 0, 1000), 1);
    std::vector<std::string> frames = written();
    EXPECT_NE(std::find(frames.begin(), frames.end(), controlword(0x3F)), frames.end());
    EXPECT_EQ(std::find(frames.begin(), frames.end(), controlword(0x1F)), frames.end());
    EXPECT_EQ(std::find(frames.begin(), frames.end(), controlword(0x0F)), frames.end() - 2)
        << "the halt stays until the set-point is written";

    drive.set(0x6040, 0x010F);
    drive.set(0x6041, kOperationEnabled | kTargetReached);  // never acknowledges now
    adapter.clear();
    EXPECT_EQ(Orvex_MoveTo(1, 100000, ORVEX_MOVE_IMMEDIATE, 150), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT);
    frames = written();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], controlword(0x010F)) << "halted again";
}

// The fault reset's edge reaches a drive that looks at its controlword once a cycle and whose
// bit 7 an earlier reset left high; a limit of 0 looks at it a cycle after the edge.
TEST_F(Procedures, TheFaultResetEdgeReachesADriveThatSamplesOnceACycle) {
    for (const int limit : {500, 0}) {
        SCOPED_TRACE(limit);
        auto previous = std::make_shared<std::uint32_t>(0x80);
        ScriptedDrive drive(kFault, [previous](std::uint32_t controlword, std::uint32_t status) {
            const bool rose = (controlword & 0x80) != 0 && (*previous & 0x80) == 0;
            *previous = controlword;
            return status == kFault && rose ? kSwitchOnDisabled : status;
        });
        drive.set(0x6040, 0x80);
        drive.confirm_downloads();
        drive.sample_every(std::chrono::milliseconds(5));
        use(drive);
        EXPECT_EQ(Orvex_ResetFault(1, limit, nullptr), 1) << Orvex_LastResult();
    }
}

// ---- streaming ------------------------------------------------------------------------------

// The transmit PDO is configured in the order CiA 301 requires, each write confirmed, then the
// node is started; its frames are decoded with their bit lengths and signs, counted, kept from
// a query that runs meanwhile and from Orvex_ReceiveFrame.
TEST_F(Procedures, AStreamIsConfiguredInOrderAndItsFramesDecoded) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    drive.set(0x1800, 0x80000181);  // TPDO1 free: its COB-ID invalid
    drive.confirm_downloads();
    use(drive);
    const unsigned entries[] = {0x60410010, 0x60640020, 0x60610008};
    ASSERT_EQ(Orvex_StreamStart(1, entries, 3, 10), 1) << Orvex_LastResult();
    std::vector<std::string> frames = written(13);
    // The first write after the port opened carries a read-back: the adapter's ways are learnt.
    frames.erase(std::remove(frames.begin(), frames.end(),
                             std::string("06 01 40 00 18 01 00 00 00 00 0D 0A")),
                 frames.end());
    EXPECT_EQ(frames,
              (std::vector<std::string>{
                  "06 01 23 00 18 01 81 01 00 80 0D 0A",  // COB-ID invalid
                  "06 01 2F 00 18 02 FE 00 00 00 0D 0A",  // transmission type 254
                  "06 01 2B 00 18 05 0A 00 00 00 0D 0A",  // event timer 10 ms
                  "06 01 2B 00 18 03 00 00 00 00 0D 0A",  // inhibit time 0
                  "06 01 2F 00 1A 00 00 00 00 00 0D 0A",  // mapping count 0
                  "06 01 23 00 1A 01 10 00 41 60 0D 0A",  // the entries
                  "06 01 23 00 1A 02 20 00 64 60 0D 0A", "06 01 23 00 1A 03 08 00 61 60 0D 0A",
                  "06 01 2F 00 1A 00 03 00 00 00 0D 0A",  // the count
                  "06 01 23 00 18 01 81 01 00 00 0D 0A",  // COB-ID valid
                  "00 00 01 01 00 00 00 00 00 00 0D 0A",  // NMT start node 1
              }));
    unsigned values[3] = {};
    EXPECT_EQ(Orvex_StreamRead(1, values, 3, nullptr, nullptr), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_TIMEOUT) << "nothing has come yet";

    // Statusword 0x0637, position -5, mode display -1 (a manufacturer's mode): one frame before
    // a query's answer, one after.
    const Frame pdo =
        frame_of({0x01, 0x81, 0x37, 0x06, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x0D, 0x0A});
    adapter.set_responder([&](const Frame& request) {
        return std::vector<Reply>{Reply{concat(
            {bytes_of(pdo), bytes_of(sdo_answer(request[1], 0x6064, 0, 42)), bytes_of(pdo)})}};
    });
    EXPECT_EQ(GetPosition(1), 42);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int age = -1;
    unsigned sequence = 0;
    ASSERT_EQ(Orvex_StreamRead(1, values, 3, &age, &sequence), 1);
    EXPECT_EQ(values[0], 0x0637u);
    EXPECT_EQ(static_cast<int>(values[1]), -5);
    EXPECT_EQ(static_cast<int>(values[2]), -1);
    EXPECT_EQ(sequence, 2u) << "no frame lost to the query";
    EXPECT_GE(age, 0);
    use(drive);
    adapter.send(bytes_of(pdo));
    unsigned char frame[12];
    EXPECT_EQ(Orvex_ReceiveFrame(frame, 100), 0) << "a stream's frame is no noise";
    ASSERT_EQ(Orvex_StreamRead(1, values, 3, &age, &sequence), 1);
    EXPECT_EQ(sequence, 3u);

    adapter.clear();
    EXPECT_EQ(Orvex_StreamStop(1), 1);
    EXPECT_EQ(written(1)[0], "06 01 23 00 18 01 81 01 00 80 0D 0A");
    EXPECT_EQ(Orvex_StreamRead(1, values, 3, nullptr, nullptr), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_WRONG_STATE);
}

// A refused mapping is reported with its code and leaves the PDO invalid.
TEST_F(Procedures, ARefusedMappingLeavesThePdoInvalid) {
    ScriptedDrive drive(kOperationEnabled, nullptr);
    drive.set(0x1800, 0x80000181);
    drive.refuse(0x1A00, 0x06040041);
    drive.confirm_downloads();
    use(drive);
    const unsigned entries[] = {0x20100020};
    EXPECT_EQ(Orvex_StreamStart(1, entries, 1, 10), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_SDO_ABORT);
    EXPECT_EQ(Orvex_LastAbortCode(), 0x06040041u);
    for (const std::string& frame : written())
        EXPECT_NE(frame, "06 01 23 00 18 01 81 01 00 00 0D 0A") << "made valid";
    const unsigned too_many[] = {0x60640020, 0x60640020, 0x60410010};
    EXPECT_EQ(Orvex_StreamStart(1, too_many, 3, 10), 0);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << "80 bits do not fit a frame";
}

TEST_F(Procedures, BadArgumentsSendNothing) {
    adapter.silence();
    const struct {
        const char* call;
        std::function<int()> run;
    } rows[] = {
        {"node 0", [] { return Orvex_Enable(0, 100); }},
        {"node 128", [] { return Orvex_Halt(128, 100); }},
        {"negative limit", [] { return Orvex_Disable(1, -1); }},
        {"limit too long", [] { return Orvex_QuickStop(1, ORVEX_MAX_WAIT_MS + 1); }},
        {"unknown flag", [] { return Orvex_MoveTo(1, 0, 4, 100); }},
        {"torque too big", [] { return Orvex_SetTorque(1, 32768); }},
        {"torque too small", [] { return Orvex_SetTorque(1, -32769); }},
        {"state of node 0", [] { return Orvex_GetState(0, nullptr) + 1; }},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.run(), 0) << row.call;
        EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT) << row.call;
    }
    EXPECT_EQ(adapter.raw_byte_count(), 0u);
}

TEST_F(Procedures, GetStateDecodesTheWholeStatusword) {
    const struct {
        std::uint32_t statusword;
        int state;
    } rows[] = {
        {0x0000, ORVEX_STATE_NOT_READY_TO_SWITCH_ON},
        {kSwitchOnDisabled, ORVEX_STATE_SWITCH_ON_DISABLED},
        {kReadyToSwitchOn, ORVEX_STATE_READY_TO_SWITCH_ON},
        {kSwitchedOn, ORVEX_STATE_SWITCHED_ON},
        {kOperationEnabled, ORVEX_STATE_OPERATION_ENABLED},
        {kQuickStopActive, ORVEX_STATE_QUICK_STOP_ACTIVE},  // bit 5 low: told apart from enabled
        {kFaultReaction, ORVEX_STATE_FAULT_REACTION_ACTIVE},
        {kFault, ORVEX_STATE_FAULT},
        {0x0041, ORVEX_STATE_UNKNOWN},
    };
    for (const auto& row : rows) {
        ScriptedDrive drive(row.statusword, nullptr);
        use(drive);
        unsigned statusword = 0;
        EXPECT_EQ(Orvex_GetState(1, &statusword), row.state) << std::hex << row.statusword;
        EXPECT_EQ(statusword, row.statusword);
    }
}

}  // namespace
}  // namespace orvex::test
