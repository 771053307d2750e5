#include "outdoor/boost.h"

#include <gtest/gtest.h>

namespace {

const int32_t kMax = 255;
const int32_t kOwner = 1234;
const int32_t kNewOwner = 5678;
const int64_t kDeadline = 9000;  // decide_boost never looks at it

enum lease_kind { NO_LEASE, V1, V2 };

struct lease_spec {
    lease_kind kind;
    int32_t value;  // ratio for v1, level for v2
    int32_t held;
    int32_t pid;
};

const lease_spec kNone = {NO_LEASE, 0, 0, 0};
lease_spec v1(int32_t ratio, int32_t held = 1, int32_t pid = kOwner) {
    return {V1, ratio, held, pid};
}
lease_spec v2(int32_t level, int32_t held = 1, int32_t pid = kOwner) {
    return {V2, level, held, pid};
}

// One call of decide_boost: what the turn finds and what it must leave.
struct turn {
    const char* what;
    lease_spec lease;
    int32_t current;
    int panel_busy;
    int64_t now_ms;
    int32_t result;
    boost_state after;
};

// Field order: owner_pid, base, target, held, inhibited, candidate_value,
// candidate_since_ms.
const boost_state kIdle = {};

int32_t run_turn(boost_state* state, const turn& t, int32_t maximum) {
    outdoor_lease_record record = {};
    const outdoor_lease_record* lease = nullptr;
    if (t.lease.kind != NO_LEASE) {
        record.pid = t.lease.pid;
        record.held = t.lease.held;
        record.is_v2 = t.lease.kind == V2;
        record.ratio_permille = t.lease.kind == V2 ? 1000 : t.lease.value;
        record.level = t.lease.kind == V2 ? t.lease.value : 0;
        record.deadline_ms = kDeadline;
        lease = &record;
    }
    return decide_boost(state, lease, t.current, maximum, t.panel_busy, t.now_ms);
}

void expect_state(const boost_state& got, const boost_state& want) {
    EXPECT_EQ(got.owner_pid, want.owner_pid);
    EXPECT_EQ(got.base, want.base);
    EXPECT_EQ(got.target, want.target);
    EXPECT_EQ(got.held, want.held);
    EXPECT_EQ(got.inhibited, want.inhibited);
    EXPECT_EQ(got.candidate_value, want.candidate_value);
    EXPECT_EQ(got.candidate_since_ms, want.candidate_since_ms);
}

// Plays the turns in order on one state, starting idle.
template <size_t N>
void walk(const turn (&turns)[N], int32_t maximum = kMax) {
    boost_state state = {};
    for (const turn& t : turns) {
        SCOPED_TRACE(t.what);
        EXPECT_EQ(run_turn(&state, t, maximum), t.result);
        expect_state(state, t.after);
    }
}

TEST(BoostDecision, WalksFromIdleThroughBoostToOverride) {
    const turn turns[] = {
        {"no lease keeps idle", kNone, 100, 0, 1000, -1, kIdle},
        {"first sight starts the candidate", v1(500), 100, 0, 1000, -1,
         {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"499 ms is not stable yet", v1(500), 100, 0, 1499, -1,
         {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"500 ms stable boosts to half the distance", v1(500), 100, 0, 1500, 177,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"node at target, same ask: nothing to write", v1(500), 177, 0, 1600, -1,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"a larger ratio moves only the target", v1(1000), 177, 0, 1700, 255,
         {kOwner, 100, 255, 1, 0, 100, 1000}},
        {"another writer moved the node", v1(1000), 150, 0, 1800, -1,
         {kOwner, 100, 255, 0, 1, 100, 1000}},
        {"overridden stays hands-off", v1(1000), 150, 0, 5000, -1,
         {kOwner, 100, 255, 0, 1, 100, 1000}},
        {"lease gone clears without writing", kNone, 150, 0, 5100, -1, kIdle},
    };
    walk(turns);
}

TEST(BoostDecision, V1RatioScalesDistanceFromBaseToMaximum) {
    const turn half[] = {
        {"candidate", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"100 + 155 * 500 / 1000", v1(500), 100, 0, 1500, 177,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
    };
    const turn full[] = {
        {"candidate", v1(1000), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"ratio 1000 reaches the maximum", v1(1000), 100, 0, 1500, 255,
         {kOwner, 100, 255, 1, 0, 100, 1000}},
    };
    const turn tiny[] = {
        {"candidate", v1(6), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"155 * 6 / 1000 truncates to 0: no boost, base kept", v1(6), 100, 0, 1500, -1,
         {kOwner, 100, 0, 0, 0, 100, 1000}},
    };
    const turn truncated[] = {
        {"candidate", v1(500), 110, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 110, 1000}},
        {"110 + 145 * 500 / 1000 truncates to 182", v1(500), 110, 0, 1500, 182,
         {kOwner, 110, 182, 1, 0, 110, 1000}},
    };
    {
        SCOPED_TRACE("ratio 500");
        walk(half);
    }
    {
        SCOPED_TRACE("ratio 1000");
        walk(full);
    }
    {
        SCOPED_TRACE("ratio 6");
        walk(tiny);
    }
    {
        SCOPED_TRACE("ratio 500 from 110");
        walk(truncated);
    }
}

TEST(BoostDecision, V2LevelIsAbsoluteAndBaseFollowsTheNode) {
    const turn level_zero[] = {
        {"candidate", v2(0), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"level 0 means the maximum", v2(0), 100, 0, 1500, 255,
         {kOwner, 100, 255, 1, 0, 100, 1000}},
    };
    const turn above_maximum[] = {
        {"candidate", v2(300), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"a level above the maximum is capped", v2(300), 100, 0, 1500, 255,
         {kOwner, 100, 255, 1, 0, 100, 1000}},
    };
    const turn not_above[] = {
        {"candidate", v2(80), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"level below the node: base taken, no boost", v2(80), 100, 0, 1500, -1,
         {kOwner, 100, 0, 0, 0, 100, 1000}},
        {"level equal to the node: still no boost", v2(100), 100, 0, 1600, -1,
         {kOwner, 100, 0, 0, 0, 100, 1000}},
        {"node dims: new candidate, old base left", v2(80), 90, 0, 1700, -1,
         {kOwner, 100, 0, 0, 0, 90, 1700}},
        {"stable again: base follows the node", v2(80), 90, 0, 2200, -1,
         {kOwner, 90, 0, 0, 0, 90, 1700}},
        {"a higher level boosts from the new base", v2(120), 90, 0, 2300, 120,
         {kOwner, 90, 120, 1, 0, 90, 1700}},
    };
    {
        SCOPED_TRACE("level 0");
        walk(level_zero);
    }
    {
        SCOPED_TRACE("level 300");
        walk(above_maximum);
    }
    {
        SCOPED_TRACE("level not above the node");
        walk(not_above);
    }
}

TEST(BoostDecision, StabilityWindowTimesOneUnchangedValue) {
    const turn changed[] = {
        {"candidate 100", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"value changes within 500 ms: candidate restarts", v1(500), 110, 0, 1300, -1,
         {kOwner, 0, 0, 0, 0, 110, 1300}},
        {"800 ms after the first sight is not enough", v1(500), 110, 0, 1700, -1,
         {kOwner, 0, 0, 0, 0, 110, 1300}},
        {"500 ms after the restart boosts", v1(500), 110, 0, 1800, 182,
         {kOwner, 110, 182, 1, 0, 110, 1300}},
    };
    const turn ignored[] = {
        {"candidate 100", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"a reading of 9 leaves the candidate", v1(500), 9, 0, 1200, -1,
         {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"a reading at the maximum leaves the candidate", v1(500), 255, 0, 1300, -1,
         {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"back at 100, timed from the first sight", v1(500), 100, 0, 1500, 177,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
    };
    const turn never[] = {
        {"node at 9 records nothing", v1(500), 9, 0, 1000, -1,
         {kOwner, 0, 0, 0, 0, 0, 0}},
        {"node at the maximum records nothing", v1(500), 255, 0, 2000, -1,
         {kOwner, 0, 0, 0, 0, 0, 0}},
        {"10 is the lowest value timed", v1(500), 10, 0, 3000, -1,
         {kOwner, 0, 0, 0, 0, 10, 3000}},
    };
    {
        SCOPED_TRACE("value changes");
        walk(changed);
    }
    {
        SCOPED_TRACE("out-of-range readings");
        walk(ignored);
    }
    {
        SCOPED_TRACE("no candidate");
        walk(never);
    }
}

// Single transitions from a given state, mostly out of a running boost.
struct transition {
    const char* what;
    boost_state before;
    lease_spec lease;
    int32_t current;
    int panel_busy;
    int32_t result;
    boost_state after;
};

TEST(BoostDecision, TransitionsOutOfABoost) {
    const boost_state boosted = {kOwner, 100, 177, 1, 0, 100, 1000};
    const boost_state overridden = {kOwner, 100, 177, 0, 1, 100, 1000};
    const boost_state watching = {kOwner, 0, 0, 0, 0, 100, 1000};
    const int64_t now = 3000;
    const transition rows[] = {
        {"new owner, node at target: base goes back", boosted, v1(500, 1, kNewOwner), 177, 0,
         100, kIdle},
        {"new owner, node moved: nothing to restore", boosted, v1(500, 1, kNewOwner), 150, 0,
         -1, kIdle},
        {"new owner while watching starts over", watching, v1(500, 1, kNewOwner), 100, 0, -1,
         kIdle},
        {"new owner ends an override", overridden, v1(500, 1, kNewOwner), 150, 0, -1, kIdle},
        {"panel busy keeps the boost and writes nothing", boosted, v1(500), 177, 1, -1, boosted},
        {"panel busy restores nothing when the lease stops asking", boosted, kNone, 177, 1, -1,
         boosted},
        {"panel busy, a new owner: still nothing", boosted, v1(500, 1, kNewOwner), 177, 1, -1,
         boosted},
        {"panel busy, node moved: the other writer's", boosted, v1(500), 150, 1, -1, kIdle},
        {"panel busy clears an override", overridden, v1(500), 177, 1, -1, kIdle},
        {"panel busy forgets a candidate", watching, v1(500), 100, 1, -1, kIdle},
        {"panel busy leaves idle alone", kIdle, kNone, 100, 1, -1, kIdle},
        {"held 0 ends the boost with the base", boosted, v1(500, 0), 177, 0, 100, kIdle},
        {"v1 ratio 0 ends the boost with the base", boosted, v1(0), 177, 0, 100, kIdle},
        {"lease gone, node at target", boosted, kNone, 177, 0, 100, kIdle},
        {"lease gone, node moved", boosted, kNone, 150, 0, -1, kIdle},
        {"node changed during the boost: inhibited", boosted, v1(500), 150, 0, -1, overridden},
        {"same owner keeps an override", overridden, v1(1000), 177, 0, -1, overridden},
        {"desired not above base while held returns base", boosted, v2(90), 177, 0, 100,
         {kOwner, 100, 177, 0, 0, 100, 0}},
        {"v1 ratio 6 while held returns base", boosted, v1(6), 177, 0, 100,
         {kOwner, 100, 177, 0, 0, 100, 0}},
    };
    for (const transition& row : rows) {
        SCOPED_TRACE(row.what);
        boost_state state = row.before;
        turn t = {row.what, row.lease, row.current, row.panel_busy, now, 0, {}};
        EXPECT_EQ(run_turn(&state, t, kMax), row.result);
        expect_state(state, row.after);
    }
}

// A holder of the main-panel lock that never touches the node (a recovery
// run, a start that fails) must not cost the boost its base: once the lock
// is free the boost goes on, and ends with the first base. A value being
// timed is timed afresh.
TEST(BoostDecision, BusyPanelKeepsOnlyABoostTheNodeStillShows) {
    const turn go_on[] = {
        {"candidate", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"boost", v1(500), 100, 0, 1500, 177, {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"lock busy: nothing written, boost kept", v1(500), 177, 1, 2000, -1,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"lock free, node at target: still ours", v1(500), 177, 0, 3000, -1,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"lease ends: the first base goes back", kNone, 177, 0, 3500, 100, kIdle},
    };
    const turn withdrawn[] = {
        {"candidate", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"boost", v1(500), 100, 0, 1500, 177, {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"lease ends while busy: nothing restored", kNone, 177, 1, 2000, -1,
         {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"lock free: the base goes back", kNone, 177, 0, 2500, 100, kIdle},
    };
    const turn retimed[] = {
        {"candidate", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"lock busy: the candidate is forgotten", v1(500), 100, 1, 1200, -1, kIdle},
        {"lock free: timed afresh", v1(500), 100, 0, 1600, -1, {kOwner, 0, 0, 0, 0, 100, 1600}},
        {"499 ms later is not enough", v1(500), 100, 0, 2099, -1,
         {kOwner, 0, 0, 0, 0, 100, 1600}},
        {"500 ms later boosts", v1(500), 100, 0, 2100, 177, {kOwner, 100, 177, 1, 0, 100, 1600}},
    };
    {
        SCOPED_TRACE("lease still asking");
        walk(go_on);
    }
    {
        SCOPED_TRACE("lease withdrawn while busy");
        walk(withdrawn);
    }
    {
        SCOPED_TRACE("candidate");
        walk(retimed);
    }
}

TEST(BoostDecision, NewOwnerBoostsAfterItsOwnStabilityWindow) {
    const turn turns[] = {
        {"candidate", v1(500), 100, 0, 1000, -1, {kOwner, 0, 0, 0, 0, 100, 1000}},
        {"boost", v1(500), 100, 0, 1500, 177, {kOwner, 100, 177, 1, 0, 100, 1000}},
        {"restarted writer: base back", v1(500, 1, kNewOwner), 177, 0, 2000, 100, kIdle},
        {"new owner times the node", v1(500, 1, kNewOwner), 100, 0, 2100, -1,
         {kNewOwner, 0, 0, 0, 0, 100, 2100}},
        {"new owner boosts", v1(500, 1, kNewOwner), 100, 0, 2600, 177,
         {kNewOwner, 100, 177, 1, 0, 100, 2100}},
    };
    walk(turns);
}

}  // namespace
