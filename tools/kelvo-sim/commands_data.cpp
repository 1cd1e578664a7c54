// Data blocks, the safety block, safety objects and the SSC buffer.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/data_areas.h"

#include "protocol/bytes.h"

#include <algorithm>

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kSscReadCommand = 0x1001;
constexpr std::uint16_t kBlockReadCommand = 0x1003;
constexpr std::uint16_t kBlockWriteCommand = 0x1004;
constexpr std::uint16_t kSafeWriteCommand = 0x5001;
constexpr std::uint16_t kSafeReadCommand = 0x5002;
constexpr std::uint16_t kSafeObjectCommand = 0x5003;

// The block write reports device errors with this word.
constexpr std::uint16_t kBlockWriteErrorWord = 0x0221;
// rtNum, dbType, dbIdx, dbSubIdx, byteOffset, len.
constexpr std::size_t kBlockRangeSize = 16;

struct BlockRange {
    DataBlockKey key;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

BlockRange ParseRange(std::span<const std::uint8_t> p) {
    BlockRange r;
    r.key = {p[0], p[1], ldle_u16(&p[2]), ldle_u32(&p[4])};
    r.offset = ldle_u32(&p[8]);
    r.length = ldle_u32(&p[12]);
    return r;
}

// The bytes of a range of a block, or the device error that refuses it.
std::vector<std::uint8_t>* Find(DeviceState& state, const BlockRange& r, std::uint32_t& error) {
    auto found = state.data.blocks.find(r.key);
    if (found == state.data.blocks.end()) {
        error = kUnknownBlockError;
        return nullptr;
    }
    if (std::uint64_t{r.offset} + r.length > found->second.size()) {
        error = kDataRangeError;
        return nullptr;
    }
    return &found->second;
}

// Answer: the 32-bit length, then the bytes.
Reply BlockRead(DeviceState& state, const Request& request) {
    if (request.payload.size() != kBlockRangeSize)
        return Reply::Error(kBadRequestError);
    const BlockRange r = ParseRange(request.payload);
    std::uint32_t error = 0;
    std::vector<std::uint8_t>* block = Find(state, r, error);
    if (!block)
        return Reply::Error(error);
    FrameWriter out(4 + r.length);
    out.u32(r.length).bytes(std::span(block->data() + r.offset, r.length));
    return Reply::Success(std::move(out.data()));
}

Reply BlockWrite(DeviceState& state, const Request& request) {
    if (request.payload.size() < kBlockRangeSize)
        return Reply::Error(kBadRequestError);
    const BlockRange r = ParseRange(request.payload);
    if (request.payload.size() - kBlockRangeSize != r.length)
        return Reply::Error(kBadRequestError);
    std::uint32_t error = 0;
    std::vector<std::uint8_t>* block = Find(state, r, error);
    if (!block)
        return Reply::Error(error);
    std::copy(request.payload.begin() + kBlockRangeSize, request.payload.end(),
              block->begin() + r.offset);
    return Reply::Success();
}

// The block write's length byte holds 18 + len modulo 256; when it wrapped,
// the len field (frame bytes 18-21) gives the size.
std::size_t BlockWriteFrameSize(std::span<const std::uint8_t> frame) {
    constexpr std::size_t kFixed = 6 + kBlockRangeSize;
    if (frame.size() < kFixed)
        return kFixed;
    const std::uint32_t length = ldle_u32(&frame[18]);
    if (length <= kMaxDataAreaSize && ((18 + length) & 0xFF) == frame[3])
        return kFixed + length;
    return LengthByteFrameSize(frame);
}

Reply SafeWrite(DeviceState& state, const Request& request) {
    if (request.payload.size() != kSafetyBlockSize)
        return Reply::Error(kBadRequestError);
    std::copy(request.payload.begin(), request.payload.end(), state.data.safety.begin());
    return Reply::Success();
}

Reply SafeRead(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    return Reply::Success(Bytes(state.data.safety.begin(), state.data.safety.end()));
}

// Answer: index, sub-index and a zero byte, then the 32-bit value (header
// bytes 6-13 of a 14-byte answer header).
Reply SafeObject(DeviceState& state, const Request& request) {
    if (request.payload.size() != 3)
        return Reply::Error(kBadRequestError);
    const std::uint16_t index = ldle_u16(request.payload.data());
    const std::uint8_t subIndex = request.payload[2];
    auto found = state.data.safeObjects.find(SafeObjectKey(index, subIndex));
    if (found == state.data.safeObjects.end())
        return Reply::Error(kUnknownSafeObjectError);
    FrameWriter out(8);
    out.u16(index).u8(subIndex).u8(0).u32(found->second);
    return Reply::Success(std::move(out.data()));
}

// Payload: 32-bit offset, 8-bit length. Answer: the length byte, the bytes.
Reply SscRead(DeviceState& state, const Request& request) {
    if (request.payload.size() != 5)
        return Reply::Error(kBadRequestError);
    const std::uint32_t offset = ldle_u32(request.payload.data());
    const std::uint8_t length = request.payload[4];
    if (std::uint64_t{offset} + length > state.data.ssc.size())
        return Reply::Error(kDataRangeError);
    Bytes out{length};
    out.insert(out.end(), state.data.ssc.begin() + offset,
               state.data.ssc.begin() + offset + length);
    return Reply::Success(std::move(out));
}

} // namespace

void AddDataCommands(CommandTable& table) {
    table.Add(MakeCommand(kBlockReadCommand, "ReadDataBlock", BlockRead));
    Command write = MakeCommand(kBlockWriteCommand, "WriteDataBlock", BlockWrite);
    write.errorWord = kBlockWriteErrorWord;
    write.frameSize = BlockWriteFrameSize;
    table.Add(std::move(write));
    table.Add(MakeCommand(kSafeWriteCommand, "SafeDataWrite", SafeWrite));
    table.Add(MakeCommand(kSafeReadCommand, "SafeDataRead", SafeRead));
    Command object = MakeCommand(kSafeObjectCommand, "ReadSafeObject", SafeObject);
    object.errorForm = {8, true}; // after the rest of the 14-byte header
    table.Add(std::move(object));
    table.Add(MakeCommand(kSscReadCommand, "ReadSSCBuffer", SscRead));
}

} // namespace kelvo::sim
