#include "kelvo-sim/command_table.h"

#include "protocol/bytes.h"

namespace kelvo::sim {

const char* LinkName(LinkKind link) {
    switch (link) {
    case LinkKind::Tcp:
        return "tcp";
    case LinkKind::Tls:
        return "tls";
    case LinkKind::Serial:
        return "serial";
    }
    return "?";
}

Bytes EncodeDeviceError(const ErrorForm& form, std::uint32_t code,
                        std::span<const std::uint8_t> payload) {
    FrameWriter out(form.skip + 5);
    for (std::size_t i = 0; i < form.skip; ++i)
        out.u8(i < form.echoed && i < payload.size() ? payload[i] : 0);
    if (form.lengthByte)
        out.u8(4);
    out.u32(code);
    return std::move(out.data());
}

std::size_t LengthByteFrameSize(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4)
        return 4;
    return 4 + static_cast<std::size_t>(frame[3]);
}

Command MakeCommand(std::uint16_t code, std::string name, Handler handler) {
    Command command;
    command.code = code;
    command.name = std::move(name);
    command.handler = std::move(handler);
    command.successWord = SuccessWord(code);
    command.errorWord = ErrorWord(code);
    return command;
}

void CommandTable::Add(Command command) {
    std::uint16_t code = command.code;
    commands_.insert_or_assign(code, std::move(command));
}

const Command* CommandTable::Find(std::uint16_t code) const {
    auto it = commands_.find(code);
    if (it == commands_.end())
        return nullptr;
    return &it->second;
}

} // namespace kelvo::sim
