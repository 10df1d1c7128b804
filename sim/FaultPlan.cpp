#include "sim/FaultPlan.h"

#include <stdexcept>

namespace Sim {

void FaultPlan::failCall(Call kind, unsigned nth, int error, unsigned long request) {
    if (nth == 0) {
        throw std::invalid_argument("calls count from 1");
    }
    m_failures.push_back({kind, request, nth, error});
}

bool FaultPlan::callFails(Call kind, unsigned long request, int& error) {
    bool failed = false;
    for (auto it = m_failures.begin(); it != m_failures.end();) {
        const bool matches =
            it->kind == kind && (kind != Call::Ioctl || it->request == 0 || it->request == request);
        if (matches && --it->remaining == 0) {
            if (!failed) {
                error = it->error;
            }
            failed = true;
            it = m_failures.erase(it);
        } else {
            ++it;
        }
    }
    return failed;
}

void FaultPlan::cutPowerAt(unsigned n, Cut when) {
    if (n == 0) {
        throw std::invalid_argument("operations count from 1");
    }
    m_operationsLeft = n;
    m_when = when;
}

FaultPlan::Cut FaultPlan::spendOperation() {
    if (m_operationsLeft == 0 || --m_operationsLeft != 0) {
        return Cut::None;
    }
    m_cutAfterPending = m_when == Cut::After;
    return m_when;
}

bool FaultPlan::takeCutAfter() {
    const bool cut = m_cutAfterPending;
    m_cutAfterPending = false;
    return cut;
}

void FaultPlan::powerCycle() {
    m_operationsLeft = 0;
    m_cutAfterPending = false;
}

} // namespace Sim
