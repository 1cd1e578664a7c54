// Shared pieces of the fuzz targets: the check that stops a run, a reader
// over the input bytes, the process set-up, and a transport that plays the
// input's bytes as the device.
#pragma once

#include "device/kelvo_object.h"
#include "kelvo/portway.h"
#include "support/portway_double.h"
#include "support/scripted_transport.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kelvo::fuzz {

// Prints the broken condition and aborts: the fuzzer keeps the input, a
// replay run fails.
[[noreturn]] void Fail(const char* file, int line, const char* what);

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::kelvo::fuzz::Fail(__FILE__, __LINE__, #cond))

// Once per process: a scratch folder as the per-user settings folder (holding
// "DeviceLink.ini" with LastPort 7) and as the module's folder (a short
// "Kelvo.ERR"), a silent message box, a trace sink that checks every line,
// and the fuzzing transport registered as "Portway.Portway2.1".
void SetUpProcess();
// The process's scratch folder, without a trailing '/'.
const std::string& ScratchDir();

// Fields taken off the front of the input; past its end every field is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit Input(std::span<const std::uint8_t> bytes) : Input(bytes.data(), bytes.size()) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::uint64_t u64();
    // At most n bytes.
    std::span<const std::uint8_t> bytes(std::size_t n);
    std::span<const std::uint8_t> rest() { return bytes(left()); }
    std::size_t left() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// One UTF-16 unit per byte.
std::u16string Widen(std::span<const std::uint8_t> bytes);
// Little-endian pairs of bytes as UTF-16 units (an odd last byte is dropped).
std::u16string Utf16Le(std::span<const std::uint8_t> bytes);

// The codes errorCode may hold (KelvoError).
bool IsErrorCode(std::int32_t code);

// Results an interface operation of the object may give.
bool IsKnownResult(HRESULT hr);

// Plays the input as the device behind the port adapter. No call waits: a
// read that finds too few bytes fails at once as a time-out.
//
// Two ways of playing:
// - stream: all bytes are waiting from the start and stay across requests
//   (Reset drops nothing), so any framing the input holds is read as it is;
// - answers: the bytes are a list of answers, each a 16-bit little-endian
//   length and that many bytes; every written request releases the next one
//   (Reset drops what was not read). An answer may get the request's frame
//   counter written into its bytes 1-2, and on a serial link be wrapped in
//   the address echo and a correct CRC trailer, so that the fuzzer reaches
//   past these checks.
class FuzzTransport final : public test::PortwayDouble {
public:
    static FuzzTransport& Instance();

    struct Script {
        bool answers = false;
        bool patchCounter = false;
        bool serialWrap = false;
        int failLockAt = 0;  // the n-th Lock fails (0: none)
        int failWriteAt = 0; // the n-th Write fails (0: none)
        PortwayErrorCode openError = PW_OK;
    };
    // Starts a new run: counters cleared, the bytes to play.
    void Play(std::span<const std::uint8_t> device, const Script& script);
    // Answers mode with the frame counter written in (and the serial envelope).
    void PlayAnswers(std::span<const std::uint8_t> answers, bool serial) {
        Play(answers, {.answers = true, .patchCounter = true, .serialWrap = serial});
    }
    // Clears the failures still armed and queues one answer (answers mode).
    void QueueAnswer(std::vector<std::uint8_t> answer);

    // Property values handed out by GetProperty (none: it fails).
    void SetProperty(SHORT id, VARTYPE vt, ULONG value);
    void ClearProperties();

    // What the run did.
    int locks = 0;
    int unlocks = 0;
    int lockDepth = 0;
    int writes = 0;
    int reads = 0;
    int opens = 0;
    std::vector<std::vector<std::uint8_t>> written;
    std::u16string openedWith;

    // ---- IPortway ----
    HRESULT Open(BSTR connection) override;
    HRESULT Reset() override;
    HRESULT Lock() override;
    HRESULT Unlock() override;
    HRESULT Read(void* buffer, ULONG length, ULONG timeout) override;
    HRESULT Write(const void* buffer, ULONG length) override;
    HRESULT get_ErrorCode(PortwayErrorCode* error) override;
    HRESULT GetProperty(SHORT id, VARIANT* value) override;

private:
    FuzzTransport() = default;
    void LastReleased() override {} // a static object: never deleted
    void ReleaseAnswer(std::span<const std::uint8_t> request);

    Script script_;
    std::span<const std::uint8_t> device_; // answers not yet released (answers mode)
    std::vector<std::uint8_t> input_;      // bytes waiting to be read
    std::size_t readAt_ = 0;
    std::vector<std::vector<std::uint8_t>> queued_;
    PortwayErrorCode lastError_ = PW_OK;
    struct Property {
        SHORT id;
        VARTYPE vt;
        ULONG value;
    };
    std::vector<Property> properties_;
};

// A new object whose port adapter is open on the fuzzing transport; the
// caller holds one reference.
CKelvo* ConnectedObject(bool serial, std::uint8_t address);
// Answer frames and their serial form, as the tests build them.
using test::AnswerFrame;
using test::SerialWrap;

// The object is still usable: Save_Command on a correct answer succeeds with
// errorCode 0 and releases the lock. Needs a port adapter.
void CheckUsable(CKelvo& k);

} // namespace kelvo::fuzz
