-- Wireshark dissector for the terminal's command packets on UDP port 4370.
--
-- Every packet: an 8-byte little-endian header (command or reply code,
-- checksum, connection id, sequence number), then data. The checksum is the
-- RFC 1071 sum over the whole packet on little-endian words with the checksum
-- field taken as 0. Replies carry the request's sequence number; a reply is
-- read in the light of the request it answers (110's error code, 1100's version
-- text, 11's option value, the connect reply's new connection id). A memory read
-- (111) is answered with a 1500 announcement, 1501 chunks that carry their
-- index in place of the connection id, then 2000.
--
-- Load: tshark -X lua_script:quelmark.lua ..., or copy this file into the
-- personal plugins folder (see README.md).

local quelmark = Proto("quelmark", "Quelmark terminal command protocol")

local PORT = 4370

local commands = {
  [11] = "get option",
  [12] = "set option",
  [110] = "write transfer buffer to flash or run it",
  [111] = "memory read",
  [1000] = "connect",
  [1001] = "disconnect",
  [1003] = "sent before an update (not served in loader mode)",
  [1004] = "restart",
  [1016] = "run transfer buffer",
  [1100] = "version",
  [1500] = "announce transfer",
  [1501] = "transfer chunk",
  [1502] = "release transfer buffer",
  [2000] = "no operation",
}

local replies = {
  [1500] = "memory read: announcement",
  [1501] = "memory read: chunk",
  [2000] = "done",
  [2001] = "refused",
  [2004] = "repeat, no reply stored yet",
  [0xFFFF] = "command not served",
}

local targets = {
  [0] = "boot-loader area, flash offset 0",
  [1] = "main firmware, plain (header 0x010B), flash offset 0x10000",
  [2] = "main firmware, LZO1X (header 0x000B), flash offset 0x10000",
  [3] = "flash offset 0x40000, with header 0x050B",
  [4] = "parameter sector",
  [5] = "flash offset 0x80000",
  [6] = "flash offset 0x90000",
  [7] = "flash offset or window address given by the parameter",
  [100] = "run from RAM at the parameter address",
}

local errors110 = {
  [1] = "announced size <= 0",
  [2] = "no transfer buffer",
  [3] = "fewer bytes received than announced",
  [4] = "flash write failed",
  [5] = "storage target unknown, or size or address out of range",
}

local directions = { [0] = "request", [1] = "reply" }

local f = {
  direction = ProtoField.uint8("quelmark.direction", "Direction", base.DEC, directions),
  command = ProtoField.uint16("quelmark.command", "Command", base.DEC, commands),
  reply = ProtoField.uint16("quelmark.reply", "Reply code", base.DEC, replies),
  answers = ProtoField.uint16("quelmark.answers", "Answers command", base.DEC, commands),
  checksum = ProtoField.uint16("quelmark.checksum", "Checksum", base.HEX),
  checksum_calc = ProtoField.uint16("quelmark.checksum.calculated", "Calculated checksum", base.HEX),
  checksum_good = ProtoField.bool("quelmark.checksum.good", "Checksum good"),
  conn_id = ProtoField.uint16("quelmark.conn_id", "Connection id", base.DEC),
  chunk_index = ProtoField.uint16("quelmark.chunk_index", "Chunk index", base.DEC),
  error = ProtoField.uint16("quelmark.error", "Error code", base.DEC, errors110),
  seq = ProtoField.uint16("quelmark.seq", "Sequence number", base.DEC),
  data_length = ProtoField.uint32("quelmark.data_length", "Data length", base.DEC),
  data = ProtoField.bytes("quelmark.data", "Data"),
  target = ProtoField.uint32("quelmark.target", "Storage target", base.DEC, targets),
  parameter = ProtoField.uint32("quelmark.parameter", "Parameter", base.HEX),
  load_address = ProtoField.uint32("quelmark.load_address", "Load address", base.HEX),
  read_address = ProtoField.uint32("quelmark.read.address", "Read address", base.HEX),
  read_length = ProtoField.int32("quelmark.read.length", "Read length", base.DEC),
  read_total = ProtoField.int32("quelmark.read.total", "Bytes to come", base.DEC),
  read_chunk_size = ProtoField.uint32("quelmark.read.chunk_size", "Chunk size", base.DEC),
  size = ProtoField.int32("quelmark.size", "Announced size", base.DEC),
  transfer_size = ProtoField.int32("quelmark.transfer_size", "Transfer size (announced by 1500)", base.DEC),
  chunk = ProtoField.bytes("quelmark.chunk", "Chunk"),
  run_address = ProtoField.uint32("quelmark.run_address", "Run address", base.HEX),
  version = ProtoField.string("quelmark.version", "Version"),
  option = ProtoField.string("quelmark.option", "Option"),
  option_value = ProtoField.string("quelmark.option.value", "Option value"),
}
quelmark.fields = f

local e_bad_checksum = ProtoExpert.new("quelmark.checksum.bad.expert", "Bad checksum: the terminal drops this packet",
  expert.group.CHECKSUM, expert.severity.ERROR)
local e_short = ProtoExpert.new("quelmark.short", "Shorter than the 8-byte header: the terminal drops it",
  expert.group.MALFORMED, expert.severity.ERROR)
local e_refused = ProtoExpert.new("quelmark.refused", "Refused",
  expert.group.RESPONSE_CODE, expert.severity.WARN)
quelmark.experts = { e_bad_checksum, e_short, e_refused }

-- RFC 1071 on little-endian words, with the checksum field (bytes 2, 3) as 0.
local function packet_checksum(tvb)
  local n = tvb:len()
  local sum = 0
  local i = 0
  while i + 1 < n do
    if i ~= 2 then sum = sum + tvb(i, 2):le_uint() end
    i = i + 2
  end
  if i < n then sum = sum + tvb(i, 1):uint() end
  while sum > 0xFFFF do sum = (sum % 0x10000) + math.floor(sum / 0x10000) end
  return 0xFFFF - sum
end

-- Addresses seen as terminals (destinations of requests), and the requests by
-- terminal, host and sequence number, so that replies can be read.
local terminals = {}
local requests = {}
local answered = {}  -- frame number -> request record, fixed on the first pass
local announced = {}  -- terminal, host and connection id -> the last size of 1500
local used = {}       -- frame number of a 110 or 1016 -> the size it works on

local function is_reply(pinfo, word)
  local src, dst = tostring(pinfo.src), tostring(pinfo.dst)
  if pinfo.dst_port == PORT and pinfo.src_port ~= PORT then return false end
  if terminals[src] and not terminals[dst] then return true end
  if terminals[dst] and not terminals[src] then return false end
  if pinfo.src_port == PORT and pinfo.dst_port ~= PORT then return true end
  -- Both ports 4370 and nothing known yet: codes only a terminal sends.
  return word == 2001 or word == 2004 or word == 0xFFFF
end

local function u32(tvb, at) return tvb(at, 4):le_uint() end

local function text_at(tvb, at)
  if tvb:len() <= at then return "" end
  return tvb(at):stringz()
end

local function dissect_request(tvb, pinfo, tree, cmd, d, conn_key)
  local info = (commands[cmd] or "unknown") .. " (" .. cmd .. ")"
  local rec = { cmd = cmd }
  if cmd == 110 or cmd == 1016 then
    if not pinfo.visited and used[pinfo.number] == nil then used[pinfo.number] = announced[conn_key] or false end
    if used[pinfo.number] then tree:add(f.transfer_size, used[pinfo.number]):set_generated() end
  elseif cmd == 1500 and d >= 4 and not pinfo.visited then
    announced[conn_key] = tvb(8, 4):le_int()
  elseif cmd == 1502 and not pinfo.visited then
    announced[conn_key] = nil
  end
  if cmd == 110 and d >= 8 then
    local target, param = u32(tvb, 8), u32(tvb, 12)
    tree:add_le(f.target, tvb(8, 4))
    tree:add_le(f.parameter, tvb(12, 4))
    if target == 1 or target == 2 then
      tree:add(f.load_address, param - (param % 0x10000)):set_generated()
    end
    info = info .. string.format(": target %d (%s), parameter 0x%X", target, targets[target] or "unknown", param)
    if used[pinfo.number] then info = info .. string.format(", %d bytes", used[pinfo.number]) end
  elseif cmd == 111 and d >= 8 then
    tree:add_le(f.read_address, tvb(8, 4))
    tree:add_le(f.read_length, tvb(12, 4))
    info = info .. string.format(": 0x%08X, %d bytes", u32(tvb, 8), tvb(12, 4):le_int())
  elseif cmd == 1500 and d >= 4 then
    tree:add_le(f.size, tvb(8, 4))
    info = info .. string.format(": %d bytes", tvb(8, 4):le_int())
  elseif cmd == 1501 and d > 0 then
    tree:add(f.chunk, tvb(8, d))
    info = info .. string.format(": %d bytes", d)
  elseif cmd == 1016 and d >= 4 then
    tree:add_le(f.run_address, tvb(8, 4))
    info = info .. string.format(": at 0x%08X", u32(tvb, 8))
  elseif (cmd == 11 or cmd == 12) and d > 0 then
    local text = text_at(tvb, 8)
    tree:add(f.option, tvb(8, d), text)
    info = info .. ": \"" .. text .. "\""
    rec.name = text
  elseif d > 0 then
    tree:add(f.data, tvb(8, d))
  end
  return info, rec
end

local function dissect_reply(tvb, pinfo, tree, code, d, rec)
  local info = (replies[code] or "unknown") .. " (" .. code .. ")"
  local cmd = rec and rec.cmd
  if cmd then tree:add(f.answers, cmd):set_generated() end
  if code == 1500 and d >= 8 then
    tree:add_le(f.read_total, tvb(8, 4))
    tree:add_le(f.read_chunk_size, tvb(12, 4))
    return info .. string.format(": %d bytes in chunks of %d", tvb(8, 4):le_int(), u32(tvb, 12))
  elseif code == 1501 then
    if d > 0 then tree:add(f.chunk, tvb(8, d)) end
    return info .. string.format(" %d: %d bytes", tvb(4, 2):le_uint(), d)
  end
  if cmd then info = info .. " to " .. (commands[cmd] or tostring(cmd)) end
  if code == 2001 then tree:add_proto_expert_info(e_refused) end
  if code == 2001 and cmd == 110 then
    local err = tvb(4, 2):le_uint()
    info = info .. string.format(": error %d (%s)", err, errors110[err] or "unknown")
  elseif code == 2000 and cmd == 1100 and d > 0 then
    local text = text_at(tvb, 8)
    tree:add(f.version, tvb(8, d), text)
    info = info .. ": \"" .. text .. "\""
  elseif code == 2000 and cmd == 11 and rec.name then
    local at = 8 + #rec.name + 1
    local value = text_at(tvb, at)
    if tvb:len() > at then tree:add(f.option_value, tvb(at), value) end
    info = info .. ": " .. rec.name .. " = \"" .. value .. "\""
  elseif code == 2000 and cmd == 1000 then
    info = info .. ": the new connection"
  elseif d > 0 then
    tree:add(f.data, tvb(8, d))
  end
  return info
end

function quelmark.dissector(tvb, pinfo, root)
  pinfo.cols.protocol = "QUELMARK"
  local n = tvb:len()
  local tree = root:add(quelmark, tvb())
  if n < 8 then
    tree:add_proto_expert_info(e_short)
    pinfo.cols.info = "short packet (" .. n .. " bytes)"
    return n
  end
  local word = tvb(0, 2):le_uint()
  local id = tvb(4, 2):le_uint()
  local seq = tvb(6, 2):le_uint()
  local d = n - 8
  local reply = is_reply(pinfo, word)
  local terminal = reply and tostring(pinfo.src) or tostring(pinfo.dst)
  local host = reply and tostring(pinfo.dst) or tostring(pinfo.src)
  local key = terminal .. "|" .. host .. "|" .. seq

  -- The request a reply answers, fixed on the first pass (sequence numbers
  -- start again with every connect).
  local rec = nil
  if reply then
    if not pinfo.visited and answered[pinfo.number] == nil then answered[pinfo.number] = requests[key] or false end
    rec = answered[pinfo.number] or nil
  else
    terminals[terminal] = true
  end

  tree:add(f.direction, reply and 1 or 0):set_generated()
  tree:add_le(reply and f.reply or f.command, tvb(0, 2))
  local sent, calc = tvb(2, 2):le_uint(), packet_checksum(tvb)
  local item = tree:add_le(f.checksum, tvb(2, 2))
  tree:add(f.checksum_calc, calc):set_generated()
  tree:add(f.checksum_good, sent == calc):set_generated()
  if sent ~= calc then item:add_proto_expert_info(e_bad_checksum) end

  -- Bytes 4 and 5: the connection id, but a chunk index in memory-read chunks
  -- and the error code in a refused 110.
  local id_text = string.format(", conn %d", id)
  if reply and word == 1501 then
    tree:add_le(f.chunk_index, tvb(4, 2))
    id_text = ""
  elseif reply and word == 2001 and rec and rec.cmd == 110 then
    tree:add_le(f.error, tvb(4, 2))
    id_text = ""
  else
    tree:add_le(f.conn_id, tvb(4, 2))
  end
  tree:add_le(f.seq, tvb(6, 2))
  tree:add(f.data_length, d):set_generated()

  local info
  if reply then
    info = "Reply " .. dissect_reply(tvb, pinfo, tree, word, d, rec)
  else
    local req
    info, req = dissect_request(tvb, pinfo, tree, word, d, terminal .. "|" .. host .. "|" .. id)
    if not pinfo.visited then requests[key] = req end
    info = "Request " .. info
  end
  info = string.format("%s%s, seq %d", info, id_text, seq)
  if sent ~= calc then info = info .. " [BAD CHECKSUM]" end
  pinfo.cols.info = info
  return n
end

function quelmark.init()
  terminals = {}
  requests = {}
  answered = {}
  announced = {}
  used = {}
end

DissectorTable.get("udp.port"):add(PORT, quelmark)
