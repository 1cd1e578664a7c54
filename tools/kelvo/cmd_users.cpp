// User and security administration: users, perms, adminkey, cert.
#include "commands.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace kelvo::tool {
namespace {

constexpr int kPermissionBits = 64;

// What a text argument is: a plain text, or a password that may be left out
// and then comes from the login or the new-password sources (secrets.h).
enum class Arg { Text, LoginPassword, NewPassword };

struct ArgForm {
    const char* name;
    Arg kind = Arg::Text;
};

// A password argument left out is taken from its source; one given is kept
// out of -v lines. `forWhom` names the user in a prompt.
void FillPassword(Tool& tool, const ArgForm& form, const std::string& forWhom, std::string& value) {
    if (!value.empty()) {
        tool.secrets().Add(value);
        return;
    }
    std::string error;
    const bool found = form.kind == Arg::LoginPassword
                           ? tool.secrets().LoginPassword(&value, &error)
                           : tool.secrets().NewPassword(forWhom, &value, &error);
    if (!found)
        throw CLI::ValidationError(form.name, error);
}

constexpr char kPasswordHelp[] =
    "(leave it out: --new-password-file, $KELVO_NEW_PASSWORD or a prompt)";

// Runs a method that takes texts and gives no result.
template <class... Texts>
void AddTextCall(CLI::App& parent, Tool& tool, const char* name, const char* help, const char* what,
                 std::vector<ArgForm> forms, HRESULT (IKelvo::*method)(Texts...)) {
    static_assert(sizeof...(Texts) >= 1 && sizeof...(Texts) <= 2);
    auto args = std::make_shared<std::vector<std::string>>(forms.size());
    CLI::App* command = parent.add_subcommand(name, help);
    for (std::size_t i = 0; i < forms.size(); ++i) {
        CLI::Option* option = command->add_option(forms[i].name, (*args)[i]);
        if (forms[i].kind == Arg::Text)
            option->required();
        else if (forms[i].kind == Arg::NewPassword)
            option->description(kPasswordHelp);
        else
            option->description("(leave it out: --password-file, $KELVO_PASSWORD or a prompt)");
    }
    command->callback([&tool, args, forms, what, method] {
        // Passwords are given all or none: "passwd OLD" alone is refused.
        std::size_t given = 0, passwords = 0;
        for (std::size_t i = 0; i < forms.size(); ++i) {
            passwords += forms[i].kind != Arg::Text;
            given += forms[i].kind != Arg::Text && !(*args)[i].empty();
        }
        if (given != 0 && given != passwords)
            throw CLI::ValidationError(forms.back().name,
                                       "give every password argument or none of them");
        const std::string forWhom =
            forms[0].kind == Arg::Text ? "'" + (*args)[0] + "'" : "the logged-in user";
        for (std::size_t i = 0; i < forms.size(); ++i) {
            if (forms[i].kind != Arg::Text)
                FillPassword(tool, forms[i], forWhom, (*args)[i]);
        }
        tool.Set({what, Link::Required, [args, method](IKelvo& object, VARIANT*) {
                      Bstr first(Utf8ToUtf16((*args)[0]));
                      if constexpr (sizeof...(Texts) == 1) {
                          return (object.*method)(first.get());
                      } else {
                          Bstr second(Utf8ToUtf16((*args)[1]));
                          return (object.*method)(first.get(), second.get());
                      }
                  }});
    });
}

// users list|create|delete|passwd|admin-passwd
void AddUsersCommands(CLI::App& app, Tool& tool) {
    CLI::App* users = app.add_subcommand("users", "user accounts on the device");
    users->require_subcommand(1);
    users->add_subcommand("list", "print the device's user names, one per line")->callback([&tool] {
        tool.Set({"GetAllUsers", Link::Required, [](IKelvo& object, VARIANT* result) {
                      BSTR names = nullptr;
                      HRESULT hr = object.GetAllUsers(&names);
                      if (FAILED(hr))
                          return hr;
                      // Every name is followed by a TAB.
                      const std::string text = Utf16ToUtf8(BstrView(names));
                      SysFreeString(names);
                      std::vector<std::string> lines;
                      std::size_t start = 0;
                      for (std::size_t tab = text.find('\t'); tab != std::string::npos;
                           tab = text.find('\t', start)) {
                          lines.push_back(text.substr(start, tab - start));
                          start = tab + 1;
                      }
                      return Lines(lines, result);
                  }});
    });
    AddTextCall(*users, tool, "create", "create a user (role 0, no permissions)", "CreateUser",
                {{"NAME"}, {"PASS", Arg::NewPassword}}, &IKelvo::CreateUser);
    AddTextCall(*users, tool, "delete", "delete a user", "DeleteUser", {{"NAME"}},
                &IKelvo::DeleteUser);
    AddTextCall(*users, tool, "passwd",
                "change the password of the logged-in user (OLD: the login password)",
                "ChangePasswordUser", {{"OLD", Arg::LoginPassword}, {"NEW", Arg::NewPassword}},
                &IKelvo::ChangePasswordUser);
    AddTextCall(*users, tool, "admin-passwd", "set another user's password", "ChangePasswordAdmin",
                {{"NAME"}, {"NEW", Arg::NewPassword}}, &IKelvo::ChangePasswordAdmin);
}

bool AllOf(const std::string& text, const char* allowed) {
    return text.find_first_not_of(allowed) == std::string::npos;
}

// The permission bits of perms set: one argument of 16 hex digits (a 64-bit
// number, bit 63 first), or of 64 characters 0/1 (bit 0 first), or any number
// of bit numbers 0 to 63.
std::uint64_t BitsFromText(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0].size() == 16 && AllOf(args[0], "0123456789abcdefABCDEF")) {
        std::uint64_t bits = 0;
        std::from_chars(args[0].data(), args[0].data() + 16, bits, 16);
        return bits;
    }
    if (args.size() == 1 && args[0].size() == kPermissionBits && AllOf(args[0], "01")) {
        std::uint64_t bits = 0;
        for (int i = 0; i < kPermissionBits; ++i) {
            if (args[0][static_cast<std::size_t>(i)] == '1')
                bits |= std::uint64_t{1} << i;
        }
        return bits;
    }
    std::uint64_t bits = 0;
    for (const std::string& arg : args) {
        int bit = -1;
        auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), bit);
        if (ec != std::errc() || end != arg.data() + arg.size() || bit < 0 ||
            bit >= kPermissionBits)
            throw CLI::ValidationError("BITS", arg + ": 16 hex digits, 64 characters 0/1, or bit "
                                                     "numbers 0 to 63 expected");
        bits |= std::uint64_t{1} << bit;
    }
    return bits;
}

std::string HexWord(std::uint64_t bits) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

// The array GetPermissionsAndRole gives as three lines: "role N",
// "bits HHHHHHHHHHHHHHHH" (bit 63 first) and "set i j ..." (the set bits).
HRESULT PermissionLines(const VARIANT& array, VARIANT* result) {
    if (array.vt != (VT_ARRAY | VT_VARIANT) || !array.parray)
        return E_UNEXPECTED;
    LONG upper = -1;
    SafeArrayGetUBound(array.parray, 1, &upper);
    if (upper != kPermissionBits)
        return E_UNEXPECTED;
    const auto* items = static_cast<const VARIANT*>(array.parray->pvData);
    std::uint64_t bits = 0;
    std::string set = "set";
    for (int i = 0; i < kPermissionBits; ++i) {
        if (items[i + 1].boolVal) {
            bits |= std::uint64_t{1} << i;
            set += " " + std::to_string(i);
        }
    }
    return Lines({"role " + std::to_string(items[0].bVal), "bits " + HexWord(bits), set}, result);
}

// perms get NAME, perms set NAME ROLE [BITS...]
void AddPermsCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::string name;
        unsigned role = 0;
        std::vector<std::string> bits;
    };
    auto args = std::make_shared<Args>();
    CLI::App* perms = app.add_subcommand("perms", "role and permission bits of a user");
    perms->require_subcommand(1);

    CLI::App* get = perms->add_subcommand(
        "get", "print \"role N\", \"bits\" with the 64 bits as 16 hex digits (bit 63 first) and "
               "\"set\" with the numbers of the set bits");
    get->add_option("NAME", args->name, "user name")->required();
    get->callback([&tool, args] {
        tool.Set({"GetPermissionsAndRole", Link::Required, [args](IKelvo& object, VARIANT* result) {
                      Bstr name(Utf8ToUtf16(args->name));
                      Variant array;
                      HRESULT hr = object.GetPermissionsAndRole(name.get(), &array);
                      if (FAILED(hr))
                          return hr;
                      return PermissionLines(array, result);
                  }});
    });

    CLI::App* set = perms->add_subcommand(
        "set", "set a user's role and permission bits: BITS is one 64-bit number of 16 hex "
               "digits (bit 63 first), one string of 64 characters 0/1 (bit 0 first), or the "
               "numbers 0-63 of the bits to set (none: all clear)");
    set->add_option("NAME", args->name, "user name")->required();
    set->add_option("ROLE", args->role, "role, 0 to 255")->required()->check(CLI::Range(0u, 255u));
    set->add_option("BITS", args->bits, "the permission bits");
    set->callback([&tool, args] {
        const std::uint64_t bits = BitsFromText(args->bits);
        tool.Set({"SetPermissionsAndRole", Link::Required, [args, bits](IKelvo& object, VARIANT*) {
                      Variant array;
                      array.vt = VT_ARRAY | VT_VARIANT;
                      array.parray = SafeArrayCreateVector(VT_VARIANT, 0, kPermissionBits);
                      if (!array.parray)
                          return E_OUTOFMEMORY;
                      auto* items = static_cast<VARIANT*>(array.parray->pvData);
                      for (int i = 0; i < kPermissionBits; ++i) {
                          items[i].vt = VT_BOOL;
                          items[i].boolVal = (bits >> i) & 1 ? VARIANT_TRUE : VARIANT_FALSE;
                      }
                      Bstr name(Utf8ToUtf16(args->name));
                      return object.SetPermissionsAndRole(name.get(), static_cast<BYTE>(args->role),
                                                          array);
                  }});
    });
}

// adminkey get|reset
void AddAdminKeyCommands(CLI::App& app, Tool& tool) {
    auto key = std::make_shared<std::string>();
    CLI::App* adminkey = app.add_subcommand("adminkey", "the device's admin key block");
    adminkey->require_subcommand(1);
    adminkey->add_subcommand("get", "print the 192-byte admin key block in hex")->callback([&tool] {
        tool.Set({"GetBVAdminKey", Link::Required, [](IKelvo& object, VARIANT* result) {
                      BSTR text = nullptr;
                      HRESULT hr = object.GetBVAdminKey(&text);
                      if (FAILED(hr))
                          return hr;
                      const std::string digits = Utf16ToUtf8(BstrView(text));
                      SysFreeString(text);
                      // Byte data, printed as lower-case hex like every byte result.
                      const std::size_t size = digits.size() / 2;
                      SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
                      if (!bytes)
                          return E_OUTOFMEMORY;
                      auto* data = static_cast<std::uint8_t*>(bytes->pvData);
                      for (std::size_t i = 0; i < size; ++i)
                          std::from_chars(digits.data() + 2 * i, digits.data() + 2 * i + 2, data[i],
                                          16);
                      result->vt = VT_ARRAY | VT_UI1;
                      result->parray = bytes;
                      return S_OK;
                  }});
    });
    CLI::App* reset = adminkey->add_subcommand(
        "reset", "reset the admin password with a reset key (hex digits, two per byte)");
    reset->add_option("HEXKEY", *key, "the reset key")->required();
    reset->callback([&tool, key] {
        tool.secrets().Add(*key);
        tool.Set({"ResetAdminPassword", Link::Required, [key](IKelvo& object, VARIANT*) {
                      Bstr text(Utf8ToUtf16(*key));
                      return object.ResetAdminPassword(text.get());
                  }});
    });
}

// A date of cert create: seconds since 1970, or a UTC date YYYY-MM-DD with an
// optional time THH:MM:SS and an optional Z.
LONG DateFromText(const std::string& text, const char* what) {
    long long seconds = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    bool ok = ec == std::errc() && end == text.data() + text.size();
    if (!ok) {
        std::tm tm{};
        const char* rest = strptime(text.c_str(), "%Y-%m-%d", &tm);
        if (rest && *rest == 'T')
            rest = strptime(rest + 1, "%H:%M:%S", &tm);
        if (rest && *rest == 'Z')
            ++rest;
        ok = rest && *rest == '\0';
        seconds = ok ? static_cast<long long>(timegm(&tm)) : 0;
    }
    if (!ok || seconds < INT32_MIN || seconds > INT32_MAX)
        throw CLI::ValidationError(what, text + ": seconds since 1970 or a UTC date "
                                                "YYYY-MM-DD[THH:MM:SS[Z]] up to 2038 expected");
    return static_cast<LONG>(seconds);
}

std::string UtcDate(ULONG seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// cert create|dates
void AddCertCommands(CLI::App& app, Tool& tool) {
    auto dates = std::make_shared<std::pair<std::string, std::string>>();
    CLI::App* cert = app.add_subcommand("cert", "the device's TLS certificate");
    cert->require_subcommand(1);
    CLI::App* create = cert->add_subcommand(
        "create", "have the device make a new certificate valid from START to EXPIRE");
    create->add_option("START", dates->first, "seconds since 1970 or YYYY-MM-DD[THH:MM:SS[Z]]")
        ->required();
    create->add_option("EXPIRE", dates->second, "seconds since 1970 or YYYY-MM-DD[THH:MM:SS[Z]]")
        ->required();
    create->callback([&tool, dates] {
        const LONG start = DateFromText(dates->first, "START");
        const LONG expire = DateFromText(dates->second, "EXPIRE");
        tool.Set({"CreateCertificate", Link::Required, [start, expire](IKelvo& object, VARIANT*) {
                      return object.CreateCertificate(start, expire);
                  }});
    });
    cert->add_subcommand("dates", "print the validity of the TLS link's certificate as UTC "
                                  "dates: SSLCertNotBefore, then SSLCertNotAfter")
        ->callback([&tool] {
            tool.Set({"SSLCertNotBefore", Link::Required, [](IKelvo& object, VARIANT* result) {
                          ULONG notBefore = 0;
                          ULONG notAfter = 0;
                          HRESULT hr = object.get_SSLCertNotBefore(&notBefore);
                          if (SUCCEEDED(hr))
                              hr = object.get_SSLCertNotAfter(&notAfter);
                          if (FAILED(hr))
                              return hr;
                          return Lines({"SSLCertNotBefore " + UtcDate(notBefore),
                                        "SSLCertNotAfter " + UtcDate(notAfter)},
                                       result);
                      }});
        });
}

} // namespace

void AddUserCommands(CLI::App& app, Tool& tool) {
    AddUsersCommands(app, tool);
    AddPermsCommands(app, tool);
    AddAdminKeyCommands(app, tool);
    AddCertCommands(app, tool);
}

} // namespace kelvo::tool
