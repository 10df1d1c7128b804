#include "Platform/Mutex.h"

#include "Platform/pf_platform.h"

namespace Platform {

Mutex::Mutex() : m_handle(pf_mutexCreate()) {}

} // namespace Platform
