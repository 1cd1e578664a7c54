// A Kelvo object connected to a device (usually kelvo-sim) through the Linux
// transport, opened by its transport text.
#pragma once

#include "device/kelvo_object.h"
#include "transport/portway/portway.h"

#include <memory>
#include <string>

namespace kelvo::test {

class SimDevice {
public:
    explicit SimDevice(const std::u16string& transport, bool serial = false,
                       std::uint8_t address = 255)
        : k_(new CKelvo) {
        RegisterPortwayClass();
        k_->AddRef();
        k_->serialMode = serial ? 1 : 0;
        k_->tcpMode = serial ? 0 : 1;
        k_->address = address;
        k_->timeOut = 2000;
        Open(transport);
    }
    ~SimDevice() { k_->Release(); }
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Opens a new port adapter on the transport text.
    int Open(const std::u16string& transport) {
        k_->portAdapter = std::make_unique<CComPort>();
        error = PW_OK;
        opened = k_->portAdapter->open(transport.c_str(), &error);
        return opened;
    }
    CKelvo* operator->() const { return k_; }
    CKelvo* get() const { return k_; }

    int opened = 0;
    PortwayErrorCode error = PW_OK;

private:
    CKelvo* k_;
};

} // namespace kelvo::test
