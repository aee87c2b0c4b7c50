#include "platform/windows/storage_limits.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <optional>

namespace qks::win {

uint32_t TransferLimit(uint32_t maximumTransferLength, uint32_t maximumPhysicalPages,
                       uint32_t pageSize) {
    uint32_t limit = maximumTransferLength;
    if (maximumPhysicalPages > 1 && pageSize > 0) {
        const uint64_t byPages = uint64_t{maximumPhysicalPages - 1} * pageSize;
        if (limit == 0 || byPages < limit) limit = static_cast<uint32_t>(byPages);
    }
    return limit;
}

namespace {
// The adapter's descriptor, or nothing when the answer is shorter than
// the field that is wanted.
std::optional<STORAGE_ADAPTER_DESCRIPTOR> QueryAdapter(const DevicePath& path, size_t needed) {
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                    &adapter, sizeof adapter, &returned, nullptr);
    CloseHandle(handle);
    if (!ok || returned < needed) return std::nullopt;
    return adapter;
}
}  // namespace

uint32_t AlignmentMask(const DevicePath& path) {
    const auto adapter =
        QueryAdapter(path, offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) + sizeof(DWORD));
    return adapter ? static_cast<uint32_t>(adapter->AlignmentMask) : kAlignmentUnknown;
}

uint32_t MaxTransferBytes(const DevicePath& path) {
    const auto optional = QueryAdapter(
        path, offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) + sizeof(DWORD));
    if (!optional) return 0;
    const STORAGE_ADAPTER_DESCRIPTOR& adapter = *optional;
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    return TransferLimit(adapter.MaximumTransferLength, adapter.MaximumPhysicalPages,
                         system.dwPageSize);
}

}  // namespace qks::win
