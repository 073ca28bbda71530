-- Tavoframe88 for Wireshark: the request and reply frames between a PC and a
-- reader terminal.
--
-- Captures written by quillmark-cli, quillmark-sim and the console (link type
-- USER0) decode with no setting to make; so does a plain capture of a
-- terminal's TCP or UDP traffic, through the heuristic dissectors.
--
-- Load it for one run:  tshark -X lua_script:tavoframe.lua -r run.pcapng
-- or copy it into Wireshark's Lua plugin folder (Help > About > Folders).
--
-- Frame: C0|C2, machine, command|status, length (2 bytes, high first), data,
-- CRC-16 (polynomial 0x1021, initial value 0xC78C, over everything before it,
-- high byte first), C1|C3.

-- Loaded twice (from a plugin folder and with -X lua_script), the first
-- copy serves: a second protocol of the same name would be refused.
local loaded, existing = pcall(Dissector.get, "tavoframe")
if loaded and existing ~= nil then
    return
end

local proto = Proto("tavoframe", "Tavoframe88")

local REQUEST_START, REQUEST_END = 0xC0, 0xC1
local REPLY_START, REPLY_END = 0xC2, 0xC3
-- Start byte, machine, command or status, and the two length bytes.
local HEADER = 5
local LENGTH_AT = 3
local CRC_BYTES = 2
-- The header, then after the data the checksum and the end byte.
local OVERHEAD = HEADER + CRC_BYTES + 1
local MAX_REQUEST_DATA = 288
-- The largest reply a heuristic takes for ours; the console reads at most 592 data bytes.
local MAX_HEURISTIC_REPLY_DATA = 4096
local ACK = "C2FFAC0001543C51C3"
local TRANSFER_ERROR = "C2FFCE0001E60F72C3"
-- Commands that carry the sequence byte after an acknowledgement.
local SEQ_COMMANDS = { [0x04] = true, [0x54] = true, [0x64] = true }
local CMD_LOAD, CMD_SIZE, CMD_BLOCK, CMD_SUM = 0xE7, 0x01, 0x03, 0x04
-- The data of the E7 that starts a download.
local LOADP = "LoadP"
local LOADP_LEN = #LOADP
local BLOCK = 128
-- Our captures name a TCP channel's interface "TCP ADDR:PORT".
local TCP_INTERFACE = "TCP "

local CRC_BAD, CRC_GOOD = 0, 1

local f = {
    machine = ProtoField.uint8("tavoframe.machine", "机号", base.DEC_HEX),
    cmd = ProtoField.uint8("tavoframe.cmd", "命令字", base.HEX),
    status = ProtoField.uint8("tavoframe.status", "状态", base.HEX),
    length = ProtoField.uint16("tavoframe.length", "长度", base.DEC),
    seq = ProtoField.uint8("tavoframe.seq", "序号", base.DEC),
    data = ProtoField.bytes("tavoframe.data", "数据"),
    crc = ProtoField.uint16("tavoframe.crc", "校验", base.HEX),
    crc_status = ProtoField.uint8("tavoframe.crc.status", "校验状态", base.DEC,
        { [CRC_BAD] = "Bad", [CRC_GOOD] = "Good" }),
    ["end"] = ProtoField.uint8("tavoframe.end", "结束符", base.HEX),
    ack = ProtoField.bool("tavoframe.ack", "确认包"),
    step = ProtoField.string("tavoframe.download.step", "下载步骤"),
    skipped = ProtoField.bytes("tavoframe.skipped", "帧外字节"),
}
proto.fields = { f.machine, f.cmd, f.status, f.length, f.seq, f.data, f.crc, f.crc_status,
    f["end"], f.ack, f.step, f.skipped }

local e = {
    crc = ProtoExpert.new("tavoframe.crc.bad", "数据校验错误", expert.group.CHECKSUM,
        expert.severity.ERROR),
    ["end"] = ProtoExpert.new("tavoframe.end.bad", "结束符错误", expert.group.MALFORMED,
        expert.severity.ERROR),
    length = ProtoExpert.new("tavoframe.length.bad", "长度与帧不符", expert.group.MALFORMED,
        expert.severity.ERROR),
    transfer = ProtoExpert.new("tavoframe.transfer_error", "终端收到的PC数据帧已损坏",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
}
proto.experts = { e.crc, e["end"], e.length, e.transfer }

-- Everything that tells a request from a reply, by start byte.
local KIND = {
    [REQUEST_START] = {
        request = true,
        end_byte = REQUEST_END,
        code_field = f.cmd,
        name = "请求",
        incomplete = "请求(不完整)",
        info = "请求 机号 %d 命令字 %02X",
    },
    [REPLY_START] = {
        request = false,
        end_byte = REPLY_END,
        code_field = f.status,
        name = "应答",
        incomplete = "应答(不完整)",
        info = "应答 机号 %d 状态 %02X",
    },
}

local f_interface = Field.new("frame.interface_id")
local f_interface_name = Field.new("frame.interface_name")
local f_tcp_stream = Field.new("tcp.stream")

local CRC_TABLE = {}
for i = 0, 255 do
    local c = bit.lshift(i, 8)
    for _ = 1, 8 do
        if bit.band(c, 0x8000) ~= 0 then
            c = bit.bxor(bit.lshift(c, 1), 0x1021)
        else
            c = bit.lshift(c, 1)
        end
        c = bit.band(c, 0xFFFF)
    end
    CRC_TABLE[i] = c
end

-- The engine's checksum over count bytes of tvb from offset.
local function crc16(tvb, offset, count)
    local bytes = tvb:bytes(offset, count)
    local crc = 0xC78C
    for i = 0, count - 1 do
        local index = bit.band(bit.bxor(bit.rshift(crc, 8), bytes:get_index(i)), 0xFF)
        crc = bit.band(bit.bxor(bit.lshift(crc, 8), CRC_TABLE[index]), 0xFFFF)
    end
    return crc
end

-- The data length the header of the frame at offset gives.
local function data_length(tvb, offset)
    return tvb(offset + LENGTH_AT, 2):uint()
end

-- Whether the total bytes at offset are exactly the frame written as hex.
local function is_frame(tvb, offset, total, hex)
    return total == #hex / 2 and tostring(tvb:bytes(offset, total)) == hex
end

-- What is known only from earlier frames of the same conversation, worked
-- out once in the first pass and remembered per frame, so that every later
-- pass shows the same.
local conversations = {}
local remembered = {}

function proto.init()
    conversations = {}
    remembered = {}
end

-- One conversation: a capture interface, or a TCP/UDP address pair. Returns
-- its key, and whether it runs over TCP: the TCP reader reads a reply over
-- the acknowledgement in front of it, so the console never sees one there
-- and never sends a sequence byte.
local function conversation(pinfo)
    local iface = f_interface()
    if iface ~= nil and pinfo.src_port == 0 and pinfo.dst_port == 0 then
        local name = f_interface_name()
        return "if" .. tostring(iface.value),
            name ~= nil and name.value:sub(1, #TCP_INTERFACE) == TCP_INTERFACE
    end
    local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if a > b then
        a, b = b, a
    end
    return a .. "-" .. b, f_tcp_stream() ~= nil
end

-- The context of one frame: its sequence byte and its download step. Every
-- request is judged by the reply that came before it: a reply that began
-- with the acknowledgement puts the sequence byte in front of the data of
-- commands 04, 54 and 64 (not over TCP); an E7 "LoadP" makes 01, 03 and 04
-- download steps until the byte sum, a refused step or another command ends
-- the download.
local function frame_context(pinfo, key, frame)
    local per = remembered[pinfo.number]
    if per == nil then
        per = {}
        remembered[pinfo.number] = per
    end
    if per[key] ~= nil then
        return per[key]
    end
    local conv_key, tcp = conversation(pinfo)
    local c = conversations[conv_key]
    if c == nil then
        c = { tcp = tcp, confirm = false, awaiting = false, download = false }
        conversations[conv_key] = c
    end
    local r = {}
    if frame.kind.request then
        local cmd = frame.code
        if c.download and (cmd == CMD_SIZE or cmd == CMD_BLOCK or cmd == CMD_SUM) then
            if cmd == CMD_SIZE then
                r.step = "size"
            elseif cmd == CMD_BLOCK then
                r.step = frame.data_len >= 2 and ("block " .. math.floor(frame.block_offset / BLOCK))
                    or "block"
            else
                r.step = "byte sum"
                c.download = false
            end
        else
            c.download = false
            if cmd == CMD_LOAD and frame.data_text == LOADP then
                r.step = LOADP
                c.download = true
            elseif c.confirm and not c.tcp and SEQ_COMMANDS[cmd] and frame.data_len >= 1 then
                r.seq = true
            end
        end
        c.awaiting = true
    else
        if c.awaiting then
            c.confirm = frame.is_ack
            c.awaiting = false
        end
        if c.download and not frame.is_ack and (frame.code ~= 0 or not frame.sound) then
            c.download = false
        end
    end
    per[key] = r
    return r
end

-- The frame at offset as plain values: of total bytes, of which avail (at
-- least a header) are in tvb. Checksum and end byte are judged only when
-- the frame is whole.
local function read_frame(tvb, offset, total, avail)
    local kind = KIND[tvb(offset, 1):uint()]
    local m = data_length(tvb, offset)
    local frame = {
        kind = kind,
        at = offset,
        total = total,
        avail = avail,
        whole = avail >= total,
        machine = tvb(offset + 1, 1):uint(),
        code = tvb(offset + 2, 1):uint(),
        length = m,
        data_len = math.max(0, math.min(m, avail - HEADER)),
        crc_at = offset + HEADER + m,
        end_at = offset + HEADER + m + CRC_BYTES,
        crc_good = false,
        end_good = false,
    }
    frame.is_ack = frame.whole and is_frame(tvb, offset, total, ACK)
    if kind.request and frame.data_len >= 2 then
        frame.block_offset = tvb(offset + HEADER, 2):uint()
    end
    if kind.request and frame.data_len == LOADP_LEN then
        frame.data_text = tvb(offset + HEADER, LOADP_LEN):string()
    end
    if frame.whole then
        frame.crc_good = tvb(frame.crc_at, CRC_BYTES):uint() == crc16(tvb, offset, HEADER + m)
        frame.end_good = tvb(frame.end_at, 1):uint() == kind.end_byte
        frame.is_transfer_error = is_frame(tvb, offset, total, TRANSFER_ERROR)
    end
    frame.sound = frame.crc_good and frame.end_good
    return frame
end

-- Adds the header, sequence byte, data, step and acknowledgement items of
-- frame to t; on a frame cut short, expert info on its length.
local function add_fields(t, tvb, frame, ctx)
    local offset = frame.at
    t:add(f.machine, tvb(offset + 1, 1))
    t:add(frame.kind.code_field, tvb(offset + 2, 1))
    local length_item = t:add(f.length, tvb(offset + LENGTH_AT, 2))
    if not frame.whole then
        length_item:add_proto_expert_info(e.length,
            string.format("长度与帧不符: 长度 %d 需 %d 字节, 只有 %d 字节", frame.length,
                frame.total, frame.avail))
    end
    local data_at = offset + HEADER
    local data_len = frame.data_len
    if ctx.seq then
        t:add(f.seq, tvb(data_at, 1))
        data_at = data_at + 1
        data_len = data_len - 1
    end
    if data_len > 0 then
        t:add(f.data, tvb(data_at, data_len))
    end
    if ctx.step then
        t:add(f.step, ctx.step)
    end
    if frame.is_ack then
        t:add(f.ack, tvb(offset, frame.total), true)
    end
end

-- Adds the checksum and end byte of a whole frame to t, with expert info on
-- what is wrong.
local function add_trailer(t, tvb, frame)
    local crc_item = t:add(f.crc, tvb(frame.crc_at, CRC_BYTES))
    t:add(f.crc_status, frame.crc_good and CRC_GOOD or CRC_BAD):set_generated()
    if not frame.crc_good then
        crc_item:add_proto_expert_info(e.crc)
    end
    local end_item = t:add(f["end"], tvb(frame.end_at, 1))
    if not frame.end_good then
        end_item:add_proto_expert_info(e["end"], string.format("结束符错误: 应为 %02X",
            frame.kind.end_byte))
    end
    if frame.is_transfer_error then
        t:add_proto_expert_info(e.transfer)
    end
end

-- The Info text of frame.
local function info_text(frame, ctx)
    local info
    if frame.is_ack then
        info = "确认包"
    else
        info = string.format(frame.kind.info, frame.machine, frame.code)
    end
    if ctx.step then
        info = info .. " [" .. ctx.step .. "]"
    end
    if frame.whole and not frame.sound then
        info = info .. (frame.crc_good and " [结束符错误]" or " [校验错误]")
    elseif not frame.whole then
        info = info .. " [不完整]"
    end
    return info
end

-- Dissects the frame at offset, of total bytes of which avail are in tvb.
-- Returns the info text.
local function dissect_frame(tvb, pinfo, tree, offset, total, avail)
    local t = tree:add(proto, tvb(offset, math.min(avail, total)))
    if avail < HEADER then
        local kind = KIND[tvb(offset, 1):uint()]
        t:add_proto_expert_info(e.length, "帧头不完整: " .. avail .. " 字节")
        t:append_text(" " .. kind.name)
        return kind.incomplete
    end
    local frame = read_frame(tvb, offset, total, avail)
    local ctx = frame_context(pinfo, tostring(tvb:len()) .. ":" .. offset, frame)
    add_fields(t, tvb, frame, ctx)
    if frame.whole then
        add_trailer(t, tvb, frame)
    end
    local info = info_text(frame, ctx)
    t:append_text(" " .. info)
    return info
end

-- Where the next start byte lies at or after offset; the tvb's length when none.
local function next_start(tvb, offset)
    local len = tvb:len()
    while offset < len do
        local b = tvb(offset, 1):uint()
        if KIND[b] then
            return offset
        end
        offset = offset + 1
    end
    return len
end

local function dissect(tvb, pinfo, tree)
    local len = tvb:len()
    local offset = 0
    local infos = {}
    while offset < len do
        local start = next_start(tvb, offset)
        if start > offset then
            local t = tree:add(proto, tvb(offset, start - offset), "帧外字节")
            t:add(f.skipped, tvb(offset, start - offset))
            infos[#infos + 1] = "帧外字节 " .. (start - offset)
            offset = start
        else
            local avail = len - offset
            local total = avail >= HEADER and data_length(tvb, offset) + OVERHEAD or nil
            -- On TCP the rest of a frame is in later segments: ask for them.
            if pinfo.can_desegment > 0 and (total == nil or avail < total) then
                pinfo.desegment_offset = offset
                pinfo.desegment_len = total and (total - avail) or DESEGMENT_ONE_MORE_SEGMENT
                break
            end
            infos[#infos + 1] = dissect_frame(tvb, pinfo, tree, offset, total or avail, avail)
            offset = offset + math.min(avail, total or avail)
        end
    end
    if #infos > 0 then
        pinfo.cols.protocol = "Tavoframe88"
        pinfo.cols.info = table.concat(infos, ", ")
    end
    return len
end

function proto.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- Network traffic is ours when it begins with a frame: a start byte, a
-- plausible length and, when the frame is whole, its end byte and checksum.
-- The rest of the conversation then comes to this dissector directly.
local function heuristic(tvb, pinfo, tree)
    local len = tvb:len()
    if len < HEADER then
        return false
    end
    local start = tvb(0, 1):uint()
    local m = data_length(tvb, 0)
    if start == REQUEST_START then
        if m > MAX_REQUEST_DATA then
            return false
        end
    elseif start ~= REPLY_START or m > MAX_HEURISTIC_REPLY_DATA then
        return false
    end
    local frame = read_frame(tvb, 0, m + OVERHEAD, len)
    if frame.whole then
        if not frame.sound then
            return false
        end
    elseif pinfo.can_desegment == 0 then
        return false
    end
    pinfo.conversation = proto
    dissect(tvb, pinfo, tree)
    return true
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, proto)
proto:register_heuristic("tcp", heuristic)
proto:register_heuristic("udp", heuristic)
