#include "common/linuxFlash/KernelInterface.h"

namespace LinuxFlash {

KernelInterface& linuxKernel();

namespace {
KernelInterface* s_replacement = nullptr;
}

KernelInterface& kernel() {
    return s_replacement != nullptr ? *s_replacement : linuxKernel();
}

ScopedKernel::ScopedKernel(KernelInterface& replacement) : m_previous(s_replacement) {
    s_replacement = &replacement;
}

ScopedKernel::~ScopedKernel() {
    s_replacement = m_previous;
}

} // namespace LinuxFlash
