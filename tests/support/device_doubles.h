#pragma once

#include "device/d2xx_device.h"

namespace lorvent::testing {

// Passes every call on to another device; a test overrides the calls it
// watches.
class TForwardingDevice : public TD2xxDevice {
public:
    explicit TForwardingDevice(TD2xxDevice& inner) : inner_(inner) {}

    FT_STATUS FT_Open(int index, FT_HANDLE* handle) override {
        return inner_.FT_Open(index, handle);
    }
    FT_STATUS FT_Close(FT_HANDLE handle) override { return inner_.FT_Close(handle); }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* read) override {
        return inner_.FT_Read(handle, buffer, length, read);
    }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* written) override {
        return inner_.FT_Write(handle, buffer, length, written);
    }
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baud) override {
        return inner_.FT_SetBaudRate(handle, baud);
    }
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t word, std::uint8_t stop,
                                        std::uint8_t parity) override {
        return inner_.FT_SetDataCharacteristics(handle, word, stop, parity);
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flow, std::uint8_t xon,
                                std::uint8_t xoff) override {
        return inner_.FT_SetFlowControl(handle, flow, xon, xoff);
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read, std::uint32_t write) override {
        return inner_.FT_SetTimeouts(handle, read, write);
    }

private:
    TD2xxDevice& inner_;
};

// A device whose line settings all succeed; open, close, read and write are
// the double's own.
class TAcceptingDevice : public TD2xxDevice {
public:
    FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return FT_OK; }
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, std::uint8_t, std::uint8_t,
                                        std::uint8_t) override {
        return FT_OK;
    }
    FT_STATUS FT_SetFlowControl(FT_HANDLE, std::uint16_t, std::uint8_t, std::uint8_t) override {
        return FT_OK;
    }
    FT_STATUS FT_SetTimeouts(FT_HANDLE, std::uint32_t, std::uint32_t) override { return FT_OK; }
};

} // namespace lorvent::testing
