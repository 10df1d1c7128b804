#pragma once

// The UBI request records and codes as the kernel's user interface defines them: packed, in
// the machine's byte order. Their layout is checked where they are built (UbiRequests.cpp).

#include <sys/ioctl.h>

#include <mtd/ubi-user.h>
#include <string>
#include <type_traits>
#include <utility>

namespace LinuxFlash {

// One entry of ubi_rnvol_req; the header leaves the type unnamed.
using RenameEntry = std::remove_reference_t<decltype(std::declval<ubi_rnvol_req&>().ents[0])>;

// A create request for `name`, zero-filled so padding reaches the kernel as 0: the kernel
// chooses the id, alignment 1, the name's low 16 bits of length and at most 128 of its bytes.
// No limit is applied here; the kernel refuses what it does not take with its own error.
ubi_mkvol_req makeVolumeRequest(const std::string& name, int volType, long long bytes);

} // namespace LinuxFlash
