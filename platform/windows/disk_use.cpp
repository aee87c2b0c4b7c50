#include "platform/windows/disk_use.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace qks::win {

namespace {

// Opened without read or write access: enough for the queries, and no
// other user of the device notices.
HANDLE OpenForQuery(const std::string& path) {
    return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::optional<StorageNumber> NumberOf(HANDLE handle) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                         sizeof number, &returned, nullptr))
        return std::nullopt;
    return StorageNumber{static_cast<uint32_t>(number.DeviceType),
                         static_cast<uint32_t>(number.DeviceNumber)};
}

std::vector<uint32_t> ExtentDisksOf(HANDLE volume) {
    // A spanned volume has several extents; 32 is more than any has.
    struct {
        VOLUME_DISK_EXTENTS head;
        DISK_EXTENT more[31];
    } extents{};
    DWORD returned = 0;
    std::vector<uint32_t> disks;
    if (!DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                         sizeof extents, &returned, nullptr))
        return disks;
    const DWORD count = std::min<DWORD>(extents.head.NumberOfDiskExtents, 32);
    for (DWORD i = 0; i < count; ++i)
        disks.push_back(static_cast<uint32_t>(extents.head.Extents[i].DiskNumber));
    return disks;
}

std::vector<std::string> MountPathsOf(const char* volumeName) {
    char paths[1024] = {};
    DWORD length = 0;
    std::vector<std::string> found;
    if (!GetVolumePathNamesForVolumeNameA(volumeName, paths, sizeof paths, &length)) return found;
    for (const char* p = paths; *p != '\0'; p += std::strlen(p) + 1) found.emplace_back(p);
    return found;
}

}  // namespace

bool VolumeOnDevice(StorageNumber device, const std::vector<uint32_t>& extentDisks,
                    std::optional<StorageNumber> volumeNumber) {
    if (device.type == FILE_DEVICE_DISK)
        return std::find(extentDisks.begin(), extentDisks.end(), device.number) !=
               extentDisks.end();
    return volumeNumber && volumeNumber->type == device.type &&
           volumeNumber->number == device.number;
}

std::vector<DiskUser> DiskUsersOf(const DevicePath& path) {
    std::vector<DiskUser> users;
    const HANDLE handle = OpenForQuery(path);
    if (handle == INVALID_HANDLE_VALUE) return users;
    const auto device = NumberOf(handle);
    CloseHandle(handle);
    if (!device) return users;

    char volumeName[MAX_PATH] = {};
    const HANDLE find = FindFirstVolumeA(volumeName, sizeof volumeName);
    if (find == INVALID_HANDLE_VALUE) return users;
    do {
        // The volume's name ends in a backslash, which opening it must not.
        std::string name = volumeName;
        if (!name.empty() && name.back() == '\\') name.pop_back();
        const HANDLE volume = OpenForQuery(name);
        if (volume == INVALID_HANDLE_VALUE) continue;
        const bool on = VolumeOnDevice(*device, ExtentDisksOf(volume), NumberOf(volume));
        CloseHandle(volume);
        if (!on) continue;
        for (const auto& mount : MountPathsOf(volumeName))
            users.push_back({volumeName, mount, "",
                             "close what uses " + mount + ", then mountvol " + mount +
                                 " /p as administrator"});
    } while (FindNextVolumeA(find, volumeName, sizeof volumeName));
    FindVolumeClose(find);
    return users;
}

}  // namespace qks::win
