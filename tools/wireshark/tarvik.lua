-- Wireshark dissector for Tarvik bus captures (tarvik-sniff --pcap, tarvik-plant --capture).
--
-- Install: copy this file into the personal Lua plugin folder
--   ~/.local/lib/wireshark/plugins/        (Wireshark 4: see Help > About > Folders)
-- or load it for one run:
--   wireshark -X lua_script:tools/wireshark/tarvik.lua capture.pcap
--   tshark -X lua_script:tools/wireshark/tarvik.lua -r capture.pcap -V
--
-- Link type: LINKTYPE_USER0 (147, a link type for private use). Every packet
-- starts with an 8-byte pseudo-header, then the bytes of the frame as heard:
--   0  version (1)
--   1  bus: 1 cabinet bus (KESP), 2 module bus (DUVEX)
--   2  kind: 0 frame, 1 noise (bytes that formed no frame), 2 line break (no payload)
--   3  flags: bit 0 check good (as the sniffer found it), bit 1 reply, bit 2 with
--      bit 1: acknowledgement or refusal, bit 3 collided (the source saw two
--      stations at once), bit 4 reduced record layout (modular build), bit 5 the
--      noise span held an STX (a broken frame)
--   4  source port of the capture (hub port; 0xFF unknown)
--   5  reserved (0)
--   6  bytes given up since the previous frame (16 bits, big-endian)
--
-- Cabinet-bus frame: STX, Src, Dest, MainCmd, SubCmd, DataLength (16 bits,
-- big-endian), Data, CRC (16 bits, high byte first, over Src .. last data byte),
-- ETX. Module-bus frame: STX, Src, Dest, MainCmd, SubCmd, length (2 nibble
-- characters 0x30 + v), Data, check code (4 nibble characters: a byte sum for GI,
-- the CRC otherwise), ETX. A QT message of the cabinet bus carries a whole
-- module-bus frame (a reply: after a 4-byte time stamp), decoded as a subtree.
-- The check codes are computed again here, independently of the sniffer.

local bit = bit32 or bit

local p_tvk = Proto("tarvik", "Tarvik bus capture")
local p_kesp = Proto("kesp", "Tarvik cabinet bus (KESP)")
local p_duvex = Proto("duvex", "Tarvik module bus (DUVEX)")

local buses = { [1] = "cabinet bus (KESP)", [2] = "module bus (DUVEX)" }
local kinds = { [0] = "frame", [1] = "noise", [2] = "line break" }

local f = {
  version = ProtoField.uint8("tarvik.version", "Version"),
  bus = ProtoField.uint8("tarvik.bus", "Bus", base.DEC, buses),
  kind = ProtoField.uint8("tarvik.kind", "Kind", base.DEC, kinds),
  flags = ProtoField.uint8("tarvik.flags", "Flags", base.HEX),
  check_ok = ProtoField.bool("tarvik.check_ok", "Check good (sniffer)"),
  reply = ProtoField.bool("tarvik.reply", "Reply"),
  collided = ProtoField.bool("tarvik.collided", "Collided"),
  reduced = ProtoField.bool("tarvik.reduced", "Reduced record layout"),
  broken = ProtoField.bool("tarvik.broken", "Broken frame"),
  port = ProtoField.uint8("tarvik.port", "Source port"),
  skipped = ProtoField.uint16("tarvik.skipped", "Bytes skipped before"),
  noise = ProtoField.bytes("tarvik.noise", "Noise"),
}
p_tvk.fields = { f.version, f.bus, f.kind, f.flags, f.check_ok, f.reply, f.collided, f.reduced, f.broken, f.port,
  f.skipped, f.noise }

local k = {
  src = ProtoField.uint8("kesp.src", "Source", base.HEX),
  dst = ProtoField.uint8("kesp.dst", "Destination", base.HEX),
  cmd = ProtoField.string("kesp.cmd", "Command"),
  len = ProtoField.uint16("kesp.len", "Data length"),
  data = ProtoField.bytes("kesp.data", "Data"),
  crc = ProtoField.uint16("kesp.crc", "CRC", base.HEX),
  crc_calc = ProtoField.uint16("kesp.crc_calc", "CRC computed", base.HEX),
  crc_ok = ProtoField.bool("kesp.crc_ok", "CRC good"),
  role = ProtoField.string("kesp.role", "Role"),
  nak = ProtoField.string("kesp.nak", "Refusal code"),
  ack = ProtoField.uint8("kesp.ack", "Acknowledgement", base.HEX),
  qt_stamp = ProtoField.int32("kesp.qt.stamp", "Relayed reply time stamp"),
  bs_ts = ProtoField.int32("kesp.bs.timestamp", "Cabinet record time stamp"),
  bs_ups_ts = ProtoField.int32("kesp.bs.ups_timestamp", "Ups time stamp"),
  bs_alarm = ProtoField.uint8("kesp.bs.alarm", "Alarm", base.HEX),
  bs_status = ProtoField.uint8("kesp.bs.status", "Status", base.HEX),
  bs_code = ProtoField.uint8("kesp.bs.status_code", "Status code"),
  bs_vin1 = ProtoField.uint16("kesp.bs.vin1", "Vin L1"),
  bs_vbyp1 = ProtoField.uint16("kesp.bs.vbyp1", "Vbyp L1"),
  bs_vout1 = ProtoField.uint16("kesp.bs.vout1", "Vout L1"),
  bs_vout2 = ProtoField.uint16("kesp.bs.vout2", "Vout L2"),
  bs_vout3 = ProtoField.uint16("kesp.bs.vout3", "Vout L3"),
  bs_frq = ProtoField.uint16("kesp.bs.frq_out", "Output frequency (0.1 Hz)"),
  bs_box = ProtoField.uint8("kesp.bs.box_status", "Box status", base.HEX),
  bs_idu = ProtoField.uint8("kesp.bs.idu", "MU index"),
  bn_va = ProtoField.uint32("kesp.bn.va", "Nominal VA"),
  bn_w = ProtoField.uint32("kesp.bn.w", "Nominal W"),
  bi_sn = ProtoField.string("kesp.bi.sn", "SN"),
  bi_model = ProtoField.string("kesp.bi.model", "Model"),
  cn_build = ProtoField.int32("kesp.cn.build", "Build"),
  cn_next = ProtoField.uint8("kesp.cn.next_master", "Next master", base.HEX),
  cn_fob = ProtoField.int8("kesp.cn.forced_on_bypass", "Forced on bypass"),
  cn_tft = ProtoField.uint32("kesp.cn.tft_time", "Averaged clock offset (us)"),
  gi_sn = ProtoField.string("kesp.gi.serial", "Serial number"),
  gi_cfg = ProtoField.string("kesp.gi.ups_config", "UPS config"),
  gi_fw = ProtoField.string("kesp.gi.fw", "Firmware"),
  gi_skcfg = ProtoField.uint16("kesp.gi.skcfg", "Board type"),
}
p_kesp.fields = { k.src, k.dst, k.cmd, k.len, k.data, k.crc, k.crc_calc, k.crc_ok, k.role, k.nak, k.ack, k.qt_stamp,
  k.bs_ts, k.bs_ups_ts, k.bs_alarm, k.bs_status, k.bs_code, k.bs_vin1, k.bs_vbyp1, k.bs_vout1, k.bs_vout2,
  k.bs_vout3, k.bs_frq, k.bs_box, k.bs_idu, k.bn_va, k.bn_w, k.bi_sn, k.bi_model, k.cn_build, k.cn_next, k.cn_fob,
  k.cn_tft, k.gi_sn, k.gi_cfg, k.gi_fw, k.gi_skcfg }

local d = {
  src = ProtoField.string("duvex.src", "Source"),
  dst = ProtoField.string("duvex.dst", "Destination"),
  cmd = ProtoField.string("duvex.cmd", "Command"),
  len = ProtoField.uint8("duvex.len", "Data length"),
  data = ProtoField.bytes("duvex.data", "Data"),
  check = ProtoField.uint16("duvex.check", "Check code", base.HEX),
  check_calc = ProtoField.uint16("duvex.check_calc", "Check code computed", base.HEX),
  check_ok = ProtoField.bool("duvex.check_ok", "Check code good"),
  role = ProtoField.string("duvex.role", "Role"),
  nak = ProtoField.string("duvex.nak", "Refusal code"),
  gi_sn = ProtoField.string("duvex.gi.sn", "SN"),
  gi_model = ProtoField.string("duvex.gi.model", "Model"),
  gi_swver = ProtoField.string("duvex.gi.swver", "SWVer"),
  gn_va = ProtoField.uint32("duvex.gn.va", "Nominal VA"),
  gn_w = ProtoField.uint32("duvex.gn.w", "Nominal W"),
  gn_vout = ProtoField.uint32("duvex.gn.vout", "Nominal Vout"),
  gn_freq = ProtoField.uint32("duvex.gn.freq_out", "Nominal output frequency (0.1 Hz)"),
}
p_duvex.fields = { d.src, d.dst, d.cmd, d.len, d.data, d.check, d.check_calc, d.check_ok, d.role, d.nak, d.gi_sn,
  d.gi_model, d.gi_swver, d.gn_va, d.gn_w, d.gn_vout, d.gn_freq }

local e_check = ProtoExpert.new("tarvik.bad_check", "Check code does not match", expert.group.CHECKSUM,
  expert.severity.WARN)
local e_short = ProtoExpert.new("tarvik.short", "Frame shorter than its length field", expert.group.MALFORMED,
  expert.severity.ERROR)
local e_collided = ProtoExpert.new("tarvik.collision", "Two stations at once", expert.group.SEQUENCE,
  expert.severity.WARN)
p_tvk.experts = { e_check, e_short, e_collided }

-- CRC-16 of both buses: reflected polynomial 0x8408, initial value 0x554D, no final XOR.
local crc_table = {}
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if bit.band(c, 1) == 1 then c = bit.bxor(bit.rshift(c, 1), 0x8408) else c = bit.rshift(c, 1) end
  end
  crc_table[i] = c
end

local function crc(tvb, off, n)
  local r = 0x554D
  for i = off, off + n - 1 do
    r = bit.bxor(crc_table[bit.band(bit.bxor(tvb(i, 1):uint(), r), 0xFF)], bit.rshift(r, 8))
  end
  return r
end

local function text(tvb, off, n)
  local s = tvb(off, n):string()
  s = s:gsub("%z.*", ""):gsub("%s+$", "")
  return s
end

local function nibbles(tvb, off, n)
  local v = 0
  for i = off, off + n - 1 do v = v * 16 + bit.band(tvb(i, 1):uint() - 0x30, 0xFF) end
  return v
end

local function cmd_text(m, s)
  if m == 0x15 then return "NAK" .. string.char(s) end
  local function ch(c) if c > 0x20 and c < 0x7F then return string.char(c) end return string.format("\\x%02X", c) end
  return ch(m) .. ch(s)
end

local function duvex_addr(a)
  if a > 0x20 and a < 0x7F then return string.char(a) end
  return string.format("%02X", a)
end

local function duvex_role(src, m, len)
  if m == 0x15 then return "refusal" end
  if src >= 0x31 and src <= 0x38 then if len == 0 then return "ack" end return "reply" end
  return "query"
end

-- A module-bus frame at tvb(0 .. n-1). Returns a short text for the info column.
local function dissect_duvex(tvb, pinfo, tree)
  local n = tvb:len()
  local t = tree:add(p_duvex, tvb(0, n))
  if n < 12 then
    t:add_proto_expert_info(e_short)
    return "short module-bus frame"
  end
  local src, dst, m, s = tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(3, 1):uint(), tvb(4, 1):uint()
  local len = nibbles(tvb, 5, 2)
  t:add(d.src, tvb(1, 1), duvex_addr(src))
  t:add(d.dst, tvb(2, 1), duvex_addr(dst))
  t:add(d.cmd, tvb(3, 2), cmd_text(m, s))
  t:add(d.len, tvb(5, 2), len)
  local role = duvex_role(src, m, len)
  t:add(d.role, role)
  if n < len + 12 then
    t:add_proto_expert_info(e_short)
    return cmd_text(m, s) .. " truncated"
  end
  if len > 0 then t:add(d.data, tvb(7, len)) end
  local calc
  if m == 0x47 and s == 0x49 then
    calc = 0
    for i = 1, 6 + len do calc = (calc + tvb(i, 1):uint()) % 65536 end
  else
    calc = crc(tvb, 1, 6 + len)
  end
  local got = nibbles(tvb, 7 + len, 4)
  t:add(d.check, tvb(7 + len, 4), got)
  t:add(d.check_calc, calc)
  local ci = t:add(d.check_ok, calc == got)
  if calc ~= got then ci:add_proto_expert_info(e_check) end
  if m == 0x15 then
    t:add(d.nak, tvb(4, 1), string.char(s))
  elseif role == "reply" and m == 0x47 and s == 0x49 and len >= 56 then
    t:add(d.gi_sn, tvb(7, 16), text(tvb, 7, 16))
    t:add(d.gi_model, tvb(23, 16), text(tvb, 23, 16))
    t:add(d.gi_swver, tvb(39, 12), text(tvb, 39, 12))
  elseif role == "reply" and m == 0x47 and s == 0x4E and len >= 22 then
    t:add(d.gn_va, tvb(7, 5), nibbles(tvb, 7, 5))
    t:add(d.gn_w, tvb(12, 5), nibbles(tvb, 12, 5))
    t:add(d.gn_vout, tvb(23, 3), nibbles(tvb, 23, 3))
    t:add(d.gn_freq, tvb(26, 3), nibbles(tvb, 26, 3))
  end
  local info = string.format("%s->%s %s %s len %d", duvex_addr(src), duvex_addr(dst), cmd_text(m, s), role, len)
  if calc ~= got then info = info .. " BAD CHECK" end
  t:append_text(", " .. info)
  return info
end

-- Byte offsets of the cabinet record inside BS (full layout; reduced layout of the modular build).
local bs_full = { code = 22, vin = 82, vbyp = 108, vout = 122, frq = 128, box = 289 }
local bs_reduced = { vin = 75, vbyp = 101, vout = 115, frq = 121, box = 263 }

local function dissect_kesp(tvb, pinfo, tree, flags)
  local n = tvb:len()
  local t = tree:add(p_kesp, tvb(0, n))
  if n < 10 then
    t:add_proto_expert_info(e_short)
    return "short cabinet-bus frame"
  end
  local src, dst, m, s = tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(3, 1):uint(), tvb(4, 1):uint()
  local len = tvb(5, 2):uint()
  t:add(k.src, tvb(1, 1))
  t:add(k.dst, tvb(2, 1))
  t:add(k.cmd, tvb(3, 2), cmd_text(m, s))
  t:add(k.len, tvb(5, 2))
  local reply = bit.band(flags, 0x02) ~= 0
  local role = "query"
  if reply then
    role = "reply"
    if bit.band(flags, 0x04) ~= 0 then if m == 0x15 then role = "refusal" else role = "ack" end end
  end
  t:add(k.role, role)
  if n < len + 10 then
    t:add_proto_expert_info(e_short)
    return cmd_text(m, s) .. " truncated"
  end
  if len > 0 then t:add(k.data, tvb(7, len)) end
  local calc = crc(tvb, 1, 6 + len)
  local got = tvb(7 + len, 2):uint()
  t:add(k.crc, tvb(7 + len, 2))
  t:add(k.crc_calc, calc)
  local ci = t:add(k.crc_ok, calc == got)
  if calc ~= got then ci:add_proto_expert_info(e_check) end

  local info = string.format("%02X->%02X %s %s len %d", src, dst, cmd_text(m, s), role, len)
  local dd = 7   -- first data byte
  if m == 0x15 then
    t:add(k.nak, tvb(4, 1), string.char(s))
  elseif role == "ack" then
    t:add(k.ack, tvb(dd, 1))
  elseif m == 0x42 and s == 0x53 and reply and len == 332 then   -- BS
    local o = bs_full
    if bit.band(flags, 0x10) ~= 0 then o = bs_reduced end
    t:add_le(k.bs_ts, tvb(dd, 4))
    t:add_le(k.bs_ups_ts, tvb(dd + 4, 4))
    t:add(k.bs_alarm, tvb(dd + 8, 1))
    t:add(k.bs_status, tvb(dd + 9, 1))
    if o.code then t:add(k.bs_code, tvb(dd + o.code, 1)) end
    t:add_le(k.bs_vin1, tvb(dd + o.vin, 2))
    t:add_le(k.bs_vbyp1, tvb(dd + o.vbyp, 2))
    t:add_le(k.bs_vout1, tvb(dd + o.vout, 2))
    t:add_le(k.bs_vout2, tvb(dd + o.vout + 2, 2))
    t:add_le(k.bs_vout3, tvb(dd + o.vout + 4, 2))
    t:add_le(k.bs_frq, tvb(dd + o.frq, 2))
    t:add(k.bs_box, tvb(dd + o.box, 1))
    t:add(k.bs_idu, tvb(dd + 331, 1))
  elseif m == 0x42 and s == 0x4E and reply and len == 20 then   -- BN
    t:add_le(k.bn_va, tvb(dd + 4, 4))
    t:add_le(k.bn_w, tvb(dd + 8, 4))
  elseif m == 0x42 and s == 0x49 and reply and len == 98 then   -- BI
    t:add(k.bi_sn, tvb(dd + 4, 17), text(tvb, dd + 4, 17))
    t:add(k.bi_model, tvb(dd + 21, 17), text(tvb, dd + 21, 17))
  elseif m == 0x43 and s == 0x4E and len == 93 then   -- CN
    t:add_le(k.cn_build, tvb(dd, 4))
    t:add(k.cn_next, tvb(dd + 4, 1))
    local fob = bit.band(tvb(dd + 5, 4):le_uint(), 3)
    if fob >= 2 then fob = fob - 4 end
    t:add(k.cn_fob, tvb(dd + 5, 4), fob)
    t:add_le(k.cn_tft, tvb(dd + 89, 4))
    info = info .. string.format(" next master %02X", tvb(dd + 4, 1):uint())
  elseif m == 0x47 and s == 0x49 and reply and len == 64 then   -- GI of an MU board
    t:add(k.gi_sn, tvb(dd, 16), text(tvb, dd, 16))
    t:add(k.gi_cfg, tvb(dd + 16, 16), text(tvb, dd + 16, 16))
    t:add(k.gi_fw, tvb(dd + 32, 12), text(tvb, dd + 32, 12))
    t:add(k.gi_skcfg, tvb(dd + 46, 2))
  elseif m == 0x51 and s == 0x54 then   -- QT: a module-bus frame inside
    local off, inner = dd, len
    if reply and len >= 4 then
      t:add_le(k.qt_stamp, tvb(dd, 4))
      off, inner = dd + 4, len - 4
    end
    if inner > 0 then
      info = info .. " [" .. dissect_duvex(tvb(off, inner):tvb(), pinfo, t) .. "]"
    end
  end
  if calc ~= got then info = info .. " BAD CRC" end
  t:append_text(", " .. info)
  return info
end

function p_tvk.dissector(tvb, pinfo, tree)
  if tvb:len() < 8 then return 0 end
  pinfo.cols.protocol = "TARVIK"
  local h = tree:add(p_tvk, tvb(0, 8))
  local bus, kind, flags = tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(3, 1):uint()
  h:add(f.version, tvb(0, 1))
  h:add(f.bus, tvb(1, 1))
  h:add(f.kind, tvb(2, 1))
  local fl = h:add(f.flags, tvb(3, 1))
  fl:add(f.check_ok, tvb(3, 1), bit.band(flags, 0x01) ~= 0)
  fl:add(f.reply, tvb(3, 1), bit.band(flags, 0x02) ~= 0)
  fl:add(f.collided, tvb(3, 1), bit.band(flags, 0x08) ~= 0)
  fl:add(f.reduced, tvb(3, 1), bit.band(flags, 0x10) ~= 0)
  fl:add(f.broken, tvb(3, 1), bit.band(flags, 0x20) ~= 0)
  h:add(f.port, tvb(4, 1))
  h:add(f.skipped, tvb(6, 2))
  if bit.band(flags, 0x08) ~= 0 then h:add_proto_expert_info(e_collided) end
  local rest = tvb:len() - 8
  if kind == 2 then
    pinfo.cols.info = "line break"
    return tvb:len()
  end
  if kind == 1 or rest == 0 then
    if rest > 0 then h:add(f.noise, tvb(8, rest)) end
    pinfo.cols.info = string.format("noise, %d bytes%s", rest, bit.band(flags, 0x20) ~= 0 and " (broken frame)" or "")
    return tvb:len()
  end
  local payload = tvb(8, rest):tvb()
  local info
  if bus == 1 then
    pinfo.cols.protocol = "KESP"
    info = dissect_kesp(payload, pinfo, tree, flags)
  else
    pinfo.cols.protocol = "DUVEX"
    info = dissect_duvex(payload, pinfo, tree)
  end
  pinfo.cols.info = info
  return tvb:len()
end

local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER0, p_tvk)
