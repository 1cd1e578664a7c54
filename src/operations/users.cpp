// User accounts and the user administration exchange shared by every member
// of the family (accounts, permissions, admin key, certificates).
#include "operations/users.h"

#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"
#include "protocol/counted_text.h"

#include <cstring>

using namespace kelvo;

namespace kelvo {
namespace {

constexpr std::size_t kMaxCounted = 255;

// Request payload with counted texts (protocol/counted_text.h). The frame
// length byte keeps the low 8 bits of 2 + the payload size.
class Payload {
public:
    // Appends one counted text and returns its bytes.
    std::string Counted(std::u16string_view text) {
        std::string bytes = CountedText(text);
        w_.u8(static_cast<std::uint8_t>(bytes.size()))
            .bytes({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        return bytes;
    }
    FrameWriter& writer() { return w_; }
    std::span<const std::uint8_t> bytes() { return w_.data(); }

private:
    FrameWriter w_;
};

// The expected echo of a name: its counted form, length byte first.
bool EchoMatches(std::span<const std::uint8_t> echo, const std::string& name) {
    return echo.size() == name.size() + 1 && echo[0] == name.size() &&
           std::memcmp(echo.data() + 1, name.data(), name.size()) == 0;
}

int EchoMismatch(AnswerSteps& steps) {
    Trace(TRACE_READ, u"%s fail 6", steps.prefix());
    return KE_USER_ECHO;
}

// Reads and checks the member's answer data after the success word. Every
// time-out is "fail 5" (the name bytes of the user list "fail 6"), every
// check that fails is "fail 6"; the echo is checked before the CRC trailer.
int ReadUserAnswer(AnswerSteps& steps, UserAnswer answer, const std::string& name,
                   UserAdminResult& out) {
    std::uint8_t buffer[kMaxCounted + 10];
    switch (answer) {
    case UserAnswer::None:
        return KE_OK;
    case UserAnswer::EchoedName: {
        const std::span<std::uint8_t> echo(buffer, name.size() + 1);
        if (int r = steps.Read(echo, 5))
            return r;
        return EchoMatches(echo, name) ? KE_OK : EchoMismatch(steps);
    }
    case UserAnswer::LoginUser: {
        std::uint8_t length = 0;
        if (int r = steps.Read({&length, 1}, 5))
            return r;
        if (length == 0)
            return KE_OK;
        if (int r = steps.Read({buffer + 1, length}, 5))
            return r;
        buffer[0] = length;
        // The device echoes the login user as the login sent it.
        const std::string user = CountedText(steps.object().userName);
        return EchoMatches({buffer, length + 1u}, user) ? KE_OK : EchoMismatch(steps);
    }
    case UserAnswer::UserList: {
        std::uint8_t count = 0;
        if (int r = steps.Read({&count, 1}, 5))
            return r;
        for (int i = 0; i < count; ++i) {
            std::uint8_t length = 0;
            if (int r = steps.Read({&length, 1}, 5))
                return r;
            if (int r = steps.Read({buffer, length}, 6))
                return r;
            out.users.append(reinterpret_cast<const char*>(buffer), length);
            out.users.push_back('\t');
        }
        return KE_OK;
    }
    case UserAnswer::NameRoleBits: {
        const std::size_t l = name.size();
        if (int r = steps.Read({buffer, l + 10}, 5))
            return r;
        if (!EchoMatches({buffer, l + 1}, name))
            return EchoMismatch(steps);
        out.role = buffer[l + 1];
        out.permissions = static_cast<std::uint64_t>(ldle_u32(buffer + l + 2)) |
                          static_cast<std::uint64_t>(ldle_u32(buffer + l + 6)) << 32;
        return KE_OK;
    }
    case UserAnswer::KeyBlock:
        return steps.Read(out.key, 5);
    }
    return KE_OK;
}

} // namespace

HRESULT RunUserAdmin(CKelvo& k, const UserAdminMember& m, const UserAdminArgs& args,
                     UserAdminResult* result) {
    Payload payload;
    std::string name; // the counted first text, echoed by the device
    switch (m.payload) {
    case UserPayload::None:
        break;
    case UserPayload::Name:
        name = payload.Counted(args.first);
        break;
    case UserPayload::TwoTexts:
        name = payload.Counted(args.first);
        payload.Counted(args.second);
        break;
    case UserPayload::NameRoleBits:
        name = payload.Counted(args.first);
        payload.writer()
            .u8(args.role)
            .u32(static_cast<std::uint32_t>(args.permissions))
            .u32(static_cast<std::uint32_t>(args.permissions >> 32));
        break;
    case UserPayload::Key:
        // The count byte keeps the low 8 bits; all key bytes are sent.
        payload.writer().u8(static_cast<std::uint8_t>(args.key.size())).bytes(args.key);
        break;
    case UserPayload::Dates:
        payload.writer()
            .u64(static_cast<std::uint64_t>(args.dates[0]))
            .u64(static_cast<std::uint64_t>(args.dates[1]));
        break;
    }
    UserAdminResult answer;
    auto read = [&](AnswerSteps& steps) { return ReadUserAnswer(steps, m.answer, name, answer); };
    Exchange x{};
    x.prefix = m.prefix;
    x.command = m.command;
    x.payload = payload.bytes();
    x.headerLength = 6;
    x.successWord = SuccessWord(m.command);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.crcStep = m.crcStep;
    x.readAnswer = read;
    const HRESULT hr = k.Transact(x);
    if (SUCCEEDED(hr) && result)
        *result = std::move(answer);
    return hr;
}

} // namespace kelvo

HRESULT CKelvo::GetAllUsers(BSTR* result) {
    TraceText(TRACE_READ, u"CKelvo::GetAllUsers");
    if (!result)
        return E_POINTER;
    UserAdminResult answer;
    const HRESULT hr = RunUserAdmin(*this, kGetAllUsers, {}, &answer);
    if (FAILED(hr))
        return hr;
    const std::u16string names = FromAnsi(answer.users);
    *result = SysAllocStringLen(names.data(), static_cast<UINT>(names.size()));
    return S_OK;
}

HRESULT CKelvo::ChangePasswordUser(BSTR oldPassword, BSTR newPassword) {
    Trace(TRACE_READ, u"CKelvo::ChangePasswordUser %s %s", oldPassword, newPassword);
    UserAdminArgs args;
    args.first = BstrView(oldPassword);
    args.second = BstrView(newPassword);
    return RunUserAdmin(*this, kChangePasswordUser, args);
}

HRESULT CKelvo::ChangePasswordAdmin(BSTR username, BSTR newPassword) {
    Trace(TRACE_READ, u"CKelvo::ChangePasswordAdmin %s %s", username, newPassword);
    UserAdminArgs args;
    args.first = BstrView(username);
    args.second = BstrView(newPassword);
    return RunUserAdmin(*this, kChangePasswordAdmin, args);
}

HRESULT CKelvo::CreateUser(BSTR username, BSTR password) {
    Trace(TRACE_READ, u"CKelvo::CreateUser %s %s", username, password);
    UserAdminArgs args;
    args.first = BstrView(username);
    args.second = BstrView(password);
    return RunUserAdmin(*this, kCreateUser, args);
}

HRESULT CKelvo::DeleteUser(BSTR username) {
    Trace(TRACE_READ, u"CKelvo::DeleteUser %s", username);
    UserAdminArgs args;
    args.first = BstrView(username);
    return RunUserAdmin(*this, kDeleteUser, args);
}
