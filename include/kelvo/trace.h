// Trace entry points. Every device operation writes its entry line and its
// numbered failure lines here; the lines go to the trace channel once tracing is
// switched on. A category outside the mask costs one bit test: nothing is
// formatted and no lock is taken.
//
// Tracing is switched on by the per-user settings file Kelvo.ini (section
// "Trace": TraceEnable, Tracemask, Tracesize), read once when the component is
// loaded into a process: a library constructor calls StartTracing(), so the
// component's library, the tools and the test programs all start tracing the
// same way. The entries go to the shared-memory channel "ALTRACE_KELVO" (or
// "ALTRACE_KELVO_<pid>" when another living process holds that name), which
// the kelvo-trace tool reads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelvo {

enum TraceCategory : std::uint32_t {
    TRACE_CONNECTION = 1, // "Kelvo library connection"
    TRACE_READ = 2,       // "Read operations"; every device operation line
    TRACE_WRITE = 4,      // "Write operations"
    TRACE_LOW_READ = 8,   // "Low-level read operations"
    TRACE_LOW_WRITE = 16, // "Low-level write operations"
};

// Longest line in characters; longer output is cut.
constexpr std::size_t kTraceLineMax = 239;

// One formatting argument, captured by value (text by view: it must outlive the call).
struct TraceArg {
    enum class Kind { Int, UInt, Int64, UInt64, Double, Text, Pointer };
    Kind kind;
    union {
        long long i;
        unsigned long long u;
        double d;
        const void* p;
    };
    std::u16string_view text;

    template <class T> static TraceArg From(const T& v);
};

template <class T> TraceArg TraceArg::From(const T& v) {
    TraceArg a{};
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        a.kind = Kind::Int;
        a.i = v ? 1 : 0;
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U> && sizeof(U) <= 4) {
        a.kind = Kind::Int;
        a.i = v;
    } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U> && sizeof(U) <= 4) {
        a.kind = Kind::UInt;
        a.u = v;
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
        a.kind = Kind::Int64;
        a.i = v;
    } else if constexpr (std::is_integral_v<U>) {
        a.kind = Kind::UInt64;
        a.u = v;
    } else if constexpr (std::is_enum_v<U>) {
        a.kind = Kind::Int64;
        a.i = static_cast<long long>(v);
    } else if constexpr (std::is_floating_point_v<U>) {
        a.kind = Kind::Double;
        a.d = v;
    } else if constexpr (std::is_same_v<U, char16_t*> || std::is_same_v<U, const char16_t*>) {
        a.kind = Kind::Text;
        a.text = v ? std::u16string_view(v) : std::u16string_view(u"(null)");
    } else if constexpr (std::is_convertible_v<const U&, std::u16string_view>) {
        a.kind = Kind::Text;
        a.text = v;
    } else if constexpr (std::is_pointer_v<U>) {
        a.kind = Kind::Pointer;
        a.p = static_cast<const void*>(v);
    } else {
        static_assert(std::is_pointer_v<U>, "unsupported trace argument type");
    }
    return a;
}

// Where formatted lines go instead of the trace channel: a capture in tests,
// standard error in a tool.
using TraceSink = bool (*)(void* context, std::uint32_t category, std::u16string_view line);

// Installs the sink in place of the trace channel, with its category mask (0
// switches tracing off). A null sink gives the lines back to the trace
// channel and its mask (tracing off when there is none).
void SetTraceSink(TraceSink sink, void* context, std::uint32_t mask);

// Reads the trace settings and opens the trace channel when they ask for it.
// Runs once per process, at load (later calls do nothing); the channel lives
// until the process ends, and its name is removed at exit.
void StartTracing();
// Removes the name of this process's trace channel now, for a program that
// ends at once without its exit handlers. A viewer that maps it keeps reading.
void RemoveTraceChannelName();

namespace detail {
extern std::atomic<std::uint32_t> g_traceMask;
bool TraceFormatted(std::uint32_t category, const char16_t* format, std::span<const TraceArg> args);
} // namespace detail

inline bool TraceEnabled(std::uint32_t category) {
    return (detail::g_traceMask.load(std::memory_order_relaxed) & category) != 0;
}

// printf-style formatting of %s (UTF-16 text), %i, %d, %u, %x, %X, %p, %f, %c and
// the l/ll/h length modifiers, flags and widths such as %02X.
std::u16string FormatTrace(const char16_t* format, std::span<const TraceArg> args);

namespace detail {
// Out of line, so that the inlined part of Trace stays the category test.
template <class... A>
[[gnu::noinline, gnu::cold]] bool TraceArgs(std::uint32_t category, const char16_t* format,
                                            const A&... args) {
    const std::array<TraceArg, sizeof...(A)> list{TraceArg::From(args)...};
    return TraceFormatted(category, format, list);
}
} // namespace detail

template <class... A> bool Trace(std::uint32_t category, const char16_t* format, const A&... args) {
    if (!TraceEnabled(category))
        return false;
    return detail::TraceArgs(category, format, args...);
}

bool TraceText(std::uint32_t category, std::u16string_view text);

} // namespace kelvo
