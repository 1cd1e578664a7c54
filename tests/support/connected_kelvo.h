// A Kelvo object whose port adapter runs on the scripted transport.
#pragma once

#include "device/kelvo_object.h"
#include "support/scripted_transport.h"

#include <memory>

namespace kelvo::test {

struct ConnectedKelvo {
    explicit ConnectedKelvo(bool serial = false, std::uint8_t address = 255) {
        transport = ScriptedTransport::Prepare();
        kelvo = new CKelvo;
        kelvo->AddRef();
        kelvo->serialMode = serial ? 1 : 0;
        kelvo->tcpMode = serial ? 0 : 1;
        kelvo->address = address;
        kelvo->portAdapter = std::make_unique<CComPort>();
        kelvo->portAdapter->open(u"TCPIP:device/17221,5000", nullptr);
        transport->calls.clear();
    }
    ~ConnectedKelvo() {
        kelvo->Release();
        transport->Release();
    }
    ConnectedKelvo(const ConnectedKelvo&) = delete;
    ConnectedKelvo& operator=(const ConnectedKelvo&) = delete;

    // The answer as the device sends it in the object's mode.
    Bytes Wire(const Bytes& answer) const {
        return kelvo->serialMode ? SerialWrap(kelvo->address, answer) : answer;
    }

    CKelvo* kelvo;
    ScriptedTransport* transport;
};

} // namespace kelvo::test
