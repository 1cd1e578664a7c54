#include "kelvo/trace.h"

#include <cstdio>
#include <mutex>

namespace kelvo {
namespace detail {
std::atomic<std::uint32_t> g_traceMask{0};
} // namespace detail

namespace {

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

void AppendAscii(std::u16string& out, const char* text) {
    for (; *text; ++text)
        out.push_back(static_cast<unsigned char>(*text));
}

// One conversion specification: %[flags][width][.precision][length]conversion.
struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conversion = 0;
};

// Reads a specification after '%'; returns the position after it, or npos.
std::size_t ParseSpec(std::u16string_view f, std::size_t pos, Spec& spec) {
    while (pos < f.size() &&
           std::u16string_view(u"-+ #0").find(f[pos]) != std::u16string_view::npos)
        spec.flags.push_back(static_cast<char>(f[pos++]));
    auto readNumber = [&](int& out) {
        if (pos >= f.size() || f[pos] < u'0' || f[pos] > u'9')
            return;
        out = 0;
        while (pos < f.size() && f[pos] >= u'0' && f[pos] <= u'9' && out < 1000)
            out = out * 10 + (f[pos++] - u'0');
    };
    readNumber(spec.width);
    if (pos < f.size() && f[pos] == u'.') {
        ++pos;
        spec.precision = 0;
        readNumber(spec.precision);
    }
    while (pos < f.size() &&
           (f[pos] == u'l' || f[pos] == u'h' || f[pos] == u'z' || f[pos] == u'j' ||
            f[pos] == u't' || f[pos] == u'L' || f[pos] == u'w' || f[pos] == u'I'))
        ++pos;
    if (pos >= f.size())
        return std::u16string_view::npos;
    spec.conversion = static_cast<char>(f[pos] < 0x80 ? f[pos] : '?');
    return pos + 1;
}

std::string NarrowFormat(const Spec& spec, const char* length, char conversion) {
    std::string fmt = "%" + spec.flags;
    if (spec.width >= 0)
        fmt += std::to_string(spec.width);
    if (spec.precision >= 0)
        fmt += "." + std::to_string(spec.precision);
    fmt += length;
    fmt.push_back(conversion);
    return fmt;
}

void Pad(std::u16string& out, std::u16string_view text, const Spec& spec) {
    std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
    bool left = spec.flags.find('-') != std::string::npos;
    std::size_t fill = width > text.size() ? width - text.size() : 0;
    if (!left)
        out.append(fill, u' ');
    out.append(text);
    if (left)
        out.append(fill, u' ');
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

void FormatOne(std::u16string& out, const Spec& spec, const TraceArg* arg) {
    if (!arg) {
        AppendAscii(out, "(missing)");
        return;
    }
    char buf[128];
    switch (spec.conversion) {
    case 'd':
    case 'i':
        std::snprintf(buf, sizeof buf, NarrowFormat(spec, "ll", 'd').c_str(), AsSigned(*arg));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        std::snprintf(buf, sizeof buf, NarrowFormat(spec, "ll", spec.conversion).c_str(),
                      AsUnsigned(*arg));
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
        double d =
            arg->kind == TraceArg::Kind::Double ? arg->d : static_cast<double>(AsSigned(*arg));
        std::snprintf(buf, sizeof buf, NarrowFormat(spec, "", spec.conversion).c_str(), d);
        break;
    }
    case 'p':
        std::snprintf(buf, sizeof buf, "%p",
                      arg->kind == TraceArg::Kind::Pointer ? arg->p : nullptr);
        break;
    case 'c': {
        char16_t c = static_cast<char16_t>(AsSigned(*arg));
        Pad(out, std::u16string_view(&c, 1), spec);
        return;
    }
    case 's':
    case 'S': {
        std::u16string_view text = arg->kind == TraceArg::Kind::Text ? arg->text : u"(?)";
        if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision))
            text = text.substr(0, static_cast<std::size_t>(spec.precision));
        Pad(out, text, spec);
        return;
    }
    default:
        AppendAscii(out, "(?)");
        return;
    }
    AppendAscii(out, buf);
}

} // namespace

void SetTraceSink(TraceSink sink, void* context, std::uint32_t mask) {
    std::lock_guard lock(SinkMutex());
    Sink() = {sink, context};
    detail::g_traceMask.store(sink ? mask : 0, std::memory_order_relaxed);
}

std::u16string FormatTrace(const char16_t* format, std::span<const TraceArg> args) {
    std::u16string out;
    if (!format)
        return out;
    std::u16string_view f(format);
    std::size_t next = 0;
    for (std::size_t pos = 0; pos < f.size();) {
        if (f[pos] != u'%') {
            out.push_back(f[pos++]);
            continue;
        }
        if (pos + 1 < f.size() && f[pos + 1] == u'%') {
            out.push_back(u'%');
            pos += 2;
            continue;
        }
        Spec spec;
        std::size_t end = ParseSpec(f, pos + 1, spec);
        if (end == std::u16string_view::npos) {
            out.append(f.substr(pos));
            break;
        }
        FormatOne(out, spec, next < args.size() ? &args[next] : nullptr);
        ++next;
        pos = end;
        if (out.size() > kTraceLineMax)
            break;
    }
    if (out.size() > kTraceLineMax)
        out.resize(kTraceLineMax);
    return out;
}

namespace detail {

bool TraceFormatted(std::uint32_t category, const char16_t* format,
                    std::span<const TraceArg> args) {
    return TraceText(category, FormatTrace(format, args));
}

} // namespace detail

bool TraceText(std::uint32_t category, std::u16string_view text) {
    if (!TraceEnabled(category))
        return false;
    if (text.size() > kTraceLineMax)
        text = text.substr(0, kTraceLineMax);
    std::lock_guard lock(SinkMutex());
    const SinkState& s = Sink();
    if (!s.sink)
        return false;
    return s.sink(s.context, category, text);
}

} // namespace kelvo
