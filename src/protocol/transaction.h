// The standard transaction every single-frame operation runs: request under the
// port lock, address echo (serial), answer header, frame counter, status word,
// answer data, CRC trailer (serial). Operations describe themselves with an
// Exchange; shared steps live in CKelvo's frame engine.
#pragma once

#include "kelvo/automation.h"
#include "protocol/crc16.h"

#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

class CKelvo;
class CComPort;

namespace kelvo {

// A non-owning reference to a callable, cheap to pass down one call.
template <class Sig> class FunctionRef;
template <class R, class... A> class FunctionRef<R(A...)> {
public:
    FunctionRef() = default;
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f) // NOLINT: implicit by design
        : object_(const_cast<void*>(static_cast<const void*>(&f))), call_([](void* o, A... a) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...);
          }) {}
    explicit operator bool() const { return call_ != nullptr; }
    R operator()(A... a) const { return call_(object_, std::forward<A>(a)...); }

private:
    void* object_ = nullptr;
    R (*call_)(void*, A...) = nullptr;
};

// Holds the port lock for one exchange and releases it on every way out.
class PortLock {
public:
    // Takes the lock; locked() is false without an adapter or when refused.
    explicit PortLock(CComPort* port);
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    bool locked() const { return port_ != nullptr; }
    // Takes the held lock once more for a further request of the same call
    // (the transport admits its holder again; the one unlock still releases it).
    bool Again();
    // Unlocks before the end of the scope (a re-login after the answer).
    void Release();

private:
    CComPort* port_ = nullptr;
};

// Reads an answer step by step. Every piece read is folded into the running
// CRC in serial mode; every failure is traced with the operation's prefix and
// its step number and gives the error code to store.
class AnswerSteps {
public:
    AnswerSteps(CKelvo& object, const char16_t* prefix) : object_(object), prefix_(prefix) {}

    // Serial mode only: the address echo. A time-out traces
    // "<prefix> fail <timeoutStep> (tmo %i len %i)" (code 7); an echo other than
    // `address` (unless 255) traces wrongFormat with prefix, step, address and
    // echo (code 12).
    int Echo(int timeoutStep, int wrongStep,
             const char16_t* wrongFormat = u"%s fail %i (request addr: %i, response addr: %i)");
    // Exactly out.size() bytes; a time-out traces "<prefix> fail <step> (tmo %i len %i)".
    int Read(std::span<std::uint8_t> out, int step);
    // The frame counter echoed in header bytes 1-2 against the one sent.
    int Counter(std::span<const std::uint8_t> header, std::uint16_t sent, int step);
    // A data length the answer announces against the one asked for; a
    // difference traces "<prefix> fail <step> (lenAnswer %i len %i)" (code 10).
    int Length(std::uint32_t announced, std::uint32_t asked, int step);
    // Serial mode only: the CRC trailer against the running CRC. A mismatch
    // traces mismatchFormat with prefix, step, calculated and received CRC.
    int Crc(int timeoutStep, int mismatchStep,
            const char16_t* mismatchFormat = u"%s fail %i (calculated CRC: %i,  response CRC: %i)");

    // The opening of the numbered exchanges: takes the port lock (code 6),
    // sends the request (code 8), then reads the address echo (steps 1 and 2),
    // the answer header (step 3) and checks the frame counter (step 4).
    int
    Start(PortLock& lock, std::span<const std::uint8_t> frame, std::span<std::uint8_t> headerOut,
          const char16_t* wrongEchoFormat = u"%s fail %i (request addr: %i, response addr: %i)");

    std::uint16_t crc = kCrc16Start;
    std::span<const std::uint8_t> header; // the answer header, once read
    const char16_t* prefix() const { return prefix_; }
    CKelvo& object() { return object_; }

private:
    CKelvo& object_;
    const char16_t* prefix_;
};

// One operation of the standard form.
struct Exchange {
    const char16_t* prefix;                // trace name, e.g. u"CKelvo::Save_Command"
    std::uint16_t command;                 // command code
    std::span<const std::uint8_t> payload; // bytes after the command code
    std::size_t headerLength = 6;          // answer header bytes read at once (6 or more)
    std::uint16_t successWord;             // status word of success
    std::uint16_t errorWord;               // status word of a device error
    int crcStep;                           // step number of the CRC check after success
    bool serialWithoutAnswer = false;      // serial links: sent, no answer read
    // Reads the answer data after the success word (failure steps from 5 on,
    // "fail 5 (tmo %i len %i)" for a data time-out); returns an error code.
    FunctionRef<int(AnswerSteps&)> readAnswer;
    // Reads the device error answer; the default is the 5-byte length + code answer.
    FunctionRef<int(AnswerSteps&)> readDeviceError;
    // Stores the results once the whole answer was verified.
    FunctionRef<void()> commit;
    // Trace of a status word of neither kind, with the prefix and the word.
    const char16_t* unknownStatusFormat = u"%s fail 12 (%i)";
};

// Success word of a command: the low 4 bits of the low byte move into its
// upper nibble (0x300E gives 0x30E0).
constexpr std::uint16_t SuccessWord(std::uint16_t command) {
    return static_cast<std::uint16_t>((command & 0xFF00) | ((command & 0x000F) << 4));
}

} // namespace kelvo
