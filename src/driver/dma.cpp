// DMA buffers: asked of the driver, recorded in the handle's DeviceResources.
#include "driver/device.h"

extern "C" {

QUELT_API int32_t QUELT_CALL OxAllocateDMAmem(DeviceHandle* handle, uint32_t size) {
    if (!handle) return OX_DMA_NULL_HANDLE;
    DeviceResources& r = handle->attach.resources;
    if (r.dmaKey != 0) return OX_DMA_WRONG_STATE;

    std::uint32_t request = size;
    DmaReply reply{};
    DWORD bytes = 0;
    if (!DeviceIoControl(handle->file, IOCTL_CARD_ALLOC_DMA, &request, sizeof(request), &reply, sizeof(reply),
                         &bytes, nullptr)) {
        return OX_DMA_REQUEST_FAILED;
    }
    if (bytes < sizeof(DmaReply)) return OX_DMA_SHORT_REPLY;
    r.dmaBase = reply.base;
    r.dmaKey = reply.key;
    r.dmaSize = reply.size;
    return OX_DMA_OK;
}

QUELT_API int32_t QUELT_CALL OxReleaseDMAmem(DeviceHandle* handle) {
    if (!handle) return OX_DMA_NULL_HANDLE;
    DeviceResources& r = handle->attach.resources;
    if (r.dmaKey == 0) return OX_DMA_WRONG_STATE;

    std::uint64_t key = r.dmaKey;
    DWORD bytes = 0;
    if (!DeviceIoControl(handle->file, IOCTL_CARD_RELEASE_DMA, &key, sizeof(key), nullptr, 0, &bytes,
                         nullptr)) {
        return OX_DMA_REQUEST_FAILED;
    }
    r.dmaBase = 0;
    r.dmaKey = 0;
    r.dmaSize = 0;
    return OX_DMA_OK;
}

}  // extern "C"
