// User and security administration: the user table with roles and
// permission bits, passwords, the admin key block with its password reset,
// and the certificate request.
//
// Rights: every command here except the admin key and the password reset
// needs an open login session, whatever --require-login says (without one:
// the missing-login code). Touching another account (create, delete, set its
// password or permissions, read its permissions) and the certificate request
// need permission bit 0, user administration, of the session's user.
#include "kelvo-sim/commands_users.h"

#include "kelvo-sim/commands.h"
#include "kelvo-sim/log.h"
#include "kelvo-sim/simulator.h"
#include "kelvo-sim/tls.h"
#include "protocol/bytes.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kChangePasswordUser = 0x3002;
constexpr std::uint16_t kChangePasswordAdmin = 0x3003;
constexpr std::uint16_t kCreateUser = 0x3004;
constexpr std::uint16_t kDeleteUser = 0x3005;
constexpr std::uint16_t kGetPermissions = 0x3006;
constexpr std::uint16_t kSetPermissions = 0x3007;
constexpr std::uint16_t kGetAllUsers = 0x300A;
constexpr std::uint16_t kGetAdminKey = 0x300B;
constexpr std::uint16_t kResetAdminPassword = 0x300C;
constexpr std::uint16_t kCreateCertificate = 0x040A;

// The user table's size is bounded by the count byte of the user list.
constexpr std::size_t kMaxUsers = 255;
// Latest date an X.509 certificate holds: 9999-12-31 23:59:59.
constexpr std::int64_t kLastCertificateSecond = 253402300799;

// Reads the fields of a request payload in order; any read past its end, or
// bytes left over at Done, make the request malformed.
class PayloadReader {
public:
    explicit PayloadReader(std::span<const std::uint8_t> payload) : p_(payload) {}

    bool Counted(std::string& text) {
        if (pos_ >= p_.size() || p_.size() - pos_ - 1 < p_[pos_])
            return false;
        const std::size_t size = p_[pos_];
        text.assign(reinterpret_cast<const char*>(p_.data() + pos_ + 1), size);
        pos_ += 1 + size;
        return true;
    }
    bool Bytes(std::size_t size, std::span<const std::uint8_t>& out) {
        if (p_.size() - pos_ < size)
            return false;
        out = p_.subspan(pos_, size);
        pos_ += size;
        return true;
    }
    bool Done() const { return pos_ == p_.size(); }

private:
    std::span<const std::uint8_t> p_;
    std::size_t pos_ = 0;
};

Bytes CountedAnswer(const std::string& name) {
    Bytes out(1 + name.size());
    out[0] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), out.begin() + 1);
    return out;
}

DeviceState::User* FindUser(DeviceState& state, const std::string& name) {
    auto it = std::find_if(state.users.begin(), state.users.end(),
                           [&name](const DeviceState::User& u) { return u.name == name; });
    return it == state.users.end() ? nullptr : &*it;
}

// The refusal a command meets before it runs: no session, or (when `admin`)
// a session user without the user administration bit. Empty: allowed.
std::optional<std::uint32_t> Refusal(DeviceState& state, bool admin) {
    if (!state.LoggedIn())
        return kLoginMissingError;
    const DeviceState::User* user = FindUser(state, state.sessionUser);
    if (!user)
        return kLoginMissingError; // the session's account was deleted meanwhile
    if (admin && !(user->permissions & kUserAdminPermission))
        return kNoRightError;
    return std::nullopt;
}

// Payload: counted old password, counted new password. Changes the session
// user's own password; answers the session user's name counted.
Reply ChangePasswordUser(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string oldPassword, newPassword;
    if (!in.Counted(oldPassword) || !in.Counted(newPassword) || !in.Done())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, false))
        return Reply::Error(*refused);
    DeviceState::User* user = FindUser(state, state.sessionUser);
    if (user->password != oldPassword)
        return Reply::Error(kWrongLoginError);
    user->password = newPassword;
    return Reply::Success(CountedAnswer(user->name));
}

// Payload: counted user name, counted new password.
Reply ChangePasswordAdmin(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string name, password;
    if (!in.Counted(name) || !in.Counted(password) || !in.Done())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, true))
        return Reply::Error(*refused);
    DeviceState::User* user = FindUser(state, name);
    if (!user)
        return Reply::Error(kUnknownUserError);
    user->password = password;
    return Reply::Success(CountedAnswer(name));
}

// Payload: counted user name, counted password. A new user has role 0 and no
// permission bits.
Reply CreateUser(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string name, password;
    if (!in.Counted(name) || !in.Counted(password) || !in.Done() || name.empty())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, true))
        return Reply::Error(*refused);
    if (FindUser(state, name))
        return Reply::Error(kUserExistsError);
    if (state.users.size() >= kMaxUsers)
        return Reply::Error(kUserTableFullError);
    state.users.push_back({name, password, 0, 0});
    return Reply::Success(CountedAnswer(name));
}

// Payload: counted user name. The session's own user cannot be deleted, so
// the table never runs empty.
Reply DeleteUser(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string name;
    if (!in.Counted(name) || !in.Done())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, true))
        return Reply::Error(*refused);
    if (!FindUser(state, name))
        return Reply::Error(kUnknownUserError);
    if (name == state.sessionUser)
        return Reply::Error(kUserInUseError);
    std::erase_if(state.users, [&name](const DeviceState::User& u) { return u.name == name; });
    return Reply::Success(CountedAnswer(name));
}

// Payload: counted user name. Answer: the name counted, the role, the
// permission bits 0-31 and 32-63. A user may read his own without the right.
Reply GetPermissions(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string name;
    if (!in.Counted(name) || !in.Done())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, name != state.sessionUser))
        return Reply::Error(*refused);
    const DeviceState::User* user = FindUser(state, name);
    if (!user)
        return Reply::Error(kUnknownUserError);
    FrameWriter out;
    out.bytes(CountedAnswer(name))
        .u8(user->role)
        .u32(static_cast<std::uint32_t>(user->permissions))
        .u32(static_cast<std::uint32_t>(user->permissions >> 32));
    return Reply::Success(std::move(out.data()));
}

// Payload: counted user name, role, permission bits 0-31 and 32-63.
Reply SetPermissions(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::string name;
    std::span<const std::uint8_t> fields;
    if (!in.Counted(name) || !in.Bytes(9, fields) || !in.Done())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, true))
        return Reply::Error(*refused);
    DeviceState::User* user = FindUser(state, name);
    if (!user)
        return Reply::Error(kUnknownUserError);
    user->role = fields[0];
    user->permissions = static_cast<std::uint64_t>(ldle_u32(fields.data() + 1)) |
                        static_cast<std::uint64_t>(ldle_u32(fields.data() + 5)) << 32;
    return Reply::Success(CountedAnswer(name));
}

// No payload. Answer: the count of users, then each name counted.
Reply GetAllUsers(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, false))
        return Reply::Error(*refused);
    Bytes out{static_cast<std::uint8_t>(state.users.size())};
    for (const DeviceState::User& user : state.users) {
        const Bytes name = CountedAnswer(user.name);
        out.insert(out.end(), name.begin(), name.end());
    }
    return Reply::Success(std::move(out));
}

// No payload, no session needed: the key block is what a forgotten admin
// password is recovered with.
Reply GetAdminKey(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    return Reply::Success(Bytes(state.adminKey.begin(), state.adminKey.end()));
}

// Payload: count byte N, N key bytes. The key must be the reset key of the
// block; the user "admin" then has the password "admin" again (and is made
// again, role 1 and every permission, if it was deleted).
Reply ResetAdminPassword(DeviceState& state, const Request& request) {
    PayloadReader in(request.payload);
    std::span<const std::uint8_t> count, key;
    if (!in.Bytes(1, count) || !in.Bytes(count[0], key) || !in.Done())
        return Reply::Error(kBadRequestError);
    const std::array<std::uint8_t, 32> expected = ResetKey(state.adminKey);
    if (!std::equal(key.begin(), key.end(), expected.begin(), expected.end()))
        return Reply::Error(kWrongResetKeyError);
    if (DeviceState::User* admin = FindUser(state, "admin"))
        admin->password = "admin";
    else if (state.users.size() < kMaxUsers)
        state.users.push_back({"admin", "admin", 1, ~std::uint64_t{0}});
    ++state.adminResets;
    return Reply::Success();
}

// Payload: start and expiry in milliseconds since 1970, signed 64 bits each.
// The device makes its TLS certificate for whole seconds of that span.
Reply CreateCertificate(DeviceState& state, const Request& request) {
    if (request.payload.size() != 16)
        return Reply::Error(kBadRequestError);
    if (auto refused = Refusal(state, true))
        return Reply::Error(*refused);
    const auto start = static_cast<std::int64_t>(ldle_u64(request.payload.data())) / 1000;
    const auto expire = static_cast<std::int64_t>(ldle_u64(request.payload.data() + 8)) / 1000;
    if (start < 0 || start >= expire || expire > kLastCertificateSecond)
        return Reply::Error(kBadDatesError);
    state.certificate = {start, expire};
    ++state.certificatesMade;
    return Reply::Success();
}

} // namespace

std::array<std::uint8_t, kAdminKeySize> DefaultAdminKey() {
    std::array<std::uint8_t, kAdminKeySize> key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(i * 151 + 29);
    return key;
}

std::array<std::uint8_t, 32> ResetKey(std::span<const std::uint8_t> adminKey) {
    std::array<std::uint8_t, 32> digest{};
    unsigned int size = 0;
    EVP_Digest(adminKey.data(), adminKey.size(), digest.data(), &size, EVP_sha256(), nullptr);
    return digest;
}

RequestedCertificates::RequestedCertificates(const Simulator& sim) : sim_(sim) {}

RequestedCertificates::~RequestedCertificates() = default;

void RequestedCertificates::Install(SSL_CTX* context) {
    SSL_CTX_set_cert_cb(context, OnHandshake, nullptr);
}

// Runs for every handshake: makes the certificate once per request and hands
// it to the connection in place of the original.
int RequestedCertificates::OnHandshake(SSL* ssl, void*) {
    auto* self = static_cast<RequestedCertificates*>(SSL_get_app_data(ssl));
    if (!self)
        return 1;
    RequestedCertificates& me = *self;
    const DeviceState state = me.sim_.State();
    if (state.certificatesMade != me.served_) {
        me.served_ = state.certificatesMade;
        CertificateOptions options;
        options.notBefore = state.certificate.notBefore;
        options.notAfter = state.certificate.notAfter;
        auto made = std::make_unique<TlsServer>();
        std::string error;
        if (made->Init(options, error)) {
            me.made_ = std::move(made);
            LogVerbose("tls: now serving the certificate " + me.made_->Fingerprint());
        } else {
            LogLine("tls: cannot make the requested certificate: " + error);
        }
    }
    if (!me.made_)
        return 1;
    SSL_CTX* made = me.made_->Context();
    return SSL_use_certificate(ssl, SSL_CTX_get0_certificate(made)) == 1 &&
                   SSL_use_PrivateKey(ssl, SSL_CTX_get0_privatekey(made)) == 1
               ? 1
               : 0;
}

void AddUserCommands(CommandTable& table) {
    const struct {
        std::uint16_t code;
        const char* name;
        Reply (*handler)(DeviceState&, const Request&);
    } commands[] = {
        {kChangePasswordUser, "ChangePasswordUser", ChangePasswordUser},
        {kChangePasswordAdmin, "ChangePasswordAdmin", ChangePasswordAdmin},
        {kCreateUser, "CreateUser", CreateUser},
        {kDeleteUser, "DeleteUser", DeleteUser},
        {kGetPermissions, "GetPermissionsAndRole", GetPermissions},
        {kSetPermissions, "SetPermissionsAndRole", SetPermissions},
        {kGetAllUsers, "GetAllUsers", GetAllUsers},
        {kGetAdminKey, "GetBVAdminKey", GetAdminKey},
        {kResetAdminPassword, "ResetAdminPassword", ResetAdminPassword},
        {kCreateCertificate, "CreateCertificate", CreateCertificate},
    };
    for (const auto& c : commands) {
        // The handlers decide about sessions themselves.
        Command command = MakeCommand(c.code, c.name, c.handler);
        command.needsLogin = false;
        table.Add(std::move(command));
    }
}

} // namespace kelvo::sim
