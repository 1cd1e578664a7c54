#include "fuzz_support.h"

#include "automation/settings_paths.h"
#include "device/messages.h"
#include "kelvo/runtime.h"
#include "kelvo/trace.h"

namespace kelvo::fuzz {

void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

namespace {

std::string g_scratch;

void SilentMessageBox(std::u16string_view, std::u16string_view, unsigned) {}

// Every trace line: one category bit, not longer than a line may be, and the
// lines of the device operations name the object's class first.
bool CheckTraceLine(void*, std::uint32_t category, std::u16string_view line) {
    FUZZ_CHECK(category != 0 && (category & (category - 1)) == 0);
    FUZZ_CHECK(line.size() <= kTraceLineMax);
    if (category == TRACE_READ)
        FUZZ_CHECK(line.starts_with(u"CKelvo::"));
    return true;
}

class Factory final : public test::StaticClassFactory {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return FuzzTransport::Instance().QueryInterface(riid, ppv);
    }
};

// The scratch folder is the settings folder and the module's folder.
void SetUpProcess() {
    static const bool done = [] {
        char pattern[] = "/tmp/kelvo-fuzz-XXXXXX";
        if (!::mkdtemp(pattern))
            Fail(__FILE__, __LINE__, "mkdtemp");
        g_scratch = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_scratch, ec);
        });
        ::setenv("APPDATA", g_scratch.c_str(), 1);
        for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            ::unsetenv(display); // no window, whatever a target calls
        ::setenv("KELVO_REGISTRY", (g_scratch + "/registry").c_str(), 1);
        std::ofstream(g_scratch + "/DeviceLink.ini") << "[Kelvo]\nLastPort=7\n";
        // A short message file: every object reads it when it is made.
        std::ofstream(g_scratch + "/Kelvo.ERR") << "[ERR]\n1,device error\n7,time-out\n";
        SetModuleDirectoryOverride(g_scratch + "/");
        SetMessageBoxFunction(SilentMessageBox);
        SetTraceSink(CheckTraceLine, nullptr, 0xFFFFFFFF);
        static Factory factory;
        RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &factory);
        return true;
    }();
    (void)done;
}

} // namespace

const std::string& ScratchDir() {
    return g_scratch;
}

// ---------------------------------------------------------------- input

std::span<const std::uint8_t> Input::bytes(std::size_t n) {
    const auto out = bytes_.subspan(at_, std::min(n, left()));
    at_ += out.size();
    return out;
}

std::u16string Input::text(bool utf16le) {
    const auto all = rest();
    if (!utf16le)
        return Widen(all);
    std::u16string text;
    for (std::size_t i = 0; i + 1 < all.size(); i += 2)
        text.push_back(static_cast<char16_t>(all[i] | (all[i + 1] << 8)));
    return text;
}

bool IsErrorCode(std::int32_t code) {
    return code >= KE_OK && code <= KE_TRANSPORT_10 && code != 2;
}

bool IsKnownResult(HRESULT hr) {
    return hr == S_OK || hr == E_FAIL || hr == E_POINTER || hr == E_INVALIDARG || hr == E_NOTIMPL ||
           hr == E_OUTOFMEMORY || hr == KELVO_E_ADAPTER || hr == KELVO_E_CONVERSION ||
           hr == KELVO_E_OPEN || hr == KELVO_E_CONNECTION_TEXT || hr == KELVO_E_PERMISSIONS;
}

// ---------------------------------------------------------------- transport

void FuzzTransport::Play(std::span<const std::uint8_t> device, const Script& script) {
    script_ = script;
    locks = lockDepth = writes = reads = opens = 0;
    written.clear();
    openedWith.clear();
    lastError_ = PW_OK;
    // A stream waits whole from the start; answers are released one per request.
    device_ = script.answers ? device : std::span<const std::uint8_t>();
    input_.assign(device.begin(), script.answers ? device.begin() : device.end());
}

HRESULT FuzzTransport::Read(void* buffer, ULONG length, ULONG) {
    ++reads;
    FUZZ_CHECK(buffer != nullptr || length == 0);
    const std::size_t take = std::min<std::size_t>(length, input_.size());
    std::copy_n(input_.begin(), take, static_cast<std::uint8_t*>(buffer));
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(take));
    return take == length ? S_OK : Error(PW_TIMEOUT);
}

// Every request goes out under the port lock. In answers mode it releases the
// next answer, its counter and serial envelope made to fit the request:
// [address] node counter(2) ...
HRESULT FuzzTransport::Write(const void* buffer, ULONG length) {
    FUZZ_CHECK(lockDepth > 0);
    FUZZ_CHECK(buffer != nullptr && length > 0);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    const std::vector<std::uint8_t>& request = written.emplace_back(p, p + length);
    if (++writes == script_.failWriteAt)
        return Error(PW_IO_FAILED);
    if (device_.empty())
        return S_OK;
    Input in(device_);
    const auto bytes = in.bytes(in.u16());
    std::vector<std::uint8_t> answer(bytes.begin(), bytes.end());
    device_ = device_.subspan(device_.size() - in.left());
    const std::size_t counterAt = script_.serialWrap ? 2 : 1;
    if (script_.patchCounter && answer.size() >= 3 && request.size() >= counterAt + 2)
        std::copy_n(request.begin() + counterAt, 2, answer.begin() + 1);
    if (script_.serialWrap)
        answer = SerialWrap(request[0], answer);
    input_.insert(input_.end(), answer.begin(), answer.end());
    return S_OK;
}

HRESULT FuzzTransport::GetProperty(SHORT id, VARIANT* value) {
    FUZZ_CHECK(value != nullptr);
    const auto p = properties.find(id);
    if (p == properties.end())
        return E_FAIL;
    value->vt = p->second.first;
    value->ulVal = p->second.second;
    return S_OK;
}

// ---------------------------------------------------------------- objects

CKelvo* NewObject() {
    auto* k = new CKelvo;
    k->AddRef();
    return k;
}

CKelvo* ConnectedObject(bool serial, std::uint8_t address, bool utf8) {
    SetThreadCodePage(utf8 ? CodePage::Utf8 : CodePage::Windows1252);
    FuzzTransport::Instance().Play({}, {}); // no failure of an earlier run stays armed
    CKelvo* k = NewObject();
    k->serialMode = serial ? 1 : 0;
    k->tcpMode = serial ? 0 : 1;
    k->address = address;
    k->portAdapter = std::make_unique<CComPort>();
    FUZZ_CHECK(k->portAdapter->open(u"TCPIP:fuzz/17221,5000", nullptr) == 1);
    return k;
}

void ReleaseChecked(CKelvo* k, bool usable) {
    FuzzTransport& t = FuzzTransport::Instance();
    FUZZ_CHECK(IsErrorCode(k->errorCode) && t.lockDepth == 0);
    if (usable && k->portAdapter) {
        std::vector<std::uint8_t> answer = AnswerFrame(k->frameCount, 0x30E0);
        if (k->serialMode)
            answer = SerialWrap(k->address == 255 ? 0x01 : k->address, answer);
        static std::vector<std::uint8_t> answers; // the transport keeps a view of it
        answers.clear();
        AppendAnswer(answers, answer);
        t.Play(answers, {.answers = true});
        FUZZ_CHECK(k->Save_Command() == S_OK && k->errorCode == KE_OK && t.lockDepth == 0);
    }
    k->Release();
    FUZZ_CHECK(t.references() == 1);
    SetThreadCodePage(CodePage::Windows1252);
}

BSTR SentinelBstr() {
    static BSTR sentinel = SysAllocString(u"sentinel");
    return sentinel;
}

void AppendAnswer(std::vector<std::uint8_t>& answers, std::span<const std::uint8_t> answer) {
    answers.push_back(static_cast<std::uint8_t>(answer.size()));
    answers.push_back(static_cast<std::uint8_t>(answer.size() >> 8));
    answers.insert(answers.end(), answer.begin(), answer.end());
}

} // namespace kelvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelvo::fuzz::SetUpProcess();
    kelvo::fuzz::Input in({data, size});
    kelvo::fuzz::FuzzOne(in);
    return 0;
}

#ifdef KELVO_FUZZ_REPLAY
// The replay program of the normal build: the target once on every file of
// the given folders or files, in name order, so that the committed corpora
// are regression tests. A broken check aborts.
int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i]))
            files.emplace_back(argv[i]);
        else
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        std::ifstream file(f, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(file)), {});
        input.shrink_to_fit(); // exactly the input's size, as the fuzzer hands it over
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
#endif
