// Data blocks, safety data and the SSC buffer: block read, block write, safe
// write, safe read, safe object, ssc read.
#include "commands.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <cstring>
#include <memory>
#include <vector>

namespace kelvo::tool {
namespace {

// Most bytes a read command asks for; the component itself refuses more than 200.
constexpr unsigned kMaxRead = 65535;

// Bytes as a VT_ARRAY|VT_UI1 result.
HRESULT ByteResult(std::span<const BYTE> bytes, VARIANT* result) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array)
        return E_OUTOFMEMORY;
    if (!bytes.empty())
        std::memcpy(array->pvData, bytes.data(), bytes.size());
    result->vt = VT_ARRAY | VT_UI1;
    result->parray = array;
    return S_OK;
}

// Hex digits to bytes; a usage error otherwise.
std::shared_ptr<Variant> HexArgument(const char* name, const std::string& text) {
    auto value = std::make_shared<Variant>();
    std::string error;
    if (!ArgumentFromText(text, VT_ARRAY | VT_UI1, value.get(), error))
        throw CLI::ValidationError(name, error);
    return value;
}

struct BlockArgs {
    unsigned rtNum = 0;
    unsigned dbType = 0;
    unsigned dbIdx = 0;
    std::uint32_t dbSubIdx = 0;
    std::uint32_t offset = 0;
    unsigned length = 0;
    std::string hex;
};

void AddAddress(CLI::App* command, BlockArgs& args) {
    command->add_option("RT", args.rtNum, "block number, 0 to 255")
        ->required()
        ->check(CLI::Range(0u, 255u));
    command->add_option("TYPE", args.dbType, "block type, 0 to 255")
        ->required()
        ->check(CLI::Range(0u, 255u));
    command->add_option("IDX", args.dbIdx, "block index, 0 to 65535")
        ->required()
        ->check(CLI::Range(0u, 65535u));
    command->add_option("SUB", args.dbSubIdx, "block sub-index")->required();
    command->add_option("OFFSET", args.offset, "first byte of the range")->required();
}

Operation MakeBlockRead(const BlockArgs& a) {
    return {"ReadDataBlock", Link::Required, [a](IKelvo& object, VARIANT* result) {
                std::vector<BYTE> buffer(a.length);
                BYTE none = 0; // a place to point at for a read of no bytes
                HRESULT hr =
                    object.ReadDataBlock(static_cast<BYTE>(a.rtNum), static_cast<BYTE>(a.dbType),
                                         static_cast<USHORT>(a.dbIdx), a.dbSubIdx, a.offset,
                                         a.length, buffer.empty() ? &none : buffer.data());
                if (FAILED(hr))
                    return hr;
                return ByteResult(buffer, result);
            }};
}

Operation MakeBlockWrite(const BlockArgs& a) {
    std::shared_ptr<Variant> data = HexArgument("HEX", a.hex);
    return {"WriteDataBlock", Link::Required, [a, data](IKelvo& object, VARIANT*) {
                SAFEARRAY* bytes = data->parray;
                return object.WriteDataBlock(
                    static_cast<BYTE>(a.rtNum), static_cast<BYTE>(a.dbType),
                    static_cast<USHORT>(a.dbIdx), a.dbSubIdx, a.offset,
                    bytes->rgsabound[0].cElements, static_cast<BYTE*>(bytes->pvData));
            }};
}

void AddBlockCommands(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<BlockArgs>();
    CLI::App* block = app.add_subcommand("block", "data blocks");
    block->require_subcommand(1);

    CLI::App* read =
        block->add_subcommand("read", "read LEN bytes of a data block and print them in hex");
    AddAddress(read, *args);
    read->add_option("LEN", args->length, "number of bytes (the device takes at most 200)")
        ->required()
        ->check(CLI::Range(0u, kMaxRead));
    read->callback([&tool, args] { tool.Set(MakeBlockRead(*args)); });

    CLI::App* write = block->add_subcommand("write", "write bytes given in hex into a data block");
    AddAddress(write, *args);
    write->add_option("HEX", args->hex, "the bytes, two hex digits each (at most 237 bytes)")
        ->required();
    write->callback([&tool, args] { tool.Set(MakeBlockWrite(*args)); });
}

void AddSafetyCommands(CLI::App& app, Tool& tool) {
    CLI::App* safe = app.add_subcommand("safe", "safety data and safety objects");
    safe->require_subcommand(1);

    auto hex = std::make_shared<std::string>();
    CLI::App* write = safe->add_subcommand("write", "send the 40-byte safety data block");
    write->add_option("HEX", *hex, "the 40 bytes as 80 hex digits")->required();
    write->callback([&tool, hex] {
        std::shared_ptr<Variant> data = HexArgument("HEX", *hex);
        tool.Set({"SafeDataWrite", Link::Required,
                  [data](IKelvo& object, VARIANT*) { return object.SafeDataWrite(data->parray); }});
    });

    safe->add_subcommand("read", "read the 40-byte safety data block and print it in hex")
        ->callback([&tool] {
            tool.Set({"SafeDataRead", Link::Required, [](IKelvo& object, VARIANT* result) {
                          SAFEARRAY* array = nullptr;
                          HRESULT hr = object.SafeDataRead(&array);
                          if (FAILED(hr))
                              return hr;
                          result->vt = VT_ARRAY | VT_UI1;
                          result->parray = array;
                          return hr;
                      }});
        });

    auto index = std::make_shared<std::pair<unsigned, unsigned>>();
    CLI::App* object =
        safe->add_subcommand("object", "read a 32-bit safety object and print it in decimal");
    object->add_option("INDEX", index->first, "object index, 0 to 65535")
        ->required()
        ->check(CLI::Range(0u, 65535u));
    object->add_option("SUB", index->second, "object sub-index, 0 to 255")
        ->required()
        ->check(CLI::Range(0u, 255u));
    object->callback([&tool, index] {
        const USHORT i = static_cast<USHORT>(index->first);
        const BYTE sub = static_cast<BYTE>(index->second);
        tool.Set({"ReadSafeObject", Link::Required, [i, sub](IKelvo& k, VARIANT* result) {
                      ULONG value = 0;
                      HRESULT hr = k.ReadSafeObject(i, sub, &value);
                      if (FAILED(hr))
                          return hr;
                      result->vt = VT_UI4;
                      result->ulVal = value;
                      return hr;
                  }});
    });
}

void AddSscCommands(CLI::App& app, Tool& tool) {
    CLI::App* ssc = app.add_subcommand("ssc", "the SSC buffer");
    ssc->require_subcommand(1);
    auto range = std::make_shared<std::pair<std::uint32_t, unsigned>>();
    CLI::App* read =
        ssc->add_subcommand("read", "read LEN bytes of the SSC buffer and print them in hex");
    read->add_option("OFFSET", range->first, "first byte")->required();
    read->add_option("LEN", range->second, "number of bytes, 0 to 255 (the device takes 200)")
        ->required()
        ->check(CLI::Range(0u, 255u));
    read->callback([&tool, range] {
        const ULONG offset = range->first;
        const BYTE length = static_cast<BYTE>(range->second);
        tool.Set({"ReadSSCBuffer", Link::Required, [offset, length](IKelvo& k, VARIANT* result) {
                      std::vector<BYTE> buffer(length);
                      BYTE none = 0; // a place to point at for a read of no bytes
                      HRESULT hr =
                          k.ReadSSCBuffer(offset, length, buffer.empty() ? &none : buffer.data());
                      if (FAILED(hr))
                          return hr;
                      return ByteResult(buffer, result);
                  }});
    });
}

} // namespace

void AddDataCommands(CLI::App& app, Tool& tool) {
    AddBlockCommands(app, tool);
    AddSafetyCommands(app, tool);
    AddSscCommands(app, tool);
}

} // namespace kelvo::tool
