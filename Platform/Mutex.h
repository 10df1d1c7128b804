#pragma once

namespace Platform {

// Holds a recursive mutex for the life of the process; the handle may be null
// when creation failed.
class Mutex {
public:
    Mutex();

    void* m_handle;
};

} // namespace Platform
