// Trace entry points: the category test, formatting into a line on the
// caller's stack, and the hand-over to the trace channel (or to a sink that
// a tool or a test installed in its place).
#include "kelvo/trace.h"

#include "trace/writer.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kelvo {
namespace detail {
std::atomic<std::uint32_t> g_traceMask{0};
} // namespace detail

namespace {

// ---- Where entries go ----

struct SinkState {
    TraceSink sink = nullptr;
    void* context = nullptr;
};

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

SinkState& Sink() {
    static SinkState state;
    return state;
}

std::atomic<bool> g_sinkActive{false};
std::atomic<trace::TraceChannel*> g_channel{nullptr};
std::atomic<std::uint32_t> g_channelMask{0}; // changed under SinkMutex
// A second channel that gets a copy of the entries of its own mask.
std::atomic<trace::TraceChannel*> g_mirror{nullptr};
std::atomic<std::uint32_t> g_mirrorMask{0}; // changed under SinkMutex
std::atomic<std::uint32_t> g_sequence{0};

// The categories traced when no sink is installed; called under SinkMutex.
std::uint32_t ChannelsMask() {
    return g_channelMask.load(std::memory_order_relaxed) |
           g_mirrorMask.load(std::memory_order_relaxed);
}

// A line of at most 239 characters and its terminator.
using LineBuffer = char16_t[kTraceLineMax + 1];

bool Deliver(std::uint32_t category, std::uint32_t sequence, std::uint32_t callerTag,
             LineBuffer& line, std::size_t length) {
    line[length] = 0;
    if (g_sinkActive.load(std::memory_order_acquire)) {
        std::lock_guard lock(SinkMutex());
        const SinkState& s = Sink();
        if (s.sink)
            return s.sink(s.context, category, std::u16string_view(line, length));
    }
    trace::TraceChannel* channel = g_channel.load(std::memory_order_acquire);
    trace::TraceChannel* mirror = g_mirror.load(std::memory_order_acquire);
    trace::EntryHead head;
    head.time = sequence;
    head.category = category;
    head.callerTag = callerTag;
    bool written = false;
    // Without a mirror the enabled mask is the channel's own.
    if (mirror && (g_mirrorMask.load(std::memory_order_relaxed) & category))
        written = mirror->Write(head, line, 2 * (length + 1));
    if (channel && (!mirror || (g_channelMask.load(std::memory_order_relaxed) & category)))
        written = channel->Write(head, line, 2 * (length + 1)) || written;
    return written;
}

// ---- Formatting ----

// Output that stops at the line's limit.
class LineWriter {
public:
    explicit LineWriter(char16_t* out) : out_(out) {}
    bool Full() const { return n_ >= kTraceLineMax; }
    std::size_t size() const { return n_; }
    void Put(char16_t c) {
        if (n_ < kTraceLineMax)
            out_[n_++] = c;
    }
    void Put(std::u16string_view text) {
        for (char16_t c : text) {
            if (Full())
                return;
            out_[n_++] = c;
        }
    }
    void PutAscii(const char* text) {
        for (; *text && !Full(); ++text)
            out_[n_++] = static_cast<unsigned char>(*text);
    }
    void Fill(std::size_t count, char16_t c) {
        for (; count > 0 && !Full(); --count)
            out_[n_++] = c;
    }

private:
    char16_t* out_;
    std::size_t n_ = 0;
};

// One conversion: %[flags][width][.precision][length]conversion.
struct Conversion {
    char flags[8] = {};
    std::size_t flagCount = 0;
    int width = -1;
    int precision = -1;
    char conversion = 0;

    bool Has(char flag) const { return std::memchr(flags, flag, flagCount) != nullptr; }
};

// Reads a conversion after '%'; returns the position after it, or npos.
std::size_t ParseConversion(std::u16string_view f, std::size_t pos, Conversion& conv) {
    while (pos < f.size() &&
           std::u16string_view(u"-+ #0").find(f[pos]) != std::u16string_view::npos) {
        if (conv.flagCount + 1 < sizeof conv.flags)
            conv.flags[conv.flagCount++] = static_cast<char>(f[pos]);
        ++pos;
    }
    auto readNumber = [&](int& out) {
        if (pos >= f.size() || f[pos] < u'0' || f[pos] > u'9')
            return;
        out = 0;
        while (pos < f.size() && f[pos] >= u'0' && f[pos] <= u'9' && out < 1000)
            out = out * 10 + (f[pos++] - u'0');
    };
    readNumber(conv.width);
    if (pos < f.size() && f[pos] == u'.') {
        ++pos;
        conv.precision = 0;
        readNumber(conv.precision);
    }
    while (pos < f.size() &&
           (f[pos] == u'l' || f[pos] == u'h' || f[pos] == u'z' || f[pos] == u'j' ||
            f[pos] == u't' || f[pos] == u'L' || f[pos] == u'w' || f[pos] == u'I'))
        ++pos;
    if (pos >= f.size())
        return std::u16string_view::npos;
    conv.conversion = static_cast<char>(f[pos] < 0x80 ? f[pos] : '?');
    return pos + 1;
}

// The narrow printf format of a conversion, e.g. "%-08.3lld".
void NarrowFormat(char (&out)[64], const Conversion& conv, const char* length, char conversion) {
    char width[16] = "";
    char precision[16] = "";
    if (conv.width >= 0)
        std::snprintf(width, sizeof width, "%d", conv.width);
    if (conv.precision >= 0)
        std::snprintf(precision, sizeof precision, ".%d", conv.precision);
    std::snprintf(out, sizeof out, "%%%.*s%s%s%s%c", static_cast<int>(conv.flagCount), conv.flags,
                  width, precision, length, conversion);
}

void Pad(LineWriter& out, std::u16string_view text, const Conversion& conv) {
    const std::size_t width = conv.width > 0 ? static_cast<std::size_t>(conv.width) : 0;
    const bool left = conv.Has('-');
    const std::size_t fill = width > text.size() ? width - text.size() : 0;
    if (!left)
        out.Fill(fill, u' ');
    out.Put(text);
    if (left)
        out.Fill(fill, u' ');
}

long long AsSigned(const TraceArg& a) {
    switch (a.kind) {
    case TraceArg::Kind::Int:
    case TraceArg::Kind::Int64:
        return a.i;
    case TraceArg::Kind::UInt:
    case TraceArg::Kind::UInt64:
        return static_cast<long long>(a.u);
    case TraceArg::Kind::Double:
        return static_cast<long long>(a.d);
    case TraceArg::Kind::Pointer:
        return static_cast<long long>(reinterpret_cast<std::uintptr_t>(a.p));
    case TraceArg::Kind::Text:
        return 0;
    }
    return 0;
}

// Unsigned conversions see the argument's own width, as printf would.
unsigned long long AsUnsigned(const TraceArg& a) {
    if (a.kind == TraceArg::Kind::Int)
        return static_cast<unsigned int>(a.i);
    return static_cast<unsigned long long>(AsSigned(a));
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void FormatOne(LineWriter& out, const Conversion& conv, const TraceArg* arg) {
    if (!arg) {
        out.PutAscii("(missing)");
        return;
    }
    char fmt[64];
    char buf[128];
    const bool plain = conv.flagCount == 0 && conv.width < 0 && conv.precision < 0;
    switch (conv.conversion) {
    case 'd':
    case 'i':
        // The usual "%i" without flags is converted directly.
        if (plain) {
            const auto end = std::to_chars(buf, buf + sizeof buf - 1, AsSigned(*arg)).ptr;
            *end = 0;
            break;
        }
        NarrowFormat(fmt, conv, "ll", 'd');
        std::snprintf(buf, sizeof buf, fmt, AsSigned(*arg));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        NarrowFormat(fmt, conv, "ll", conv.conversion);
        std::snprintf(buf, sizeof buf, fmt, AsUnsigned(*arg));
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
        const double d =
            arg->kind == TraceArg::Kind::Double ? arg->d : static_cast<double>(AsSigned(*arg));
        NarrowFormat(fmt, conv, "", conv.conversion);
        std::snprintf(buf, sizeof buf, fmt, d);
        break;
    }
    case 'p':
        std::snprintf(buf, sizeof buf, "%p",
                      arg->kind == TraceArg::Kind::Pointer ? arg->p : nullptr);
        break;
    case 'c': {
        const char16_t c = static_cast<char16_t>(AsSigned(*arg));
        Pad(out, std::u16string_view(&c, 1), conv);
        return;
    }
    case 's':
    case 'S': {
        std::u16string_view text = arg->kind == TraceArg::Kind::Text ? arg->text : u"(?)";
        if (conv.precision >= 0 && text.size() > static_cast<std::size_t>(conv.precision))
            text = text.substr(0, static_cast<std::size_t>(conv.precision));
        Pad(out, text, conv);
        return;
    }
    default:
        out.PutAscii("(?)");
        return;
    }
    out.PutAscii(buf);
}
#pragma GCC diagnostic pop

// Formats into `line`; returns the number of characters (at most 239).
std::size_t FormatInto(LineBuffer& line, const char16_t* format, std::span<const TraceArg> args) {
    LineWriter out(line);
    if (!format)
        return 0;
    const std::u16string_view f(format);
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < f.size() && !out.Full();) {
        if (f[pos] != u'%') {
            out.Put(f[pos++]);
            continue;
        }
        if (pos + 1 < f.size() && f[pos + 1] == u'%') {
            out.Put(u'%');
            pos += 2;
            continue;
        }
        Conversion conv;
        const std::size_t end = ParseConversion(f, pos + 1, conv);
        if (end == std::u16string_view::npos) {
            out.Put(f.substr(pos));
            break;
        }
        FormatOne(out, conv, next < args.size() ? &args[next] : nullptr);
        ++next;
        pos = end;
    }
    return out.size();
}

// Tracing starts when the library is loaded into a process (the process
// attach of the component): the settings are read once, before any object
// exists. Every program that links the component's trace entry points
// starts it the same way.
__attribute__((constructor)) void StartTracingAtLoad() {
    StartTracing();
}

} // namespace

void SetTraceSink(TraceSink sink, void* context, std::uint32_t mask) {
    std::lock_guard lock(SinkMutex());
    Sink() = {sink, context};
    g_sinkActive.store(sink != nullptr, std::memory_order_release);
    detail::g_traceMask.store(sink ? mask : ChannelsMask(), std::memory_order_relaxed);
}

std::u16string FormatTrace(const char16_t* format, std::span<const TraceArg> args) {
    LineBuffer line;
    return std::u16string(line, FormatInto(line, format, args));
}

namespace detail {

bool TraceFormatted(std::uint32_t category, const char16_t* format,
                    std::span<const TraceArg> args) {
    const std::uint32_t sequence = g_sequence.fetch_add(1, std::memory_order_relaxed);
    LineBuffer line;
    const std::size_t length = FormatInto(line, format, args);
    return Deliver(category, sequence, 0, line, length);
}

} // namespace detail

bool TraceText(std::uint32_t category, std::u16string_view text) {
    if (!TraceEnabled(category))
        return false;
    const std::uint32_t sequence = g_sequence.fetch_add(1, std::memory_order_relaxed);
    // The caller tag holds the (low bits of the) code address of the caller.
    const auto caller =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    LineBuffer line;
    const std::size_t length = std::min(text.size(), kTraceLineMax);
    std::copy_n(text.data(), length, line);
    return Deliver(category, sequence, caller, line, length);
}

namespace trace {

namespace {

TraceTarget Install(std::atomic<TraceChannel*>& channel, std::atomic<std::uint32_t>& mask,
                    TraceTarget target) {
    std::lock_guard lock(SinkMutex());
    const TraceTarget previous{channel.load(std::memory_order_relaxed),
                               mask.load(std::memory_order_relaxed)};
    if (target.channel)
        target.channel->SetMask(target.mask);
    mask.store(target.channel ? target.mask : 0, std::memory_order_relaxed);
    channel.store(target.channel, std::memory_order_release);
    if (!g_sinkActive.load(std::memory_order_relaxed))
        detail::g_traceMask.store(ChannelsMask(), std::memory_order_relaxed);
    return previous;
}

} // namespace

TraceTarget SetTraceTarget(TraceTarget target) {
    return Install(g_channel, g_channelMask, target);
}

TraceTarget SetTraceMirror(TraceTarget mirror) {
    return Install(g_mirror, g_mirrorMask, mirror);
}

void ResetTrace(TraceChannel& channel, WaitFunction wait) {
    if (wait)
        wait();
    g_sequence.store(0, std::memory_order_relaxed);
    channel.Stamp(static_cast<std::uint32_t>(::getpid()),
                  static_cast<std::int64_t>(std::time(nullptr)));
}

} // namespace trace
} // namespace kelvo
