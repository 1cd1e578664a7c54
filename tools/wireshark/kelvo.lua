-- Wireshark dissector of the Kelvo device protocol (Wireshark 4.0 and later):
--   TCP port 17221, TLS port 17222 (readable with the session secrets, e.g. a
--   key log written through SSLKEYLOGFILE), UDP discovery on port 17220, and
--   the capture files of `kelvo --capture` and `kelvo-sim --capture` (link
--   type DLT_USER0 with a 4-byte pseudo-header: direction, link kind, link
--   number).
-- Load it with `tshark -X lua_script:kelvo.lua` or from Wireshark's Lua
-- plugin folder (`make install` puts it there). Every failed exchange carries
-- the field kelvo.error (filter "kelvo.error") and an expert item.

local TCP_PORT, TLS_PORT, UDP_PORT = 17221, 17222, 17220

local kelvo = Proto("kelvo", "Kelvo device protocol")
local record = Proto("kelvo.record", "Kelvo capture record")
local discovery = Proto("kelvo.discovery", "Kelvo discovery")

kelvo.prefs.messages = Pref.string("Message file", "",
    "Kelvo.ERR with the texts of device error codes; empty: $KELVO_ERR, else beside this script")

---------------------------------------------------------------------------
-- Commands: name, request layout, answer layouts (success and device error)
---------------------------------------------------------------------------

local f = {}
local function field(name, ctor, ...)
    f[name] = ctor(...)
end

field("direction", ProtoField.string, "kelvo.direction", "Direction")
field("address", ProtoField.uint8, "kelvo.address", "Serial address", base.DEC)
field("node", ProtoField.uint8, "kelvo.node", "Node", base.DEC)
field("counter", ProtoField.uint16, "kelvo.counter", "Frame counter", base.DEC)
field("length", ProtoField.uint8, "kelvo.length", "Length", base.DEC)
field("status", ProtoField.uint16, "kelvo.status", "Status word", base.HEX)
field("status_kind", ProtoField.string, "kelvo.status.kind", "Status")
field("error_length", ProtoField.uint8, "kelvo.device_error.length", "Error length", base.DEC)
field("device_error", ProtoField.uint32, "kelvo.device_error", "Device error", base.HEX)
field("device_error_text", ProtoField.string, "kelvo.device_error.text", "Device error text")
field("crc", ProtoField.uint16, "kelvo.crc", "CRC", base.HEX)
field("crc_status", ProtoField.string, "kelvo.crc.status", "CRC status")
field("request_in", ProtoField.framenum, "kelvo.request_in", "Request in", base.NONE, frametype.REQUEST)
field("response_in", ProtoField.framenum, "kelvo.response_in", "Answer in", base.NONE, frametype.RESPONSE)
field("time", ProtoField.relative_time, "kelvo.time", "Response time")
field("error", ProtoField.string, "kelvo.error", "Failure")
field("filler", ProtoField.bytes, "kelvo.filler", "Not examined")
field("data", ProtoField.bytes, "kelvo.data", "Data")
field("data_length", ProtoField.uint8, "kelvo.data.length", "Data length", base.DEC)
field("push", ProtoField.bytes, "kelvo.push_data", "Push data")
-- parameters
field("ipa", ProtoField.uint16, "kelvo.par.ipa", "Parameter index (ipa)", base.HEX)
field("subindex", ProtoField.uint8, "kelvo.par.subindex", "Sub-index", base.DEC)
field("value_length", ProtoField.uint8, "kelvo.par.length", "Value length", base.DEC)
field("value", ProtoField.bytes, "kelvo.par.value", "Value")
field("value_type", ProtoField.string, "kelvo.par.type", "Type (from the length)")
field("value_text", ProtoField.string, "kelvo.par.text", "Value as")
-- login, users, permissions, admin key, certificate
field("user", ProtoField.string, "kelvo.user", "User name")
field("password", ProtoField.string, "kelvo.password", "Password")
field("new_password", ProtoField.string, "kelvo.new_password", "New password")
field("user_count", ProtoField.uint8, "kelvo.users.count", "Users", base.DEC)
field("role", ProtoField.uint8, "kelvo.role", "Role", base.DEC)
field("permissions", ProtoField.uint64, "kelvo.permissions", "Permission bits", base.HEX)
field("admin_key", ProtoField.bytes, "kelvo.admin_key", "Admin key block")
field("reset_key", ProtoField.bytes, "kelvo.reset_key", "Reset key")
field("cert_start", ProtoField.int64, "kelvo.cert.start", "Valid from (ms since 1970)")
field("cert_expiry", ProtoField.int64, "kelvo.cert.expiry", "Valid until (ms since 1970)")
-- device commands and the error log
field("axis", ProtoField.uint8, "kelvo.axis", "Axis", base.DEC)
field("filter", ProtoField.uint16, "kelvo.restore.filter", "Filter", base.HEX)
field("log_index", ProtoField.uint16, "kelvo.log.index", "Entry index", base.DEC)
field("log_frame", ProtoField.uint8, "kelvo.log.frame", "Frame number", base.DEC)
field("log_more", ProtoField.uint8, "kelvo.log.more", "More data", base.DEC)
field("log_length", ProtoField.uint8, "kelvo.log.length", "Data length", base.DEC)
field("log_data", ProtoField.bytes, "kelvo.log.data", "Record bytes")
-- data blocks, push data, safety data, SSC buffer
field("rt_num", ProtoField.uint8, "kelvo.block.rtnum", "Block number (rtNum)", base.DEC)
field("db_type", ProtoField.uint8, "kelvo.block.type", "Block type", base.DEC)
field("db_idx", ProtoField.uint16, "kelvo.block.index", "Block index", base.DEC)
field("db_subidx", ProtoField.uint32, "kelvo.block.subindex", "Block sub-index", base.DEC)
field("byte_offset", ProtoField.uint32, "kelvo.block.offset", "Byte offset", base.DEC)
field("block_len", ProtoField.uint32, "kelvo.block.length", "Length", base.DEC)
field("block_data", ProtoField.bytes, "kelvo.block.data", "Block bytes")
field("stream", ProtoField.uint8, "kelvo.push.stream", "Stream", base.DEC)
field("stream_cmd", ProtoField.uint8, "kelvo.push.command", "Stream command", base.DEC)
field("stream_value", ProtoField.uint16, "kelvo.push.value", "Value", base.DEC)
field("stream_result", ProtoField.uint8, "kelvo.push.result", "Result", base.DEC)
field("safe_data", ProtoField.bytes, "kelvo.safe.data", "Safety data")
field("object_index", ProtoField.uint16, "kelvo.safe.index", "Safety object index", base.HEX)
field("object_subindex", ProtoField.uint8, "kelvo.safe.subindex", "Sub-index", base.DEC)
field("object_value", ProtoField.uint32, "kelvo.safe.value", "Object value", base.DEC)
field("ssc_offset", ProtoField.uint32, "kelvo.ssc.offset", "SSC offset", base.DEC)
field("ssc_len", ProtoField.uint8, "kelvo.ssc.length", "SSC length", base.DEC)
field("ssc_data", ProtoField.bytes, "kelvo.ssc.data", "SSC bytes")
-- ping
field("blink", ProtoField.uint16, "kelvo.ping.blink", "Blink time (ms)", base.DEC)
field("ping_count", ProtoField.uint8, "kelvo.ping.count", "Items", base.DEC)
field("ping_item", ProtoField.string, "kelvo.ping.item", "Item")
field("ping_key", ProtoField.uint8, "kelvo.ping.key", "Key", base.DEC)
field("ping_length", ProtoField.uint8, "kelvo.ping.length", "Value length", base.DEC)
field("ping_value", ProtoField.bytes, "kelvo.ping.value", "Value bytes")

local PING_TYPES = {
    [0x00000000] = "none", [0x00000001] = "boolean", [0x00010002] = "int8",
    [0x00020003] = "int16", [0x00030004] = "int32", [0x00040005] = "uint8",
    [0x00050006] = "uint16", [0x00060007] = "uint32", [0x00070009] = "text",
    [0x0007FFFF] = "text", [0x0008FFFF] = "int32", [0x00100015] = "int64",
    [0x0011001B] = "uint64", [0x00120008] = "float", [0xFFFF0011] = "double",
    [0xFFFF0100] = "none", [0xFFFF0101] = "none", [0xFFFFFFFF] = "text",
}
field("ping_type", ProtoField.uint32, "kelvo.ping.type", "Type", base.HEX, PING_TYPES)

local ex = {
    counter = ProtoExpert.new("kelvo.error.counter", "Frame counter mismatch",
        expert.group.SEQUENCE, expert.severity.ERROR),
    crc = ProtoExpert.new("kelvo.error.crc", "CRC incorrect", expert.group.CHECKSUM, expert.severity.ERROR),
    status = ProtoExpert.new("kelvo.error.status", "Unknown status word",
        expert.group.RESPONSE_CODE, expert.severity.ERROR),
    device = ProtoExpert.new("kelvo.error.device", "Device error",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    address = ProtoExpert.new("kelvo.error.address", "Serial address echo differs",
        expert.group.PROTOCOL, expert.severity.ERROR),
    short = ProtoExpert.new("kelvo.error.short", "Frame ends early", expert.group.MALFORMED,
        expert.severity.ERROR),
    no_answer = ProtoExpert.new("kelvo.error.no_answer", "No answer", expert.group.SEQUENCE,
        expert.severity.WARN),
}
kelvo.experts = { ex.counter, ex.crc, ex.status, ex.device, ex.address, ex.short, ex.no_answer }

-- A layout reading past the bytes there are raises this.
local SHORT = {}
-- A field longer than this is not waited for: the frame is shown as it is.
local MAX_FRAME = 65536

---------------------------------------------------------------------------
-- Device error texts from Kelvo.ERR
---------------------------------------------------------------------------

local messages = {}

local script_dir = (debug.getinfo(1, "S").source:match("^@(.*[/\\])") or "")

-- UTF-8 of Windows-1252 text (the message file is 8-bit text).
local CP1252 = { [0x80] = 0x20AC, [0x82] = 0x201A, [0x83] = 0x0192, [0x84] = 0x201E,
    [0x85] = 0x2026, [0x86] = 0x2020, [0x87] = 0x2021, [0x88] = 0x02C6, [0x89] = 0x2030,
    [0x8A] = 0x0160, [0x8B] = 0x2039, [0x8C] = 0x0152, [0x8E] = 0x017D, [0x91] = 0x2018,
    [0x92] = 0x2019, [0x93] = 0x201C, [0x94] = 0x201D, [0x95] = 0x2022, [0x96] = 0x2013,
    [0x97] = 0x2014, [0x98] = 0x02DC, [0x99] = 0x2122, [0x9A] = 0x0161, [0x9B] = 0x203A,
    [0x9C] = 0x0153, [0x9E] = 0x017E, [0x9F] = 0x0178 }
local function utf8_of_cp1252(text)
    return (text:gsub("[\128-\255]", function(ch)
        local cp = CP1252[ch:byte()] or ch:byte()
        if cp < 0x800 then
            return string.char(0xC0 + math.floor(cp / 64), 0x80 + cp % 64)
        end
        return string.char(0xE0 + math.floor(cp / 4096), 0x80 + math.floor(cp / 64) % 64, 0x80 + cp % 64)
    end))
end

-- A key as the component reads it: automatic base, "*" for 1, clamped to 32 bits signed.
local function message_key(text)
    text = text:match("^%s*(.-)%s*$")
    if text:sub(1, 1) == "*" then return 1 end
    local sign, digits = text:match("^([+-]?)(.*)$")
    local value
    if digits:match("^0[xX]%x+") then
        value = tonumber(digits:match("^0[xX](%x+)"), 16)
    elseif digits:match("^0[0-7]") then
        value = tonumber(digits:match("^([0-7]+)"), 8)
    else
        value = tonumber(digits:match("^(%d*)")) or 0
    end
    if sign == "-" then value = -value end
    return math.max(-2147483648, math.min(2147483647, value))
end

local function load_messages()
    messages = {}
    local paths = { kelvo.prefs.messages, os.getenv("KELVO_ERR"), script_dir .. "Kelvo.ERR",
        script_dir .. "../../data/Kelvo.ERR" }
    for _, path in pairs(paths) do
        local file = path and path ~= "" and io.open(path, "rb")
        if file then
            local section
            for line in file:lines() do
                line = line:gsub("\r$", "")
                local name = line:match("^%[(.*)%]$")
                if name then
                    section = name
                elseif section == "ERR" and line:find(",") then
                    local key, text = line:match("^([^,]*),(.*)$")
                    text = text:gsub('^"', ""):gsub('"$', "")
                    messages[message_key(key)] = utf8_of_cp1252(text)
                end
            end
            file:close()
            return
        end
    end
end

kelvo.prefs_changed = load_messages

local function message_of(code)
    if code >= 0x80000000 then code = code - 0x100000000 end
    return messages[code]
end

---------------------------------------------------------------------------
-- Reading a frame: a cursor over the bytes, with or without a tree
---------------------------------------------------------------------------

local Cursor = {}
Cursor.__index = Cursor

local function cursor(tvb, pos, limit, tree)
    return setmetatable({ tvb = tvb, pos = pos, limit = limit, tree = tree, info = {} }, Cursor)
end

function Cursor:left() return self.limit - self.pos end

function Cursor:take(n)
    if n > MAX_FRAME then self.oversize = true end
    if self.pos + n > self.limit or self.oversize then error(SHORT, 0) end
    local r = self.tvb(self.pos, n)
    self.pos = self.pos + n
    return r
end

function Cursor:add(fld, r, value)
    if not self.tree then return nil end
    if value == nil then return self.tree:add_le(fld, r) end
    return self.tree:add_le(fld, r, value)
end

function Cursor:uint(fld, n)
    local r = self:take(n)
    local v = r:le_uint()
    return v, self:add(fld, r)
end
function Cursor:u8(fld) return self:uint(fld, 1) end
function Cursor:u16(fld) return self:uint(fld, 2) end
function Cursor:u32(fld) return self:uint(fld, 4) end
function Cursor:u64(fld)
    local r = self:take(8)
    return r:le_uint64(), self:add(fld, r)
end
function Cursor:i64(fld)
    local r = self:take(8)
    return r:le_int64(), self:add(fld, r)
end
function Cursor:bytes(fld, n)
    if n == 0 then return "" end
    local r = self:take(n)
    self:add(fld, r)
    return r:raw()
end
-- One length byte and that many bytes of 8-bit text.
function Cursor:counted(fld)
    if self.pos >= self.limit then error(SHORT, 0) end
    local n = self.tvb(self.pos, 1):uint()
    local r = self:take(1 + n)
    local text = n > 0 and r:range(1, n):string(ENC_WINDOWS_1252) or ""
    self:add(fld, r, text)
    return text
end
function Cursor:note(text) self.info[#self.info + 1] = text end
function Cursor:sub(label, len)
    if not self.tree then return nil end
    local item = self.tree:add(self.tvb(self.pos, len or 0), label)
    return item
end

-- The device's own 32-bit error code, with its text when the message file has one.
local function device_code(c)
    local code, item = c:u32(f.device_error)
    c.device_code = code
    local text = message_of(code)
    if item and text then
        item:append_text(" (" .. text .. ")")
        c.tree:add(f.device_error_text, text):set_generated()
    end
end
-- The usual error answer: a length byte (4) and the code.
local function error_answer(c)
    c:u8(f.error_length)
    device_code(c)
end

---------------------------------------------------------------------------
-- Values
---------------------------------------------------------------------------

local function le_number(s, signed)
    local v = 0
    for i = #s, 1, -1 do v = v * 256 + s:byte(i) end
    if signed and #s > 0 and s:byte(#s) >= 128 then v = v - 2 ^ (8 * #s) end
    return v
end
local function le_int64(s, signed)
    local lo, hi = le_number(s:sub(1, 4)), le_number(s:sub(5, 8))
    return tostring(signed and Int64.new(lo, hi) or UInt64.new(lo, hi))
end
local function ieee(s)
    local b = { s:byte(1, -1) }
    local n = #b
    local sign = b[n] >= 128 and -1 or 1
    local exp, mant, bias, bits, emax
    if n == 4 then
        exp = (b[4] % 128) * 2 + math.floor(b[3] / 128)
        mant = ((b[3] % 128) * 256 + b[2]) * 256 + b[1]
        bias, bits, emax = 127, 23, 255
    else
        exp = (b[8] % 128) * 16 + math.floor(b[7] / 16)
        mant = b[7] % 16
        for i = 6, 1, -1 do mant = mant * 256 + b[i] end
        bias, bits, emax = 1023, 52, 2047
    end
    if exp == emax then return mant == 0 and sign * math.huge or 0 / 0 end
    if exp == 0 then return sign * mant * 2 ^ (1 - bias - bits) end
    return sign * (1 + mant / 2 ^ bits) * 2 ^ (exp - bias)
end
-- The first `width` bytes, zero-extended.
local function head(s, width) s = s:sub(1, width) return s .. string.rep("\0", width - #s) end
local function quoted(s) return '"' .. s .. '"' end
local function printable(s) return #s > 0 and not s:find("[%z\1-\31\127]") end

-- A parameter value: the type a read with type 0 would take from its length,
-- and the readings that fit.
local function parameter_value(c, n)
    local bytes = c:bytes(f.value, n)
    local text = bytes:gsub("%z.*$", "")
    local readings = {}
    if n == 1 or n == 2 or n == 4 then
        local signed, unsigned = le_number(bytes, true), le_number(bytes)
        readings[#readings + 1] = signed == unsigned and tostring(signed) or
            string.format("%d / %d", signed, unsigned)
    elseif n == 8 then
        readings[#readings + 1] = le_int64(bytes, true) .. " / " .. string.format("%.17g", ieee(bytes))
    end
    if n == 4 then readings[#readings + 1] = string.format("%.9g", ieee(bytes)) end
    if printable(text) then readings[#readings + 1] = quoted(text) end
    c:note("value " .. (readings[1] or "(none)"))
    if not c.tree then return end
    local types = { [2] = "VT_I2", [4] = "VT_I4", [8] = "VT_I8" }
    c.tree:add(f.value_type, types[n] or (printable(text) and "VT_BSTR") or "-"):set_generated()
    if #readings > 0 then
        c.tree:add(f.value_text, table.concat(readings, " / ")):set_generated()
    end
end

-- A ping item's value as the component renders it.
local function ping_text(kind, s)
    local buf = head(s, 8)
    if kind == 0 or kind == 0xFFFF0100 or kind == 0xFFFF0101 then return '"?"' end
    if kind == 1 then return buf:byte(1) ~= 0 and "true" or "false" end
    if kind == 0x00010002 then return tostring(le_number(head(s, 1), true)) end
    if kind == 0x00020003 then return tostring(le_number(head(s, 2), true)) end
    if kind == 0x00030004 or kind == 0x0008FFFF then return tostring(le_number(head(s, 4), true)) end
    if kind == 0x00040005 then return tostring(le_number(head(s, 1))) end
    if kind == 0x00050006 then return tostring(le_number(head(s, 2))) end
    if kind == 0x00060007 then return tostring(le_number(head(s, 4))) end
    if kind == 0x00070009 or kind == 0x0007FFFF or kind == 0xFFFFFFFF then return quoted(s) end
    if kind == 0x00100015 then return le_int64(buf, true) end
    if kind == 0x0011001B then return le_int64(buf, false) end
    if kind == 0x00120008 then return string.format("%f", ieee(head(s, 4))) end
    if kind == 0xFFFF0011 then return string.format("%f", ieee(buf)) end
    return nil
end

local function ping_items(c)
    local count = c:u8(f.ping_count)
    local texts = {}
    for _ = 1, count do
        local start = c.pos
        if c:left() < 6 then error(SHORT, 0) end
        local n = c.tvb(c.pos + 5, 1):uint()
        local item = c:sub("Item", math.min(6 + n, c:left()))
        local outer = c.tree
        c.tree = item
        local key = c:u8(f.ping_key)
        local kind = c:u32(f.ping_type)
        c:u8(f.ping_length)
        local value = c:bytes(f.ping_value, n)
        local text = ping_text(kind, value)
        local shown = quoted(tostring(key)) .. ":" .. (text or "")
        texts[#texts + 1] = shown
        if item then
            item:set_text("Item " .. shown .. (text and "" or " (unknown type)"))
            item:set_len(c.pos - start)
            item:add(f.ping_item, shown):set_generated()
        end
        c.tree = outer
    end
    c:note("{ " .. table.concat(texts, ", ") .. " }")
end

local function user_list(c)
    local count = c:u8(f.user_count)
    local names = {}
    for _ = 1, count do names[#names + 1] = c:counted(f.user) end
    c:note(table.concat(names, ", "))
end

local function cert_date(c, fld)
    local ms, item = c:i64(fld)
    if item then
        local seconds = tonumber(tostring(ms)) / 1000
        local ok, text = pcall(os.date, "!%Y-%m-%d %H:%M:%S UTC", math.floor(seconds))
        if ok and text then item:append_text(" (" .. text .. ")") end
    end
end

---------------------------------------------------------------------------
-- The command table
---------------------------------------------------------------------------

local function none() end
local function success_word(code) return bit32.bor(bit32.band(code, 0xFF00), bit32.lshift(bit32.band(code, 0x0F), 4)) end

local commands = {}
-- `req`: the payload; `ok`/`err`: what follows the status word.
local function command(code, name, req, ok, err, errorWord)
    local sw = success_word(code)
    commands[code] = { name = name, req = req or none, ok = ok or none, err = err or error_answer,
        ok_word = sw, err_word = errorWord or sw + 1 }
end

local function par_read(c)
    c:note(string.format("ipa 0x%04x/%d", c:u16(f.ipa), c:u8(f.subindex)))
end
local function par_read_answer(c)
    c:u16(f.ipa)
    c:u8(f.subindex)
    parameter_value(c, c:u8(f.value_length))
end
local function par_write(c)
    par_read(c)
    parameter_value(c, c:u8(f.value_length))
end
local function filler(n) return function(c) c:bytes(f.filler, n) end end
local function then_error(n) return function(c) c:bytes(f.filler, n) error_answer(c) end end
local function counted_user(c) c:note(c:counted(f.user)) end
local function user_and(fld) return function(c) counted_user(c) c:counted(fld) end end
local function echoed_text(c) c:note(c:counted(f.user)) end

command(0x0101, "Ping", function(c) c:note("blink " .. c:u16(f.blink) .. " ms") end, ping_items)
command(0x0201, "get_Par", par_read, par_read_answer, then_error(3))
command(0x0301, "get_Par (RAM)", par_read, par_read_answer, then_error(3))
command(0x0202, "put_Par", par_write, nil, then_error(3))
command(0x0302, "put_Par (RAM)", par_write, nil, then_error(3))
command(0x0401, "Reset_Command", nil, filler(1), function(c) c:bytes(f.filler, 1) device_code(c) end)
command(0x0402, "Restore_Command", function(c) c:note(string.format("filter 0x%04x", c:u16(f.filter))) end,
    filler(1),
    function(c) c:bytes(f.filler, 1) device_code(c) end)
command(0x0403, "DeleteErrorLog")
command(0x040A, "CreateCertificate", function(c) cert_date(c, f.cert_start) cert_date(c, f.cert_expiry) end)
command(0x040B, "ReadErrorLog",
    function(c) c:note(string.format("index %d frame %d", c:u16(f.log_index), c:u8(f.log_frame))) end,
    function(c)
        c:u16(f.log_index)
        c:bytes(f.filler, 1)
        local more = c:u8(f.log_more)
        c:bytes(f.log_data, c:u8(f.log_length))
        c:note(more ~= 0 and "more data" or "last frame")
    end,
    function(c) c:u16(f.log_index) c:bytes(f.filler, 1) error_answer(c) end)
command(0x040C, "ResetError", function(c) c:note("axis " .. c:u8(f.axis)) end)
command(0x1001, "ReadSSCBuffer",
    function(c) c:note(string.format("offset %d length %d", c:u32(f.ssc_offset), c:u8(f.ssc_len))) end,
    function(c) c:bytes(f.ssc_data, c:u8(f.ssc_len)) end)
command(0x1002, "PushDataCommand", function(c)
    c:note(string.format("stream %d command %d", c:u8(f.stream), c:u8(f.stream_cmd)))
    if c.length_byte >= 6 then c:u16(f.stream_value) end
end, function(c) c:u8(f.stream_result) end)
local function block_address(c)
    c:u8(f.rt_num)
    c:u8(f.db_type)
    c:u16(f.db_idx)
    c:u32(f.db_subidx)
    local offset = c:u32(f.byte_offset)
    local len = c:u32(f.block_len)
    c:note(string.format("bytes %d-%d", offset, offset + len))
    return len
end
command(0x1003, "ReadDataBlock", block_address, function(c) c:bytes(f.block_data, c:u32(f.block_len)) end)
command(0x1004, "WriteDataBlock", function(c) c:bytes(f.block_data, block_address(c)) end, nil, nil, 0x0221)
command(0x3001, "Login", user_and(f.password), echoed_text)
command(0x3002, "ChangePasswordUser", function(c) c:counted(f.password) c:counted(f.new_password) end,
    counted_user)
command(0x3003, "ChangePasswordAdmin", user_and(f.new_password), counted_user)
command(0x3004, "CreateUser", user_and(f.password), counted_user)
command(0x3005, "DeleteUser", counted_user, counted_user)
local function permissions(c)
    c:note("role " .. c:u8(f.role))
    c:u64(f.permissions)
end
command(0x3006, "GetPermissionsAndRole", counted_user, function(c) counted_user(c) permissions(c) end)
command(0x3007, "SetPermissionsAndRole", function(c) counted_user(c) permissions(c) end, counted_user)
command(0x3009, "Logout", nil, function(c) c:bytes(f.data, c:u8(f.data_length)) end)
command(0x300A, "GetAllUsers", nil, user_list)
command(0x300B, "GetBVAdminKey", nil, function(c) c:bytes(f.admin_key, 192) end)
command(0x300C, "ResetAdminPassword", function(c) c:bytes(f.reset_key, c:u8(f.data_length)) end)
command(0x300E, "Save_Command")
command(0x5001, "SafeDataWrite", function(c) c:bytes(f.safe_data, 40) end)
command(0x5002, "SafeDataRead", nil, function(c) c:bytes(f.safe_data, 40) end)
command(0x5003, "ReadSafeObject",
    function(c) c:note(string.format("object 0x%04x/%d", c:u16(f.object_index), c:u8(f.object_subindex))) end,
    function(c)
        c:u16(f.object_index)
        c:u8(f.object_subindex)
        c:bytes(f.filler, 1)
        c:note("value " .. c:u32(f.object_value))
    end, then_error(8))

-- Status words name their command when no request is known; of the two
-- commands with the error word 0x0221 the lower code wins.
local names = {}
local by_status = {}
local codes = {}
for code in pairs(commands) do codes[#codes + 1] = code end
table.sort(codes)
for _, code in ipairs(codes) do
    local cmd = commands[code]
    names[code] = cmd.name
    by_status[cmd.ok_word] = by_status[cmd.ok_word] or { code, "success" }
    by_status[cmd.err_word] = by_status[cmd.err_word] or { code, "device error" }
end
field("command", ProtoField.uint16, "kelvo.command", "Command", base.HEX, names)
local function name_of(code)
    return names[code] or string.format("command 0x%04x", code)
end

---------------------------------------------------------------------------
-- Pairing requests and answers
---------------------------------------------------------------------------

-- conv[key]: the request awaiting its answer and the requests by counter;
-- frames[frame:direction:counter]: what the first pass found for a frame.
local conv, frames

function kelvo.init()
    conv, frames = {}, {}
    load_messages()
end

local function conversation(key)
    conv[key] = conv[key] or { by_counter = {} }
    return conv[key]
end

local function frame_key(pinfo, ctx, counter)
    return pinfo.number .. ":" .. ctx.dir .. ":" .. counter
end

-- The request an answer belongs to: the one waiting, or an earlier one with
-- the answer's counter that never got its answer.
local function request_of(pinfo, ctx, counter)
    local seen = frames[frame_key(pinfo, ctx, counter)]
    if seen then return seen.request end
    local c = conversation(ctx.conv)
    local waiting = c.pending
    if waiting and waiting.counter == counter then return waiting end
    local earlier = c.by_counter[counter]
    if earlier and not earlier.answer then return earlier end
    return waiting
end

local function note_request(pinfo, ctx, counter, code, address)
    local key = frame_key(pinfo, ctx, counter)
    if not frames[key] then
        local rec = { frame = pinfo.number, counter = counter, command = code, time = pinfo.abs_ts,
            address = address, serial = ctx.serial }
        frames[key] = rec
        local c = conversation(ctx.conv)
        c.pending = rec
        c.by_counter[counter] = rec
    end
    return frames[key]
end

local function note_answer(pinfo, ctx, counter)
    local key = frame_key(pinfo, ctx, counter)
    if not frames[key] then
        local req = request_of(pinfo, ctx, counter)
        local rec = { frame = pinfo.number, time = pinfo.abs_ts, request = req }
        if req and not req.answer then req.answer = rec end
        conversation(ctx.conv).pending = nil
        frames[key] = rec
    end
    return frames[key]
end

---------------------------------------------------------------------------
-- One frame
---------------------------------------------------------------------------

local function failure(tree, expert_item, text)
    tree:add(f.error, text):set_generated():add_proto_expert_info(expert_item, text)
end

-- What the bytes after the header are: the command and the layout to read them.
local function plan(tvb, pos, pinfo, ctx)
    local p = { counter = tvb(pos + 1, 2):le_uint(), length = tvb(pos + 3, 1):uint(),
        word = tvb(pos + 4, 2):le_uint() }
    if ctx.dir == "request" then
        p.code = p.word
        p.cmd = commands[p.code]
        p.layout = p.cmd and p.cmd.req
        return p
    end
    p.request = request_of(pinfo, ctx, p.counter)
    p.code = p.request and p.request.command
    p.cmd = p.code and commands[p.code]
    if not p.cmd and by_status[p.word] then
        p.code = by_status[p.word][1]
        p.cmd = commands[p.code]
    end
    if p.cmd and p.word == p.cmd.ok_word then
        p.kind, p.layout = "success", p.cmd.ok
    elseif p.cmd and p.word == p.cmd.err_word then
        p.kind, p.layout = "device error", p.cmd.err
    else
        p.kind = "other"
    end
    return p
end

-- Bytes of the frame at `pos` (without a serial envelope): from its layout,
-- else from the length byte; nil while the bytes up to `limit` do not hold it.
local function frame_size(tvb, pos, limit, pinfo, ctx)
    if limit - pos < 6 then return nil end
    local p = plan(tvb, pos, pinfo, ctx)
    if not p.layout then return 4 + p.length end
    local c = cursor(tvb, pos + 6, limit, nil)
    c.length_byte = p.length
    local ok, err = pcall(p.layout, c)
    if ok then return c.pos - pos end
    if err ~= SHORT then error(err, 0) end
    return c.oversize and limit - pos or nil
end

local function crc16(s)
    local crc = 0xFFFF
    for i = 1, #s do
        crc = bit32.bxor(crc, bit32.lshift(s:byte(i), 8))
        for _ = 1, 8 do
            local shifted = bit32.band(bit32.lshift(crc, 1), 0xFFFF)
            crc = bit32.btest(crc, 0x8000) and bit32.bxor(shifted, 0x1021) or shifted
        end
    end
    return crc
end

-- Dissects one frame at `pos` whose bytes end at `limit` at the latest;
-- returns the end of the frame and a short summary for the Info column.
local function dissect_frame(tvb, pos, limit, pinfo, tree, ctx)
    local start = pos
    local top = tree:add(kelvo, tvb(pos, limit - pos))
    top:add(f.direction, ctx.dir):set_generated()
    local address
    if ctx.serial then
        address = tvb(pos, 1):uint()
        top:add(f.address, tvb(pos, 1))
        pos = pos + 1
    end
    if limit - pos < 6 then
        -- A cut answer still names its request when the counter came.
        local summary = "frame ends early"
        if ctx.dir == "answer" and limit - pos >= 3 then
            local counter = tvb(pos + 1, 2):le_uint()
            top:add_le(f.counter, tvb(pos + 1, 2))
            local req = note_answer(pinfo, ctx, counter).request
            if req then
                top:add(f.request_in, req.frame):set_generated()
                summary = "Answer " .. name_of(req.command) .. " #" .. counter .. ", ends early"
            end
        end
        failure(top, ex.short, string.format("frame ends after %d bytes of its 6-byte header", limit - pos))
        return limit, summary
    end
    local p = plan(tvb, pos, pinfo, ctx)
    top:add(f.node, tvb(pos, 1))
    top:add_le(f.counter, tvb(pos + 1, 2))
    top:add(f.length, tvb(pos + 3, 1))
    local summary = name_of(p.code or p.word) .. " #" .. p.counter
    local rec
    if ctx.dir == "request" then
        top:add_le(f.command, tvb(pos + 4, 2))
        rec = note_request(pinfo, ctx, p.counter, p.code, address)
        if rec.answer then
            top:add(f.response_in, rec.answer.frame):set_generated()
        elseif pinfo.visited and not (ctx.serial and p.code == 0x1002) then
            failure(top, ex.no_answer, "no answer to this request in the capture")
        end
    else
        if p.code then top:add(f.command, p.code):set_generated() end
        local status = top:add_le(f.status, tvb(pos + 4, 2))
        status:append_text(" (" .. p.kind .. ")")
        top:add(f.status_kind, p.kind):set_generated()
        summary = summary .. " " .. p.kind
        rec = note_answer(pinfo, ctx, p.counter)
        local req = rec.request
        if req then
            top:add(f.request_in, req.frame):set_generated()
            local delta = rec.time - req.time
            local seconds = math.floor(delta)
            top:add(f.time, NSTime.new(seconds, math.floor((delta - seconds) * 1e9 + 0.5))):set_generated()
            if req.counter ~= p.counter then
                failure(top, ex.counter, string.format(
                    "frame counter mismatch: the request has %d, the answer echoes %d", req.counter, p.counter))
                summary = summary .. ", counter mismatch"
            end
            if ctx.serial and req.address and req.address ~= 255 and address ~= req.address then
                failure(top, ex.address, string.format(
                    "serial address echo %d differs from the request's address %d", address, req.address))
                summary = summary .. ", address echo differs"
            end
        end
        if p.kind == "other" then
            local expected = p.cmd and string.format(" (success 0x%04x, device error 0x%04x)",
                p.cmd.ok_word, p.cmd.err_word) or ""
            failure(top, ex.status, string.format("unknown status word 0x%04x for %s", p.word,
                name_of(p.code or p.word)) .. expected)
        end
    end

    -- The payload as the command's layout has it.
    local c = cursor(tvb, pos + 6, limit, top)
    c.length_byte = p.length
    local frame_end
    local complete = true
    if p.layout then
        local ok, err = pcall(p.layout, c)
        if not ok and err ~= SHORT then error(err, 0) end
        complete = ok
        if not ok then
            failure(top, ex.short, "frame ends early")
            summary = summary .. ", ends early"
        end
        frame_end = c.pos
    else
        frame_end = ctx.serial and math.max(pos + 6, limit - 2) or math.min(limit, pos + 4 + p.length)
        if frame_end > pos + 6 then top:add(f.data, tvb(pos + 6, frame_end - pos - 6)) end
    end
    if c.device_code then
        local text = message_of(c.device_code)
        failure(top, ex.device, string.format("device error 0x%08X", c.device_code) ..
            (text and (": " .. text) or ""))
        summary = summary .. string.format(" 0x%08X", c.device_code)
    end
    if #c.info > 0 then summary = summary .. " " .. table.concat(c.info, " ") end

    if ctx.serial then
        if limit - frame_end >= 2 then
            local sent = tvb(frame_end, 2):le_uint()
            local right = crc16(tvb(start, frame_end - start):raw())
            local item = top:add_le(f.crc, tvb(frame_end, 2))
            local verdict = sent == right and "correct" or string.format("incorrect, should be 0x%04x", right)
            item:append_text(" [" .. verdict .. "]")
            top:add(f.crc_status, verdict):set_generated()
            if sent ~= right then
                failure(top, ex.crc, "CRC " .. verdict)
                summary = summary .. ", CRC incorrect"
            end
            frame_end = frame_end + 2
        elseif complete then
            failure(top, ex.short, "CRC missing")
            summary = summary .. ", CRC missing"
        end
    end
    if frame_end < limit and ctx.record then
        top:add(f.data, tvb(frame_end, limit - frame_end)):append_text(" (after the frame)")
        frame_end = limit
    end
    top:set_len(frame_end - start)
    top:append_text(", " .. (ctx.dir == "request" and "Request " or "Answer ") .. summary)
    return frame_end, (ctx.dir == "request" and "Request " or "Answer ") .. summary
end

-- Dissects the frames in tvb from `pos`. On a stream (TCP, TLS) a frame that
-- goes on in later segments is left to reassembly; in a capture record it is
-- shown as ending early.
local function dissect_frames(tvb, pos, pinfo, tree, ctx)
    local len = tvb:len()
    local summaries = {}
    while pos < len do
        local envelope = ctx.serial and 3 or 0
        local size = frame_size(tvb, pos + (ctx.serial and 1 or 0), len, pinfo, ctx)
        local limit
        if size then
            limit = math.min(len, pos + size + envelope)
        elseif ctx.record then
            limit = len
        else
            pinfo.desegment_offset = pos
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            pos = len
            break
        end
        local frame_end, summary = dissect_frame(tvb, pos, limit, pinfo, tree, ctx)
        summaries[#summaries + 1] = summary
        pos = math.max(frame_end, pos + 1)
    end
    if #summaries > 0 then
        pinfo.cols.protocol = "Kelvo"
        pinfo.cols.info = table.concat(summaries, "; ")
    end
    return pos
end

-- TCP and TLS: requests go to the device's port.
function kelvo.dissector(tvb, pinfo, tree)
    local server = pinfo.match_uint
    if server ~= pinfo.dst_port and server ~= pinfo.src_port then
        server = (pinfo.dst_port == TCP_PORT or pinfo.dst_port == TLS_PORT) and pinfo.dst_port
            or (pinfo.src_port == TCP_PORT or pinfo.src_port == TLS_PORT) and pinfo.src_port
            or math.min(pinfo.src_port, pinfo.dst_port)
    end
    local request = pinfo.dst_port == server
    local client = request and (tostring(pinfo.src) .. ":" .. pinfo.src_port)
        or (tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
    local ctx = { dir = request and "request" or "answer", serial = false,
        conv = client .. ">" .. server }
    return dissect_frames(tvb, 0, pinfo, tree, ctx)
end

---------------------------------------------------------------------------
-- Capture records of kelvo --capture and kelvo-sim --capture
---------------------------------------------------------------------------

local DIRECTIONS = { [0] = "request", [1] = "answer", [2] = "push data" }
local LINKS = { [0] = "serial", [1] = "TCP", [2] = "TLS" }
local rf = {
    direction = ProtoField.uint8("kelvo.record.direction", "Direction", base.DEC, DIRECTIONS),
    link = ProtoField.uint8("kelvo.record.link", "Link", base.DEC, LINKS),
    number = ProtoField.uint16("kelvo.record.number", "Link number", base.DEC),
}
record.fields = rf

function record.dissector(tvb, pinfo, tree)
    if tvb:len() < 4 then return 0 end
    local direction, link, number = tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 2):le_uint()
    -- With several links in one file, each device is named by its number.
    local device = number > 1 and ("device " .. number) or "device"
    pinfo.cols.src = direction == 0 and "host" or device
    pinfo.cols.dst = direction == 0 and device or "host"
    local head_tree = tree:add(record, tvb(0, 4))
    head_tree:add(rf.direction, tvb(0, 1))
    head_tree:add(rf.link, tvb(1, 1))
    head_tree:add_le(rf.number, tvb(2, 2))
    pinfo.cols.protocol = "Kelvo"
    if direction == 2 or not DIRECTIONS[direction] then
        local t = tree:add(kelvo, tvb(4))
        if tvb:len() > 4 then t:add(f.push, tvb(4)) end
        pinfo.cols.info = string.format("Push data, %d bytes", tvb:len() - 4)
        return tvb:len()
    end
    local ctx = { dir = DIRECTIONS[direction], serial = link == 0, record = true,
        conv = "record:" .. link .. ":" .. number }
    return dissect_frames(tvb, 4, pinfo, tree, ctx)
end

---------------------------------------------------------------------------
-- UDP discovery
---------------------------------------------------------------------------

local ITEM_TYPES = { [1] = "IP address", [2] = "netmask", [3] = "gateway", [4] = "address",
    [5] = "node", [6] = "name", [7] = "serial number", [8] = "firmware version",
    [9] = "MAC address", [10] = "time", [11] = "byte" }
local df = {
    kind = ProtoField.uint8("kelvo.discovery.kind", "Kind", base.DEC, { [1] = "request", [2] = "answer" }),
    count = ProtoField.int8("kelvo.discovery.count", "Items", base.DEC),
    reserved = ProtoField.uint16("kelvo.discovery.reserved", "Reserved", base.HEX),
    item = ProtoField.string("kelvo.discovery.item", "Item"),
    type = ProtoField.uint16("kelvo.discovery.type", "Type", base.DEC, ITEM_TYPES),
    length = ProtoField.uint16("kelvo.discovery.length", "Length", base.DEC),
    value = ProtoField.string("kelvo.discovery.value", "Value"),
    ip = ProtoField.ipv4("kelvo.discovery.ip", "IPv4 address"),
    mac = ProtoField.ether("kelvo.discovery.mac", "MAC address"),
    raw = ProtoField.bytes("kelvo.discovery.bytes", "Value bytes"),
}
discovery.fields = df

-- An item's value as the scan renders it.
local function discovery_text(kind, s)
    if kind >= 1 and kind <= 4 then
        local b = { head(s, 4):byte(1, 4) }
        return string.format("%u.%u.%u.%u", b[1], b[2], b[3], b[4])
    end
    if kind == 5 or kind == 11 then return tostring(head(s, 1):byte()) end
    if kind == 6 or kind == 7 then return (s:gsub("%z.*$", "")) end
    if kind == 8 or kind == 10 then return tostring(le_number(head(s, 4))) end
    if kind == 9 then
        local b = { head(s, 6):byte(1, 6) }
        return string.format("%02X:%02X:%02X:%02X:%02X:%02X", b[1], b[2], b[3], b[4], b[5], b[6])
    end
    return ""
end

function discovery.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    if len < 4 then return 0 end
    local kind = tvb(0, 1):uint()
    if kind ~= 1 and kind ~= 2 then return 0 end
    pinfo.cols.protocol = "Kelvo discovery"
    local t = tree:add(discovery, tvb())
    local count = tvb(1, 1):int()
    t:add(df.kind, tvb(0, 1))
    t:add(df.count, tvb(1, 1))
    t:add(df.reserved, tvb(2, 2))
    local pos = 4
    local texts = {}
    for _ = 1, math.max(count, 0) do
        if len - pos < 4 then break end
        local item_type, n = tvb(pos, 2):uint(), tvb(pos + 2, 2):uint()
        local shown = math.min(n, len - pos - 4)
        local item = t:add(tvb(pos, 4 + shown), "Item")
        item:add(df.type, tvb(pos, 2))
        item:add(df.length, tvb(pos + 2, 2))
        local value = shown > 0 and tvb(pos + 4, shown) or nil
        local s = value and value:raw() or ""
        local text = discovery_text(item_type, s)
        if value then
            if item_type >= 1 and item_type <= 4 and shown >= 4 then
                item:add(df.ip, tvb(pos + 4, 4))
            elseif item_type == 9 and shown >= 6 then
                item:add(df.mac, tvb(pos + 4, 6))
            else
                item:add(df.raw, value)
            end
        end
        item:add(df.value, text):set_generated()
        local label = (ITEM_TYPES[item_type] or ("type " .. item_type)) .. ": " .. text
        item:add(df.item, label):set_generated()
        item:set_text("Item " .. label)
        if shown < n then
            item:add_expert_info(PI_MALFORMED, PI_ERROR, "item runs past the end of the datagram")
        end
        texts[#texts + 1] = text
        pos = pos + 4 + shown
    end
    local what = kind == 1 and "Discovery request" or "Discovery answer"
    pinfo.cols.info = what .. (#texts > 0 and (": " .. table.concat(texts, ", ")) or "")
    return len
end

---------------------------------------------------------------------------
-- Registration
---------------------------------------------------------------------------

local fields = {}
for _, fld in pairs(f) do fields[#fields + 1] = fld end
kelvo.fields = fields

DissectorTable.get("tcp.port"):add(TCP_PORT, kelvo)
DissectorTable.get("tcp.port"):add(TLS_PORT, Dissector.get("tls"))
DissectorTable.get("tls.port"):add(TLS_PORT, kelvo)
DissectorTable.get("udp.port"):add(UDP_PORT, discovery)
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, record)
