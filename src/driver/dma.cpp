// DMA buffers: asked of the driver, recorded in the handle's DeviceResources.
#include "driver/device.h"

namespace {

enum DmaResult : std::int32_t {
    DMA_DONE = 0,
    DMA_NULL_HANDLE = -1,
    DMA_WRONG_STATE = -2,  // allocation: a buffer is held; release: none is held
    DMA_REQUEST_FAILED = -3,
    DMA_SHORT_REPLY = -4,
};

}  // namespace

extern "C" {

QUELT_API int32_t QUELT_CALL OxAllocateDMAmem(DeviceHandle* handle, uint32_t size) {
    if (!handle) return DMA_NULL_HANDLE;
    DeviceResources& r = handle->attach.resources;
    if (r.dmaKey != 0) return DMA_WRONG_STATE;

    std::uint32_t request = size;
    DmaReply reply{};
    DWORD bytes = 0;
    if (!DeviceIoControl(handle->file, IOCTL_CARD_ALLOC_DMA, &request, sizeof(request), &reply, sizeof(reply),
                         &bytes, nullptr)) {
        return DMA_REQUEST_FAILED;
    }
    if (bytes < sizeof(DmaReply)) return DMA_SHORT_REPLY;
    r.dmaBase = reply.base;
    r.dmaKey = reply.key;
    r.dmaSize = reply.size;
    return DMA_DONE;
}

QUELT_API int32_t QUELT_CALL OxReleaseDMAmem(DeviceHandle* handle) {
    if (!handle) return DMA_NULL_HANDLE;
    DeviceResources& r = handle->attach.resources;
    if (r.dmaKey == 0) return DMA_WRONG_STATE;

    std::uint64_t key = r.dmaKey;
    DWORD bytes = 0;
    if (!DeviceIoControl(handle->file, IOCTL_CARD_RELEASE_DMA, &key, sizeof(key), nullptr, 0, &bytes,
                         nullptr)) {
        return DMA_REQUEST_FAILED;
    }
    r.dmaBase = 0;
    r.dmaKey = 0;
    r.dmaSize = 0;
    return DMA_DONE;
}

}  // extern "C"
