#pragma once

// The UBI request records and codes as the kernel's user interface defines them: packed, in
// the machine's byte order. Their layout is checked where the records are built (Ubi.cpp).

#include <sys/ioctl.h>

#include <mtd/ubi-user.h>
#include <type_traits>
#include <utility>

namespace LinuxFlash {

// One entry of ubi_rnvol_req; the header leaves the type unnamed.
using RenameEntry = std::remove_reference_t<decltype(std::declval<ubi_rnvol_req&>().ents[0])>;

} // namespace LinuxFlash
