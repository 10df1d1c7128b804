#include "common/linuxFlash/UbiRequests.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The records leave this module byte for byte as the kernel reads them, on every target.
static_assert(sizeof(ubi_mkvol_req) == 152, "ubi_mkvol_req is 152 bytes");
static_assert(offsetof(ubi_mkvol_req, vol_id) == 0 && sizeof(ubi_mkvol_req::vol_id) == 4);
static_assert(offsetof(ubi_mkvol_req, alignment) == 4 && sizeof(ubi_mkvol_req::alignment) == 4);
static_assert(offsetof(ubi_mkvol_req, bytes) == 8 && sizeof(ubi_mkvol_req::bytes) == 8);
static_assert(offsetof(ubi_mkvol_req, vol_type) == 16 && sizeof(ubi_mkvol_req::vol_type) == 1);
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::vol_type)>, "vol_type is signed");
static_assert(offsetof(ubi_mkvol_req, flags) == 17 && sizeof(ubi_mkvol_req::flags) == 1);
static_assert(offsetof(ubi_mkvol_req, name_len) == 18 && sizeof(ubi_mkvol_req::name_len) == 2);
static_assert(offsetof(ubi_mkvol_req, padding2) == 20 && sizeof(ubi_mkvol_req::padding2) == 4);
static_assert(offsetof(ubi_mkvol_req, name) == 24 && sizeof(ubi_mkvol_req::name) == 128);
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::vol_id)>, "vol_id is signed");
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::bytes)>, "bytes is signed");
static_assert(std::is_signed_v<decltype(ubi_mkvol_req::name_len)>, "name_len is signed");

static_assert(sizeof(ubi_rnvol_req) == 4368, "ubi_rnvol_req is 4368 bytes");
static_assert(offsetof(ubi_rnvol_req, count) == 0 && sizeof(ubi_rnvol_req::count) == 4);
static_assert(offsetof(ubi_rnvol_req, padding1) == 4 && sizeof(ubi_rnvol_req::padding1) == 12);
static_assert(offsetof(ubi_rnvol_req, ents) == 16, "rename entries start at byte 16");
static_assert(UBI_MAX_RNVOL == 32, "a rename request holds 32 entries");
static_assert(sizeof(LinuxFlash::RenameEntry) == 136, "a rename entry is 136 bytes");
static_assert(offsetof(LinuxFlash::RenameEntry, vol_id) == 0);
static_assert(sizeof(LinuxFlash::RenameEntry::vol_id) == 4);
static_assert(offsetof(LinuxFlash::RenameEntry, name_len) == 4);
static_assert(sizeof(LinuxFlash::RenameEntry::name_len) == 2);
static_assert(offsetof(LinuxFlash::RenameEntry, padding2) == 6);
static_assert(offsetof(LinuxFlash::RenameEntry, name) == 8);
static_assert(sizeof(LinuxFlash::RenameEntry::name) == 128);
static_assert(std::is_signed_v<decltype(ubi_rnvol_req::count)>, "count is signed");
static_assert(std::is_signed_v<decltype(LinuxFlash::RenameEntry::vol_id)>, "vol_id is signed");
static_assert(std::is_signed_v<decltype(LinuxFlash::RenameEntry::name_len)>, "name_len is signed");

static_assert(UBI_MAX_VOLUME_NAME == 127, "longest volume name");
static_assert(UBI_VOL_NUM_AUTO == -1, "the kernel chooses the volume id");
static_assert(UBI_DYNAMIC_VOLUME == 3 && UBI_STATIC_VOLUME == 4, "kernel volume types");
static_assert(UBI_IOCMKVOL == 0x40986F00u, "UBI_IOCMKVOL: write, 'o', 0, 152 bytes");
static_assert(UBI_IOCRMVOL == 0x40046F01u, "UBI_IOCRMVOL: write, 'o', 1, 4 bytes");
static_assert(UBI_IOCRNVOL == 0x51106F03u, "UBI_IOCRNVOL: write, 'o', 3, 4368 bytes");
static_assert(UBI_IOCVOLUP == 0x40084F00u, "UBI_IOCVOLUP: write, 'O', 0, 8 bytes");

namespace LinuxFlash {

ubi_mkvol_req makeVolumeRequest(const std::string& name, int volType, long long bytes) {
    ubi_mkvol_req request;
    memset(&request, 0, sizeof request);
    request.vol_id = UBI_VOL_NUM_AUTO;
    request.alignment = 1;
    request.bytes = bytes;
    request.vol_type = static_cast<int8_t>(volType);
    request.name_len = static_cast<int16_t>(static_cast<uint16_t>(name.size()));
    memcpy(request.name, name.data(), std::min(name.size(), sizeof request.name));
    return request;
}

} // namespace LinuxFlash
