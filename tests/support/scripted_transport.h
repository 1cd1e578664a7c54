// A transport for byte-exact protocol tests. It records every call and plays
// scripted answers: each Write releases the next scripted answer into the
// input; a time-out piece makes the read that meets it fail at once.
#pragma once

#include "support/portway_double.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedTransport final : public PortwayDouble {
public:
    // Registers the class under "Portway.Portway2.1" for this process and
    // returns the instance the next creation hands out (held by the caller).
    static ScriptedTransport* Prepare();

    // ---- Script ----
    // An answer released by the next Write that has none yet.
    ScriptedTransport& Answer(const Bytes& bytes);
    // An answer made of pieces: bytes, then a time-out (no more bytes arrive).
    ScriptedTransport& AnswerThenTimeout(const Bytes& bytes);
    // Bytes already waiting in the input (dropped by Reset).
    void Deliver(const Bytes& bytes);
    void FailNextLock() { failLock_ = true; }
    void FailNextWrite() { failWrite_ = true; }
    void FailOpen(PortwayErrorCode code) { openError_ = code; }
    void SetProperty(SHORT id, ULONG value, VARTYPE vt = VT_UI4);

    // ---- Record ----
    std::vector<std::string> calls; // "Lock", "Reset", "Write 00 01", "Flush", "Read 6 10000", ...
    std::vector<Bytes> writes;
    std::u16string openedWith;
    int Count(const std::string& call) const;
    int lockDepth = 0;

    // ---- IPortway ----
    HRESULT Open(BSTR connection) override;
    HRESULT Close() override;
    HRESULT Reset() override;
    HRESULT Lock() override;
    HRESULT Unlock() override;
    HRESULT Read(void* buffer, ULONG length, ULONG timeout) override;
    HRESULT Write(const void* buffer, ULONG length) override;
    HRESULT get_ErrorCode(PortwayErrorCode* error) override;
    HRESULT GetProperty(SHORT id, VARIANT* value) override;
    HRESULT Flush() override;

private:
    struct Piece {
        Bytes bytes;
        bool timeout = false;
    };
    using Script = std::vector<Piece>;

    std::mutex mutex_;
    std::deque<Script> answers_;
    std::deque<Piece> input_;
    bool failLock_ = false;
    bool failWrite_ = false;
    PortwayErrorCode openError_ = PW_OK;
    PortwayErrorCode lastError_ = PW_OK;
    struct Property {
        SHORT id;
        ULONG value;
        VARTYPE vt;
    };
    std::vector<Property> properties_;
};

// Hex text of bytes, "0e 30".
std::string Hex(const Bytes& bytes);

// Answer frames as a device sends them (TCP form): node, counter, length,
// status word, then the data.
Bytes AnswerFrame(std::uint16_t counter, std::uint16_t status, const Bytes& data = {},
                  std::uint8_t node = 0);
// The serial form: address echo, the bytes, CRC-16 over both (low byte first).
Bytes SerialWrap(std::uint8_t address, const Bytes& bytes);

} // namespace kelvo::test
