-- cvfmon.lua: Wireshark/tshark dissector for the records that cvfmonUdp
-- forwards to its collector.
--
-- A record is a header followed by the frame the sync port sent or received.
-- Every multi-byte field is big-endian.
--
--   version 0 (18 bytes)            version 1 (20 bytes)
--                                   0  version      1
--                                   1  pad          0
--   0  seq          2               2  seq          2
--   2  stamp secs   8               4  stamp secs   8
--   10 stamp msecs  2               12 stamp msecs  2
--   12 gateway      1               14 gateway      1
--   13 line         1               15 line         1
--   14 direction    1 (1 Tx, 0 Rx)  16 direction    1
--   15 reserved     1               17 reserved     1
--   16 frame length 2               18 frame length 2
--   18 frame                        20 frame
--
-- UDP carries one record per datagram. TCP carries the records back to back
-- with nothing between them; a version 0 stream has no marker, a version 1
-- record always starts with the bytes 1, 0. The monitor sends version 0 on
-- UDP and version 1 on TCP unless told otherwise (-v0, -v1).
--
-- Fields:
--   cvfmon.version   header version (version 1 records only)
--   cvfmon.pad       byte after the version (0)
--   cvfmon.seq       sequence number
--   cvfmon.time      time stamp of the frame, as a date (UTC)
--   cvfmon.secs      time stamp: seconds since 1970-01-01 00:00:00 UTC
--   cvfmon.msecs     time stamp: milliseconds within that second
--   cvfmon.gw        gateway id
--   cvfmon.line      line number
--   cvfmon.dir       direction: 1 Tx (sent by the port), 0 Rx (received)
--   cvfmon.reserved  reserved byte (0)
--   cvfmon.len       frame length
--   cvfmon.frame     the frame bytes (also handed to the link-type dissector)
--
-- Preferences (-o cvfmon.NAME:VALUE):
--   port         UDP and TCP port of the collector (default 5000; 0 = none)
--   udp_version  header version on UDP (0 or 1, default 0)
--   tcp_version  header version on TCP (0 or 1, default 1)
--   heuristic    TRUE (default): a TCP stream on any other port that starts
--                with a plausible version 1 record is decoded too
--   linktype     dissector for the frames: mtp2 (default), lapd, frelay,
--                chdlc, ppp-hdlc, data
--
-- Load it with: tshark -X lua_script:cvfmon.lua ..., or copy it into the
-- personal plugin directory (~/.local/lib/wireshark/plugins/).

local cvfmon = Proto("cvfmon", "Corvane Forwarded Monitor Record")

local HDR_V0 = 18
local HDR_V1 = 20
local MAX_FRAME = 4096 -- the largest frame a port delivers

local directions = { [0] = "Rx", [1] = "Tx" }

local f = cvfmon.fields
f.version  = ProtoField.uint8("cvfmon.version", "Version")
f.pad      = ProtoField.uint8("cvfmon.pad", "Version pad")
f.seq      = ProtoField.uint16("cvfmon.seq", "Sequence number")
f.time     = ProtoField.absolute_time("cvfmon.time", "Time stamp", base.UTC)
f.secs     = ProtoField.uint64("cvfmon.secs", "Seconds")
f.msecs    = ProtoField.uint16("cvfmon.msecs", "Milliseconds")
f.gw       = ProtoField.uint8("cvfmon.gw", "Gateway")
f.line     = ProtoField.uint8("cvfmon.line", "Line")
f.dir      = ProtoField.uint8("cvfmon.dir", "Direction", base.DEC, directions)
f.reserved = ProtoField.uint8("cvfmon.reserved", "Reserved")
f.len      = ProtoField.uint16("cvfmon.len", "Frame length")
f.frame    = ProtoField.bytes("cvfmon.frame", "Frame")

local ef_version = ProtoExpert.new("cvfmon.version.bad", "Not a version 1 record (expected 1, 0)",
    expert.group.MALFORMED, expert.severity.ERROR)
local ef_dir = ProtoExpert.new("cvfmon.dir.bad", "Direction is neither 0 (Rx) nor 1 (Tx)",
    expert.group.MALFORMED, expert.severity.WARN)
local ef_msecs = ProtoExpert.new("cvfmon.msecs.bad", "Milliseconds beyond 999",
    expert.group.MALFORMED, expert.severity.WARN)
local ef_reserved = ProtoExpert.new("cvfmon.reserved.bad", "Reserved byte is not 0",
    expert.group.PROTOCOL, expert.severity.NOTE)
local ef_short = ProtoExpert.new("cvfmon.len.short", "Frame length beyond the end of the datagram",
    expert.group.MALFORMED, expert.severity.ERROR)
local ef_trailing = ProtoExpert.new("cvfmon.trailing", "Bytes after the record",
    expert.group.MALFORMED, expert.severity.WARN)
local ef_header = ProtoExpert.new("cvfmon.header.short", "Datagram shorter than a record header",
    expert.group.MALFORMED, expert.severity.ERROR)
cvfmon.experts = { ef_version, ef_dir, ef_msecs, ef_reserved, ef_short, ef_trailing, ef_header }

-- Link types: the preference's name and Wireshark's dissector, in the order
-- of the preference's values (1, 2, ...); the first is the default.
local links = {
    { "mtp2", "mtp2" }, { "lapd", "lapd" }, { "frelay", "fr" },
    { "chdlc", "chdlc" }, { "ppp-hdlc", "ppp_hdlc" }, { "data", "data" },
}
local link_choices = {}
for i, link in ipairs(links) do
    link_choices[i] = { i, link[1], i }
end
local version_choices = { { 0, "0", 0 }, { 1, "1", 1 } }

local DEFAULT_PORT = 5000
cvfmon.prefs.port = Pref.uint("Port", DEFAULT_PORT,
    "UDP and TCP port the collector listens on (0: none)")
cvfmon.prefs.udp_version = Pref.enum("Header version on UDP", 0,
    "Header version of the records in UDP datagrams (monitor default 0)", version_choices, true)
cvfmon.prefs.tcp_version = Pref.enum("Header version on TCP", 1,
    "Header version of the records on a TCP stream (monitor default with -t: 1)",
    version_choices, true)
cvfmon.prefs.heuristic = Pref.bool("Find version 1 streams on other TCP ports", true,
    "Take a TCP stream on any port that starts with a plausible version 1 record")
cvfmon.prefs.linktype = Pref.enum("Link type", 1,
    "Protocol carried in the forwarded frames", link_choices, false)

local PT_TCP = 2 -- pinfo.port_type of a TCP payload

-- Set while a frame is with its link-type dissector: a protocol in the
-- frame that looks for a dissector by the packet's ports or conversation
-- must not find this one again.
local in_frame = false

local function header_size(version)
    return version == 1 and HDR_V1 or HDR_V0
end

local function hand_off(frame, pinfo, tree)
    local link = links[cvfmon.prefs.linktype]
    local name = link and link[2] or "data"
    local handle = Dissector.get(name)
    pinfo.cols.info:append(" ")
    pinfo.cols.info:fence()
    -- A frame its dissector finds malformed is marked as such there; the
    -- records after it in the segment are still decoded. The exception
    -- skips the restoring of TCP's permission to reassemble, which the
    -- next record may need: kept here.
    local can_desegment = pinfo.can_desegment
    in_frame = true
    pcall(handle.call, handle, frame, pinfo, tree)
    in_frame = false
    pinfo.can_desegment = can_desegment
end

-- Dissects one record at the start of tvb; returns the bytes it used.
-- A datagram (UDP) holds exactly one record.
local function dissect_record(tvb, pinfo, tree, version, datagram)
    local hdr = header_size(version)
    local avail = tvb:len()
    local item = tree:add(cvfmon, tvb(0, math.min(avail, hdr)))
    if avail < hdr then
        item:add_proto_expert_info(ef_header)
        return avail
    end
    local o = 0
    if version == 1 then
        local v = item:add(f.version, tvb(0, 1))
        item:add(f.pad, tvb(1, 1))
        if tvb(0, 1):uint() ~= 1 or tvb(1, 1):uint() ~= 0 then
            v:add_proto_expert_info(ef_version)
        end
        o = 2
    end
    local seq = tvb(o, 2):uint()
    local secs = tvb(o + 2, 8):uint64()
    local msecs = tvb(o + 10, 2):uint()
    local gw = tvb(o + 12, 1):uint()
    local line = tvb(o + 13, 1):uint()
    local dir = tvb(o + 14, 1):uint()
    local len = tvb(o + 16, 2):uint()

    item:add(f.seq, tvb(o, 2))
    local t = item:add(f.time, tvb(o + 2, 10),
        NSTime.new(secs:tonumber() + math.floor(msecs / 1000), (msecs % 1000) * 1000000))
    t:add(f.secs, tvb(o + 2, 8))
    local m = t:add(f.msecs, tvb(o + 10, 2))
    if msecs > 999 then
        m:add_proto_expert_info(ef_msecs)
    end
    item:add(f.gw, tvb(o + 12, 1))
    item:add(f.line, tvb(o + 13, 1))
    local d = item:add(f.dir, tvb(o + 14, 1))
    if dir > 1 then
        d:add_proto_expert_info(ef_dir)
    end
    local r = item:add(f.reserved, tvb(o + 15, 1))
    if tvb(o + 15, 1):uint() ~= 0 then
        r:add_proto_expert_info(ef_reserved)
    end
    local l = item:add(f.len, tvb(o + 16, 2))

    local used = hdr + len
    local frame_bytes = len
    if used > avail then
        -- Only on UDP: TCP hands over whole records.
        l:add_proto_expert_info(ef_short)
        frame_bytes = avail - hdr
        used = avail
    end
    item:set_len(used)
    item:append_text(string.format(", Seq: %d, %s, Gw: %d, Line: %d, Len: %d",
        seq, directions[dir] or tostring(dir), gw, line, len))

    -- One summary per record; several records of one TCP segment line up.
    local summary = string.format("Seq=%d %s Gw=%d Line=%d Len=%d",
        seq, directions[dir] or ("dir " .. dir), gw, line, len)
    local info = tostring(pinfo.cols.info)
    pinfo.cols.protocol:set("CVFMON")
    if info:find("Gw=%d+ Line=%d+ Len=%d+") then
        pinfo.cols.info:append((info:sub(-1) == " " and "| " or " | ") .. summary)
    else
        pinfo.cols.info:set(summary)
    end

    local frame = tvb(hdr, frame_bytes)
    item:add(f.frame, frame)
    if datagram and used < avail then
        item:add_proto_expert_info(ef_trailing)
    end
    if frame_bytes > 0 then
        -- The record's direction is the frame's, as a capture file's
        -- packet flags would give it to the link-type dissector.
        local saved = pinfo.p2p_dir
        if dir == 1 then
            pinfo.p2p_dir = P2P_DIR_SENT
        elseif dir == 0 then
            pinfo.p2p_dir = P2P_DIR_RECV
        end
        hand_off(frame:tvb(), pinfo, tree)
        pinfo.p2p_dir = saved
    end
    return used
end

-- TCP: length of the record at offset, from its header.
local function record_length(version)
    local hdr = header_size(version)
    return function(tvb, pinfo, offset)
        return hdr + tvb(offset + hdr - 2, 2):uint()
    end
end
local record_length_v0 = record_length(0)
local record_length_v1 = record_length(1)

local function dissect_stream(tvb, pinfo, tree, version)
    dissect_tcp_pdus(tvb, tree, header_size(version),
        version == 1 and record_length_v1 or record_length_v0,
        function(pdu, pinfo2, tree2)
            return dissect_record(pdu, pinfo2, tree2, version, false)
        end, true)
    return tvb:len()
end

function cvfmon.dissector(tvb, pinfo, tree)
    if in_frame then
        return 0
    end
    if pinfo.port_type == PT_TCP then
        return dissect_stream(tvb, pinfo, tree, cvfmon.prefs.tcp_version)
    end
    dissect_record(tvb, pinfo, tree, cvfmon.prefs.udp_version, true)
    return tvb:len()
end

-- A TCP stream on another port is taken when it starts with a plausible
-- version 1 record: 1, 0, then sane milliseconds, direction, reserved byte
-- and frame length. Returns "yes", "no", or "more" when the bytes so far
-- fit such a header but do not complete it.
local function v1_header_check(tvb)
    local n = tvb:len()
    if n < 1 or tvb(0, 1):uint() ~= 1
        or (n >= 2 and tvb(1, 1):uint() ~= 0)
        or (n >= 14 and tvb(12, 2):uint() > 999)
        or (n >= 17 and tvb(16, 1):uint() > 1)
        or (n >= 18 and tvb(17, 1):uint() ~= 0)
        or (n >= 20 and tvb(18, 2):uint() > MAX_FRAME) then
        return "no"
    end
    return n >= HDR_V1 and "yes" or "more"
end

local function heuristic_tcp(tvb, pinfo, tree)
    if in_frame or not cvfmon.prefs.heuristic then
        return false
    end
    local verdict = v1_header_check(tvb)
    if verdict == "no" then
        return false
    end
    if verdict == "more" then
        -- A first segment cut inside the header: TCP hands over the rest
        -- with it, and the whole header decides.
        pinfo.desegment_offset = 0
        pinfo.desegment_len = HDR_V1 - tvb:len()
        return true
    end
    -- Every later segment of the stream comes here too: one that starts
    -- inside a record goes to TCP's reassembly of it first.
    dissect_stream(tvb, pinfo, tree, 1)
    return true
end

-- The port preference: follow its changes.
local registered_port = 0
local function register_port(port)
    local udp = DissectorTable.get("udp.port")
    local tcp = DissectorTable.get("tcp.port")
    if registered_port ~= 0 then
        udp:remove(registered_port, cvfmon)
        tcp:remove(registered_port, cvfmon)
    end
    if port ~= 0 then
        udp:add(port, cvfmon)
        tcp:add(port, cvfmon)
    end
    registered_port = port
end

function cvfmon.prefs_changed()
    if cvfmon.prefs.port ~= registered_port then
        register_port(cvfmon.prefs.port)
    end
end

register_port(DEFAULT_PORT)
cvfmon:register_heuristic("tcp", heuristic_tcp)
