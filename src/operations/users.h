// The user administration exchange: accounts, permissions and roles, the admin
// key, the password reset and the certificate request are all one request and
// one answer of the standard transaction. A member of the family is one row
// of the table below (command, what its payload holds, how its answer is read
// and checked); RunUserAdmin runs any of them.
#pragma once

#include "kelvo/automation.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class CKelvo;

namespace kelvo {

// What a member sends after its command code.
enum class UserPayload {
    None,         // nothing
    Name,         // counted first text
    TwoTexts,     // counted first text, counted second text
    NameRoleBits, // counted first text, role byte, permission bits 0-31, 32-63
    Key,          // count byte, key bytes
    Dates,        // two signed 64-bit numbers
};

// What a member reads after the success word, and the check made on it.
enum class UserAnswer {
    None,         // nothing
    EchoedName,   // the counted first text, echoed whole
    LoginUser,    // a counted name: empty, or the object's userName
    UserList,     // count byte, then that many counted names
    NameRoleBits, // the echoed counted first text, role byte, two permission words
    KeyBlock,     // the 192-byte admin key block
};

struct UserAdminMember {
    const char16_t* prefix; // trace name, "CKelvo::" and the method name
    std::uint16_t command;
    UserPayload payload;
    UserAnswer answer;
    int crcStep; // step number of the CRC check after success
};

// clang-format off
inline constexpr UserAdminMember kChangePasswordUser   {u"CKelvo::ChangePasswordUser",    0x3002, UserPayload::TwoTexts,     UserAnswer::LoginUser,    7};
inline constexpr UserAdminMember kChangePasswordAdmin  {u"CKelvo::ChangePasswordAdmin",   0x3003, UserPayload::TwoTexts,     UserAnswer::EchoedName,   7};
inline constexpr UserAdminMember kCreateUser           {u"CKelvo::CreateUser",            0x3004, UserPayload::TwoTexts,     UserAnswer::EchoedName,   7};
inline constexpr UserAdminMember kDeleteUser           {u"CKelvo::DeleteUser",            0x3005, UserPayload::Name,         UserAnswer::EchoedName,   7};
inline constexpr UserAdminMember kGetPermissionsAndRole{u"CKelvo::GetPermissionsAndRole", 0x3006, UserPayload::Name,         UserAnswer::NameRoleBits, 7};
inline constexpr UserAdminMember kSetPermissionsAndRole{u"CKelvo::SetPermissionsAndRole", 0x3007, UserPayload::NameRoleBits, UserAnswer::EchoedName,   7};
inline constexpr UserAdminMember kGetAllUsers          {u"CKelvo::GetAllUsers",           0x300A, UserPayload::None,         UserAnswer::UserList,     7};
inline constexpr UserAdminMember kGetBVAdminKey        {u"CKelvo::GetBVAdminKey",         0x300B, UserPayload::None,         UserAnswer::KeyBlock,     7};
inline constexpr UserAdminMember kResetAdminPassword   {u"CKelvo::ResetAdminPassword",    0x300C, UserPayload::Key,          UserAnswer::None,         7};
inline constexpr UserAdminMember kCreateCertificate    {u"CKelvo::CreateCertificate",     0x040A, UserPayload::Dates,        UserAnswer::None,         5};
// clang-format on

constexpr std::size_t kAdminKeySize = 192;

// The arguments of one call; a member reads the fields its payload names.
struct UserAdminArgs {
    std::u16string_view first;  // user name, or the old password of ChangePasswordUser
    std::u16string_view second; // password or new password
    std::uint8_t role = 0;
    std::uint64_t permissions = 0; // bit i: permission i
    std::span<const std::uint8_t> key;
    std::int64_t dates[2] = {};
};

// What a verified answer carried.
struct UserAdminResult {
    std::string users; // code-page bytes of the names, each followed by a TAB
    std::uint8_t role = 0;
    std::uint64_t permissions = 0;
    std::array<std::uint8_t, kAdminKeySize> key{};
};

// Runs one member on the object: builds the request, then the standard
// transaction with the member's answer reading and check. Returns S_OK or
// E_FAIL with errorCode stored. `result` is filled only on success.
// Length and count bytes keep their low 8 bits: nothing is refused for its size.
HRESULT RunUserAdmin(CKelvo& object, const UserAdminMember& member, const UserAdminArgs& args,
                     UserAdminResult* result = nullptr);

} // namespace kelvo
