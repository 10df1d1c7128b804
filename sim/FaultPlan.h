#pragma once

#include <vector>

namespace Sim {

enum class Call { Open, Read, Write, Close, Ioctl, OpenDirectory, Flock };

// The faults a test arms: calls that fail with a chosen errno, and one power cut counted in
// state-changing operations.
class FaultPlan {
public:
    // What the power does to the state-changing operation under way.
    enum class Cut { None, Before, After };

    // The nth call of `kind` from now (1 = the next one; for Ioctl only those with `request`
    // unless it is 0) fails with `error`.
    void failCall(Call kind, unsigned nth, int error, unsigned long request = 0);
    // Counts this call against the armed failures; true with `error` set when it must fail.
    bool callFails(Call kind, unsigned long request, int& error);

    // The power fails at the nth state-changing operation from now (1 = the next one), before
    // it happens or just after.
    void cutPowerAt(unsigned n, Cut when);
    // Spends one operation of the budget: what the power does to it.
    Cut spendOperation();
    // Whether the operation just done was cut after it happened, so its call must fail.
    bool takeCutAfter();
    // A power cycle: an armed cut not yet reached is forgotten.
    void powerCycle();

private:
    struct Failure {
        Call kind;
        unsigned long request;
        unsigned remaining;
        int error;
    };

    std::vector<Failure> m_failures;
    unsigned m_operationsLeft = 0; // before the cut, 0 when none is armed
    Cut m_when = Cut::None;
    bool m_cutAfterPending = false;
};

} // namespace Sim
