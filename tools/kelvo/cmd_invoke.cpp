// invoke NAME [ARG...]: calls any operation of the interface table through
// IDispatch, with the arguments converted from text to the row's types.
#include "commands.h"
#include "device/interface_table.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string_view>

namespace kelvo::tool {
namespace {

struct InvokeArgs {
    std::string name;
    std::vector<std::string> values;
    bool put = false;
    bool list = false;
    bool ids = false;
};

// "get Par(long, long, short) -> variant".
std::string Signature(const InterfaceMember& member) {
    std::string text = member.kind == MemberKind::Get   ? "get "
                       : member.kind == MemberKind::Put ? "put "
                                                        : "";
    text += Utf16ToUtf8(member.name) + "(";
    for (std::size_t i = 0; i < member.args.size(); ++i)
        text += (i ? ", " : "") + TypeName(member.args[i]);
    text += ")";
    if (member.result != VT_EMPTY)
        text += " -> " + TypeName(member.result);
    return text;
}

// Every interface ("interface IKelvo : IDeviceLink4") followed by its members,
// each with its dispatch id in front when `ids` is set.
HRESULT ListMembers(bool ids, VARIANT* result) {
    std::vector<std::string> lines;
    const char* current = nullptr;
    const char* previous = "IDispatch";
    for (const InterfaceMember& member : InterfaceTable()) {
        if (!current || std::string_view(current) != member.interfaceName) {
            if (current)
                previous = current;
            current = member.interfaceName;
            lines.push_back(std::string("interface ") + current + " : " + previous);
        }
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X ", static_cast<unsigned>(member.id));
        lines.push_back((ids ? std::string(id) : std::string()) + Signature(member));
    }
    return Lines(lines, result);
}

const InterfaceMember* Lookup(const InvokeArgs& args) {
    const std::u16string name = Utf8ToUtf16(args.name);
    if (args.put)
        return FindMember(name, MemberKind::Put);
    const InterfaceMember* method = FindMember(name, MemberKind::Method);
    return method ? method : FindMember(name, MemberKind::Get);
}

Operation MakeInvoke(const InvokeArgs& args) {
    if (args.list)
        return {"invoke --list", Link::None,
                [ids = args.ids](IKelvo&, VARIANT* result) { return ListMembers(ids, result); }};
    if (args.name.empty())
        throw CLI::RequiredError("NAME");
    const InterfaceMember* member = Lookup(args);
    if (!member)
        throw CLI::ValidationError("NAME", args.name + (args.put ? " is no property that can be put"
                                                                 : " is no operation"));
    const std::size_t count = member->args.size();
    if (args.values.size() != count)
        throw CLI::ValidationError("ARG", Signature(*member) + " takes " + std::to_string(count) +
                                              " argument" + (count == 1 ? "" : "s"));
    auto values = std::make_shared<VariantList>(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string error;
        if (!ArgumentFromText(args.values[i], member->args[i], &values->data()[i], error))
            throw CLI::ValidationError("ARG", "argument " + std::to_string(i + 1) + " of " +
                                                  Signature(*member) + ": " + error);
    }
    const WORD flags = member->kind == MemberKind::Put   ? DISPATCH_PROPERTYPUT
                       : member->kind == MemberKind::Get ? DISPATCH_PROPERTYGET
                                                         : DISPATCH_METHOD;
    const std::u16string name = member->name;
    return {Utf16ToUtf8(name), Link::Optional,
            [values, name, flags](IKelvo& object, VARIANT* result) {
                return CallByName(object, name, flags, values->span(), result);
            }};
}

} // namespace

void AddInvokeCommand(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<InvokeArgs>();
    CLI::App* invoke = app.add_subcommand(
        "invoke", "call any operation by its dispatch name (connects only when a connection "
                  "text is given)");
    invoke->add_flag("--put", args->put, "put the property NAME: the last ARG is the value");
    invoke->add_flag("--list", args->list,
                     "list every interface and its operations with their argument types");
    invoke->add_flag("--ids", args->ids, "with --list: each operation's dispatch id in front");
    invoke->add_option("NAME", args->name, "dispatch name, e.g. TimeOut, Save_Command, Par");
    invoke->add_option("ARG", args->values, "arguments in declaration order");
    invoke->footer("Arguments are text converted to the operation's types: numbers in decimal "
                   "(integers also 0x-hex), bytes as hex digits, bool as 0, -1, true or false. "
                   "A variant argument is passed as text unless it starts with a type prefix: " +
                   VariantPrefixes() +
                   " (e.g. i4:5, r8:1.5, hex:0a0b). Buffer pointer arguments are refused: use "
                   "the command made for the operation.\nExamples: kelvo invoke Protocol; kelvo "
                   "invoke --put TimeOut 2000; kelvo -c TCPIP:10.0.0.7/17221,3000 invoke "
                   "Save_Command");
    invoke->callback([&tool, args] { tool.Set(MakeInvoke(*args)); });
}

} // namespace kelvo::tool
