// The harness of the fuzz targets: the check that stops a run, a reader over
// the input bytes, the process set-up, a transport that plays the input's
// bytes as the device, and the set-up and final checks of an object. What
// each target checks: fuzz/README.md.
#pragma once

#include "device/kelvo_object.h"
#include "kelvo/portway.h"
#include "support/portway_double.h"
#include "support/scripted_transport.h"

// The standard headers the targets share.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kelvo::fuzz {

// Prints the broken condition and aborts: the fuzzer keeps the input, a
// replay run fails.
[[noreturn]] void Fail(const char* file, int line, const char* what);

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::kelvo::fuzz::Fail(__FILE__, __LINE__, #cond))

// Fields taken off the front of the input, little-endian; past its end every
// field is 0.
class Input {
public:
    explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    std::uint16_t u16() { return Le<std::uint16_t>(); }
    std::uint32_t u32() { return Le<std::uint32_t>(); }
    std::uint64_t u64() { return Le<std::uint64_t>(); }
    // At most n bytes.
    std::span<const std::uint8_t> bytes(std::size_t n);
    std::span<const std::uint8_t> rest() { return bytes(left()); }
    std::size_t left() const { return bytes_.size() - at_; }
    // The rest as text: UTF-16LE pairs (an odd last byte is dropped), or one
    // UTF-16 unit per byte.
    std::u16string text(bool utf16le);

private:
    template <class T> T Le() {
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<T>(static_cast<T>(u8()) << (8 * i));
        return value;
    }
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// What a target defines: one input, the process already set up (the scratch
// folder, the fuzzing transport: SetUpProcess in fuzz_support.cpp).
void FuzzOne(Input& in);

// The process's scratch folder, without a trailing '/'.
const std::string& ScratchDir();

// One UTF-16 unit per byte.
inline std::u16string Widen(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// The codes errorCode may hold (KelvoError).
bool IsErrorCode(std::int32_t code);

// Results an interface operation of the object may give.
bool IsKnownResult(HRESULT hr);

// Plays the input as the device behind the port adapter; no call waits (a
// read that finds too few bytes is a time-out at once). As a stream, all
// bytes wait from the start and Reset drops nothing; as answers, a list of
// 16-bit lengths and bytes, each request releases the next answer (Reset
// drops what was not read), optionally with the request's frame counter
// written in and on a serial link the address echo and a correct CRC.
class FuzzTransport final : public test::PortwayDouble {
public:
    static FuzzTransport& Instance() {
        static FuzzTransport* transport = new FuzzTransport; // lives as long as the process
        return *transport;
    }

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

    // Property values handed out by GetProperty (none: it fails): id -> type, value.
    std::map<SHORT, std::pair<VARTYPE, ULONG>> properties;

    // What the run did.
    int locks = 0, lockDepth = 0, writes = 0, reads = 0, opens = 0;
    std::vector<std::vector<std::uint8_t>> written;
    std::u16string openedWith;

    // ---- IPortway ----
    HRESULT Open(BSTR connection) override {
        ++opens;
        openedWith = BstrView(connection);
        return script_.openError == PW_OK ? S_OK : Error(script_.openError);
    }
    HRESULT Reset() override {
        if (script_.answers)
            input_.clear();
        return S_OK;
    }
    HRESULT Lock() override {
        if (++locks == script_.failLockAt)
            return Error(PW_LOCK_FAILED);
        ++lockDepth;
        return S_OK;
    }
    HRESULT Unlock() override {
        lockDepth = 0; // one unlock releases however often the holder took it
        return S_OK;
    }
    HRESULT Read(void* buffer, ULONG length, ULONG) override;
    HRESULT Write(const void* buffer, ULONG length) override;
    HRESULT get_ErrorCode(PortwayErrorCode* error) override {
        if (!error)
            return E_POINTER;
        *error = lastError_;
        return S_OK;
    }
    HRESULT GetProperty(SHORT id, VARIANT* value) override;

private:
    FuzzTransport() = default;
    void LastReleased() override {} // a static object: never deleted
    HRESULT Error(PortwayErrorCode error) {
        lastError_ = error;
        return E_FAIL;
    }

    Script script_;
    std::span<const std::uint8_t> device_; // answers not yet released (answers mode)
    std::vector<std::uint8_t> input_;      // bytes waiting to be read
    PortwayErrorCode lastError_ = PW_OK;
};

// A new object; the caller holds one reference.
CKelvo* NewObject();
// A new object whose port adapter is open on the fuzzing transport, in the
// UTF-8 or the Windows-1252 code page.
CKelvo* ConnectedObject(bool serial, std::uint8_t address, bool utf8 = false);

// The end of an input on an object: errorCode is one of the codes, the port
// lock is released, the object (when it has a port adapter and `usable`) still
// works: Save_Command on a correct answer succeeds with errorCode 0 and
// releases the lock; the last reference, released here, gives back the
// transport. The code page goes back to Windows-1252.
void ReleaseChecked(CKelvo* k, bool usable = true);

// An out value of a call: no pointer when `none`, else starting as `fill`.
// A failure must leave `failed` there (the sentinel untouched), a success
// hands out a new text or array, released here.
template <class T> struct Out {
    Out(bool none, T fill) : Out(none, fill, fill) {}
    Out(bool none, T fill, T failed) : value(fill), failed(failed), none(none) {}
    ~Out() {
        if (!written)
            return;
        if constexpr (std::is_same_v<T, BSTR>)
            SysFreeString(value);
        if constexpr (std::is_same_v<T, VARIANT>)
            VariantClear(&value);
        if constexpr (std::is_same_v<T, SAFEARRAY*>)
            SafeArrayDestroy(value);
    }
    T* ptr() { return none ? nullptr : &value; }
    HRESULT Check(HRESULT hr) {
        written = !none && SUCCEEDED(hr);
        if (!none && FAILED(hr))
            FUZZ_CHECK(std::memcmp(&value, &failed, sizeof value) == 0);
        if constexpr (std::is_pointer_v<T>)
            FUZZ_CHECK(!written || value != failed);
        return hr;
    }
    T value, failed;
    bool none, written = false;
};

// The first value of a text out value.
BSTR SentinelBstr();

// Answer frames and their serial form, as the tests build them.
using test::AnswerFrame;
using test::SerialWrap;

// Appends an answer to a list of answers (16-bit length, then the bytes).
void AppendAnswer(std::vector<std::uint8_t>& answers, std::span<const std::uint8_t> answer);

} // namespace kelvo::fuzz
