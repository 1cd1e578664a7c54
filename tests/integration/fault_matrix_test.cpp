// Every device operation of the object against every fault kind of kelvo-sim,
// over TCP and over a pseudo-terminal serial line. For each fault: the error
// code the frame engine documents, the link lock free again at once (seen
// through its lock file, as another process sees it), and the next call of
// the same operation on the same object succeeding.
//
// The read steps are not written down here: a first, fault-free call runs
// through a transport that records every Read, and the answer is then cut
// before each of those reads in turn.
#include "integration/sim_link.h"
#include "support/portway_double.h"
#include "support/reset_key.h"
#include "support/variant_of.h"
#include "transport/portway/device_paths.h"
#include "transport/portway/portway.h"

#include "kelvo/runtime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace kelvo::test {
namespace {

constexpr int kTimeoutMs = 100;  // the object's time-out where a fault means silence
constexpr int kPatientMs = 3000; // and where the answer comes
constexpr int kLateMs = 400;     // a delayed answer comes this long after the request
constexpr std::uint32_t kDeviceCode = 0x0C0FFEE1;
constexpr std::uint8_t kSerialAddress = 5;
const std::string kDescriptions = KELVO_SOURCE_DIR "/tools/kelvo-sim/errorlog";

// ------------------------------------------------ transport that records reads

// The read lengths of each request, in the order the object asked for them.
struct ReadLog {
    bool on = false;
    std::vector<std::vector<ULONG>> requests;
};
ReadLog g_reads;

// Passes every call of a link to the Linux transport (variant data is not
// provided by either); notes each write and each successful read while the log
// is on.
class RecordingPortway final : public PortwayDouble {
public:
    explicit RecordingPortway(IPortway* inner) : inner_(inner) {}

    HRESULT Open(BSTR c) override { return inner_->Open(c); }
    HRESULT Close() override { return inner_->Close(); }
    HRESULT Reset() override { return inner_->Reset(); }
    HRESULT Lock() override { return inner_->Lock(); }
    HRESULT Unlock() override { return inner_->Unlock(); }
    HRESULT Read(void* buffer, ULONG length, ULONG timeout) override {
        const HRESULT hr = inner_->Read(buffer, length, timeout);
        if (SUCCEEDED(hr) && g_reads.on && !g_reads.requests.empty())
            g_reads.requests.back().push_back(length);
        return hr;
    }
    HRESULT Write(const void* buffer, ULONG length) override {
        if (g_reads.on)
            g_reads.requests.emplace_back();
        return inner_->Write(buffer, length);
    }
    HRESULT get_ErrorCode(PortwayErrorCode* e) override { return inner_->get_ErrorCode(e); }
    HRESULT AddMessageFilter(LONG, LONG) override { return S_OK; }
    HRESULT RemMessageFilter(LONG, LONG) override { return S_OK; }
    HRESULT RequireMessage(LONG, LONG) override { return S_OK; }
    HRESULT PutProperty(SHORT id, VARIANT v) override { return inner_->PutProperty(id, v); }
    HRESULT GetProperty(SHORT id, VARIANT* v) override { return inner_->GetProperty(id, v); }
    HRESULT Flush() override { return inner_->Flush(); }

private:
    ~RecordingPortway() override { inner_->Release(); }
    IPortway* inner_;
};

class RecordingFactory final : public StaticClassFactory {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        void* inner = nullptr;
        HRESULT hr = PortwayClassFactory()->CreateInstance(outer, IID_IPortway, &inner);
        if (FAILED(hr))
            return hr;
        auto* wrapper = new RecordingPortway(static_cast<IPortway*>(inner));
        hr = wrapper->QueryInterface(riid, ppv);
        wrapper->Release();
        return hr;
    }
};
RecordingFactory g_factory;

// ------------------------------------------------------------ the operations

// What an operation needs besides the object, and room for what it reads.
struct Context {
    CKelvo* k;
    Bstr entry;        // where the error log entry goes
    Bstr descriptions; // and the record descriptions it is decoded by
    std::u16string resetKey;
    int names = 0; // fresh user names for create and delete
    BYTE buf[16] = {};
    ULONG value = 0;
    LONG result = 0;
    Bstr text; // out() frees what the last call left
    Variant v;
    Variant permissions;
    VARIANT* Out() {
        VariantClear(&v);
        return &v;
    }
};

struct Operation {
    const char* name;
    std::uint16_t command;
    std::function<HRESULT(Context&)> run;
    bool login = true;    // the object logs in before the matrix
    bool victims = false; // the device holds users v000, v001, ... to delete
    int wrongStatusCode = KE_STATUS;
};

std::u16string Numbered(const char16_t* prefix, int n) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", n % 1000);
    return prefix + Utf8ToUtf16(digits);
}

// Every third of the 64 permission bits set, as the object takes them.
VARIANT Permissions() {
    VARIANT bits = VariantOf(VT_ARRAY | VT_VARIANT, 0);
    bits.parray = SafeArrayCreateVector(VT_VARIANT, 0, 64);
    for (int i = 0; i < 64; ++i)
        static_cast<VARIANT*>(bits.parray->pvData)[i] = VariantOf(VT_BOOL, i % 3 == 0 ? -1 : 0);
    return bits;
}

const Operation kOperations[] = {
    {"Login", 0x3001,
     [](Context& c) { return c.k->Login(u"admin", u"admin", true) ? S_OK : E_FAIL; }, false},
    {"Logout", 0x3009, [](Context& c) { return c.k->Logout() ? S_OK : E_FAIL; }},
    {"GetPar", 0x0201, [](Context& c) { return c.k->get_Par(0x1004, 0, VT_I4, c.Out()); }},
    {"PutPar", 0x0202,
     [](Context& c) { return c.k->put_Par(0x1004, 0, VT_I4, VariantOf(VT_I4, 7)); }},
    {"Save", 0x300E, [](Context& c) { return c.k->Save_Command(); }},
    {"Reset", 0x0401, [](Context& c) { return c.k->Reset_Command(); }},
    {"Restore", 0x0402, [](Context& c) { return c.k->Restore_Command(3); }},
    {"ResetError", 0x040C, [](Context& c) { return c.k->ResetError(1); }},
    {"DeleteErrorLog", 0x0403, [](Context& c) { return c.k->DeleteErrorLog(); }},
    // A frame of neither status word is asked for again: the call goes on.
    {"ReadErrorLog", 0x040B,
     [](Context& c) { return c.k->ReadErrorLog(0, c.entry.get(), c.descriptions.get()); }, true,
     false, KE_OK},
    {"ReadDataBlock", 0x1003,
     [](Context& c) { return c.k->ReadDataBlock(0, 0, 0, 0, 8, sizeof c.buf, c.buf); }},
    {"WriteDataBlock", 0x1004,
     [](Context& c) { return c.k->WriteDataBlock(1, 2, 3, 4, 0, 8, c.buf); }},
    {"SafeDataRead", 0x5002,
     [](Context& c) {
         SAFEARRAY* out = nullptr;
         const HRESULT hr = c.k->SafeDataRead(&out);
         SafeArrayDestroy(out);
         return hr;
     }},
    {"SafeDataWrite", 0x5001,
     [](Context& c) {
         SAFEARRAY* data = SafeArrayCreateVector(VT_UI1, 0, 40);
         const HRESULT hr = c.k->SafeDataWrite(data);
         SafeArrayDestroy(data);
         return hr;
     }},
    {"ReadSafeObject", 0x5003, [](Context& c) { return c.k->ReadSafeObject(0x6000, 1, &c.value); }},
    {"ReadSSCBuffer", 0x1001, [](Context& c) { return c.k->ReadSSCBuffer(4, 12, c.buf); }},
    {"PushDataCommand", 0x1002,
     [](Context& c) { return c.k->PushDataCommand(0, 1, VariantOf(VT_EMPTY, 0), &c.result); }},
    {"GetAllUsers", 0x300A, [](Context& c) { return c.k->GetAllUsers(c.text.out()); }},
    {"CreateUser", 0x3004,
     [](Context& c) {
         return c.k->CreateUser(Bstr(Numbered(u"n", c.names++)).get(), Bstr(u"pw").get());
     }},
    {"DeleteUser", 0x3005,
     [](Context& c) { return c.k->DeleteUser(Bstr(Numbered(u"v", c.names++)).get()); }, true, true},
    {"ChangePasswordUser", 0x3002,
     [](Context& c) {
         return c.k->ChangePasswordUser(Bstr(u"admin").get(), Bstr(u"admin").get());
     }},
    {"ChangePasswordAdmin", 0x3003,
     [](Context& c) { return c.k->ChangePasswordAdmin(Bstr(u"op").get(), Bstr(u"pw2").get()); }},
    {"GetPermissionsAndRole", 0x3006,
     [](Context& c) { return c.k->GetPermissionsAndRole(Bstr(u"op").get(), c.Out()); }},
    {"SetPermissionsAndRole", 0x3007,
     [](Context& c) { return c.k->SetPermissionsAndRole(Bstr(u"op").get(), 2, c.permissions); }},
    {"GetBVAdminKey", 0x300B, [](Context& c) { return c.k->GetBVAdminKey(c.text.out()); }},
    {"ResetAdminPassword", 0x300C,
     [](Context& c) { return c.k->ResetAdminPassword(Bstr(c.resetKey).get()); }},
    {"CreateCertificate", 0x040A,
     [](Context& c) { return c.k->CreateCertificate(1700000000, 1800000000); }},
    {"Ping", 0x0101, [](Context& c) { return c.k->Ping(0, c.text.out()); }},
};
constexpr int kOperationCount = static_cast<int>(std::size(kOperations));
// Two modes on the addresses 127.0.114.1 to 127.0.114.60.
static_assert(2 * kOperationCount <= 60);

// ------------------------------------------------------------- the fixture

// Over the serial line or not, and the index into kOperations.
using MatrixCase = std::tuple<bool, int>;

// Each case has its own simulator on its own loopback address.
int Slot(const MatrixCase& mc) {
    return 1 + std::get<1>(mc) + (std::get<0>(mc) ? kOperationCount : 0);
}

class FaultMatrix : public SimTest, public ::testing::WithParamInterface<MatrixCase> {
protected:
    void SetUp() override {
        const auto [serial, op] = GetParam();
        op_ = &kOperations[op];
        std::filesystem::create_directories(dir_ + "/run");
        // Lock files of this test only, where the check below finds them.
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);

        address_ = "127.0.114." + std::to_string(Slot(GetParam()));
        control_ = dir_ + "/control";
        const Link link = serial ? Link::Serial : Link::Tcp;
        d_ = Start(sim_, link, address_,
                   {"--control", control_, "--state", File("state.xml", StateXml())});
        k_ = d_->get();
        k_->timeOut = kPatientMs;
        // Opened again through the transport that records reads.
        RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &g_factory);
        text_ = TextOf(link, address_);
        ASSERT_EQ(d_->Open(text_), 1) << d_->error;
        if (serial) {
            char resolved[PATH_MAX];
            ASSERT_TRUE(realpath((dir_ + "/devices/com1").c_str(), resolved));
            lockFile_ = resolved; // a serial line locks its device node
        } else {
            lockFile_ = portway::LinkLockPath("tcp-" + address_ + "_17221");
        }
        // The observable is the right one: it shows a lock the object holds.
        ASSERT_EQ(k_->portAdapter->lock(2000), 1);
        ASSERT_TRUE(LockHeld()) << lockFile_;
        k_->portAdapter->unlock();
        ASSERT_FALSE(LockHeld());

        context_.k = k_;
        context_.entry = Bstr(Utf8ToUtf16(dir_ + "/entry.xml"));
        context_.descriptions = Bstr(Utf8ToUtf16(kDescriptions));
        static_cast<VARIANT&>(context_.permissions) = Permissions();
        Bstr key;
        ASSERT_EQ(k_->GetBVAdminKey(key.out()), S_OK) << k_->errorCode;
        context_.resetKey = ResetKeyOf(key.view());
        k_->userName = u"admin";
        k_->password = u"admin";
        if (op_->login) {
            ASSERT_TRUE(k_->Login(u"admin", u"admin", false)) << k_->errorCode;
        }
        k_->timeOut = kPatientMs;
    }

    std::string StateXml() const {
        std::string xml = "<kelvo-sim><users>\n"
                          "<user name=\"admin\" password=\"admin\" role=\"1\" "
                          "permissions=\"0xFFFFFFFFFFFFFFFF\"/>\n"
                          "<user name=\"op\" password=\"pw\" role=\"2\" permissions=\"0x5\"/>\n";
        for (int i = 0; op_->victims && i < 200; ++i)
            xml += "<user name=\"" + Utf16ToUtf8(Numbered(u"v", i)) + "\" password=\"x\"/>\n";
        return xml + "</users></kelvo-sim>\n";
    }

    // Another process's view: can the link's lock file be taken right now?
    // TCP links hold it in the file's first word (the holder's pid), others
    // with flock.
    bool LockHeld() const {
        const int fd = open(lockFile_.c_str(), O_RDONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0)
            return true;
        std::uint32_t word = 0;
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 ||
                          (pread(fd, &word, sizeof word, 0) == sizeof word && word != 0);
        close(fd);
        return held;
    }

    ::testing::AssertionResult Plan(const std::string& line) const {
        return SimProcess::Control(control_, line);
    }

    const Operation* op_ = nullptr;
    std::string address_;
    std::string control_;
    std::string lockFile_;
    std::u16string text_;
    SimProcess sim_;
    std::unique_ptr<SimDevice> d_;
    CKelvo* k_ = nullptr;
    Context context_;
};

// One fault on one request of the operation.
struct Fault {
    std::string planWords; // "fault ..." words of the plan
    int code;              // errorCode expected
    bool waits;            // the call ends by a read time-out: the short one applies
    bool late;             // the whole answer still comes, after the time-out
    bool closes;           // a TCP connection is gone afterwards
    std::string label;     // what the failure messages call it
};

TEST_P(FaultMatrix, GivesItsCodeFreesTheLockAndTheNextCallWorks) {
    const bool serial = std::get<0>(GetParam());

    // The fault-free call, with its read steps recorded.
    g_reads = {true, {}};
    ASSERT_EQ(op_->run(context_), S_OK) << op_->name << " code " << k_->errorCode;
    g_reads.on = false;
    const std::vector<std::vector<ULONG>> requests = g_reads.requests;
    ASSERT_FALSE(requests.empty());

    int tried = 0;
    for (std::size_t request = 0; request < requests.size(); ++request) {
        const std::vector<ULONG>& reads = requests[request];
        const ULONG total = std::accumulate(reads.begin(), reads.end(), ULONG{0});
        // A serial push-data command is sent without reading an answer: no
        // fault of the answer can touch it.
        const bool answered = !reads.empty();
        const auto code = [&](int c) { return answered ? c : KE_OK; };
        const auto simple = [&](const std::string& planWords, int c) {
            return Fault{"fault " + planWords, code(c), false, false, false, planWords};
        };
        std::vector<Fault> faults;
        ULONG before = 0;
        for (std::size_t step = 0; step < reads.size(); before += reads[step++]) {
            const std::string planWords = before == 0 ? "silent" : "cut:" + std::to_string(before);
            faults.push_back({"fault " + planWords, KE_TIMEOUT, true, false, false,
                              "silent before read " + std::to_string(step + 1)});
        }
        faults.push_back({"fault delay:" + std::to_string(kLateMs), code(KE_TIMEOUT), true,
                          answered, false, "late answer"});
        faults.push_back(simple("wrong-counter", KE_FRAME_COUNT));
        faults.push_back(simple("wrong-status", op_->wrongStatusCode));
        faults.push_back(simple("device-error:" + std::to_string(kDeviceCode), KE_DEVICE));
        // A serial line has no connection to lose: the rest of the answer
        // just never comes.
        faults.push_back({"fault cut:" + std::to_string(total / 2) + " fault close",
                          code(KE_TIMEOUT), serial, false, !serial, "closed in mid-answer"});
        if (serial) {
            faults.push_back(simple("bad-crc", KE_CRC));
            faults.push_back(simple("wrong-address", KE_ADDRESS));
        }

        for (const Fault& f : faults) {
            const std::string what = std::string(op_->name) + ", request " +
                                     std::to_string(request + 1) + ": " + f.label;
            ++tried;
            ASSERT_TRUE(Plan(f.planWords + " command " + std::to_string(op_->command) + " at " +
                             std::to_string(request + 1) + " count 1"));
            k_->errorCode = -1;
            k_->deviceStatus = 0;
            // Calls that do not wait for silence get time enough on a busy
            // machine, so that only the fault decides their outcome.
            k_->timeOut = f.waits ? kTimeoutMs : kPatientMs;
            const HRESULT hr = op_->run(context_);
            EXPECT_EQ(hr, f.code == KE_OK ? S_OK : E_FAIL) << what;
            if (f.code != KE_OK) {
                EXPECT_EQ(k_->errorCode, f.code) << what;
            }
            if (f.code == KE_DEVICE) {
                EXPECT_EQ(k_->deviceStatus, kDeviceCode) << what;
            }
            EXPECT_FALSE(LockHeld()) << what;

            // A late answer is taken off the line once it is there, as the
            // next request's reset would drop it had it come in time.
            if (f.late) {
                std::vector<unsigned char> late(total);
                EXPECT_EQ(k_->portAdapter->get(late.data(), 2000, total), 1) << what;
            }
            if (f.closes) {
                ASSERT_EQ(d_->Open(text_), 1) << what;
            }
            k_->timeOut = kPatientMs;
            EXPECT_EQ(op_->run(context_), S_OK) << what << ", then code " << k_->errorCode;
            EXPECT_FALSE(LockHeld()) << what;
        }
    }
    RecordProperty("faults", tried);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultMatrix,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Range(0, kOperationCount)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Serial_" : "Tcp_") +
                                    kOperations[std::get<1>(info.param)].name;
                         });

} // namespace
} // namespace kelvo::test
