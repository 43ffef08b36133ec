#include "board/debug/gdb_stub.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "board/debug/armv6m_target_xml.h"

namespace sim {

namespace {

constexpr std::string_view kBadArgument = "E16";
constexpr std::string_view kBadMemory = "E0E";
constexpr std::string_view kNoComparator = "E1C";
constexpr std::string_view kTooLong = "E5A";
constexpr std::string_view kBadAnnex = "E00";

// Signals of stop replies, as GDB numbers them.
constexpr unsigned kSigInt = 2;
constexpr unsigned kSigTrap = 5;
constexpr unsigned kSigSegv = 11;

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

void append_hex_number(std::string &out, std::uint32_t value)
{
    constexpr char kDigits[] = "0123456789abcdef";
    int shift = 28;
    while (shift > 0 && (value >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

std::string hex_byte(unsigned value)
{
    std::string out;
    append_hex(out, std::string(1, static_cast<char>(value & 0xFF)));
    return out;
}

// "ADDR,LENGTH" (both hex).
bool parse_address_length(std::string_view args, std::uint32_t &address, std::uint32_t &length)
{
    const std::size_t comma = args.find(',');
    if (comma == std::string_view::npos) return false;
    const auto a = parse_hex_u32(args.substr(0, comma));
    const auto n = parse_hex_u32(args.substr(comma + 1));
    if (!a || !n) return false;
    address = *a;
    length = *n;
    return true;
}

// A thread id that names ours: 1, any (0) or all (-1), alone or as pP.T.
bool names_our_thread(std::string_view id)
{
    if (starts_with(id, "p")) id.remove_prefix(1);
    while (!id.empty()) {
        const std::size_t dot = id.find('.');
        const std::string_view part = id.substr(0, dot);
        if (part != "1" && part != "0" && part != "-1") return false;
        if (dot == std::string_view::npos) return true;
        id.remove_prefix(dot + 1);
    }
    return false;
}

std::uint32_t little_endian32(std::string_view bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return value;
}

// The words of a monitor command, one space between each.
std::string normalise_command(std::string_view text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
        std::size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '\n') ++end;
        if (end > i) {
            if (!out.empty()) out += ' ';
            out.append(text.substr(i, end - i));
        }
        i = end;
    }
    return out;
}

} // namespace

void GdbStub::receive(std::string_view bytes)
{
    for (const char c : bytes) {
        if (finished_) return;
        if (const auto event = reader_.feed(c)) on_event(*event);
    }
}

std::string GdbStub::take_output()
{
    std::string out;
    out.swap(output_);
    return out;
}

void GdbStub::report_stop(const StopEvent &stop)
{
    if (!running_ || finished_) return;
    running_ = false;
    last_stop_ = stop;
    send(stop_reply(last_stop_));
}

void GdbStub::on_event(RspReader::Event event)
{
    switch (event) {
    case RspReader::Event::Packet:
    case RspReader::Event::Overlong:
        if (ack_mode_) output_ += '+';
        // GDB sends a command only once it has read the whole answer to the
        // one before: whatever of that is still unacknowledged arrived.
        unacked_.clear();
        if (running_) return; // all-stop: nothing but Ctrl-C while it runs
        if (event == RspReader::Event::Overlong)
            send(kTooLong);
        else
            on_packet(reader_.packet());
        return;
    case RspReader::Event::BadChecksum:
        if (ack_mode_) output_ += '-';
        return;
    case RspReader::Event::Ack:
        if (unacked_.empty()) return;
        unacked_.pop_front();
        if (!unacked_.empty()) output_ += unacked_.front();
        return;
    case RspReader::Event::Nack:
        if (!unacked_.empty()) output_ += unacked_.front();
        return;
    case RspReader::Event::Interrupt:
        if (running_) target_.interrupt();
        return;
    }
}

void GdbStub::on_packet(std::string_view packet)
{
    if (packet.empty()) return send("");
    if (answer_register_or_memory(packet) || answer_run_control(packet)) return;
    switch (packet[0]) {
    case 'q':
        return answer_query(packet);
    case 'Q':
        if (packet == "QStartNoAckMode") {
            send("OK"); // still acknowledged; nothing after it is
            ack_mode_ = false;
            return;
        }
        return send("");
    case 'v':
        return answer_v_packet(packet);
    case 'H':
        return send(packet.size() > 1 && names_our_thread(packet.substr(2)) ? "OK" : kBadArgument);
    case 'T':
        return send(names_our_thread(packet.substr(1)) ? "OK" : kBadArgument);
    default:
        return send("");
    }
}

bool GdbStub::answer_register_or_memory(std::string_view packet)
{
    const std::string_view args = packet.substr(1);
    switch (packet[0]) {
    case 'g': {
        std::string hex;
        for (const std::uint32_t value : target_.read_registers()) append_hex_le32(hex, value);
        send(hex);
        return true;
    }
    case 'G':
        write_all_registers(args);
        return true;
    case 'p':
        read_register(args);
        return true;
    case 'P':
        write_register(args);
        return true;
    case 'm':
        read_memory(args);
        return true;
    case 'M':
    case 'X':
        write_memory(args, packet[0] == 'X');
        return true;
    case 'Z':
    case 'z':
        breakpoint(packet);
        return true;
    default:
        return false;
    }
}

bool GdbStub::answer_run_control(std::string_view packet)
{
    const std::string_view args = packet.substr(1);
    switch (packet[0]) {
    case '?':
        send(stop_reply(last_stop_));
        return true;
    case 'c':
    case 's':
        resume(packet[0] == 's' ? ResumeMode::Step : ResumeMode::Continue, args);
        return true;
    case 'C':
    case 'S': {
        // With a signal to deliver, which a bare core has no use for.
        const std::size_t semicolon = args.find(';');
        const std::string_view address = semicolon == std::string_view::npos ? "" : args.substr(semicolon + 1);
        resume(packet[0] == 'S' ? ResumeMode::Step : ResumeMode::Continue, address);
        return true;
    }
    case 'D':
        send("OK");
        target_.detach();
        finished_ = true;
        return true;
    case 'k':
        target_.kill();
        finished_ = true;
        return true;
    default:
        return false;
    }
}

void GdbStub::answer_query(std::string_view packet)
{
    if (starts_with(packet, "qSupported")) return supported(packet.substr(std::string_view("qSupported").size()));
    if (starts_with(packet, "qXfer:features:read:")) return read_features(packet.substr(20));
    if (starts_with(packet, "qRcmd,")) return monitor(packet.substr(6));
    if (starts_with(packet, "qAttached")) return send("1"); // detaching leaves it running
    if (packet == "qC") return send("QC1");
    if (packet == "qfThreadInfo") return send("m1");
    if (packet == "qsThreadInfo") return send("l");
    if (starts_with(packet, "qSymbol:")) return send("OK"); // no symbols wanted
    send("");
}

void GdbStub::answer_v_packet(std::string_view packet)
{
    if (packet == "vCont?") return send("vCont;c;C;s;S");
    if (starts_with(packet, "vCont;")) return resume_vcont(packet.substr(6));
    send("");
}

void GdbStub::read_register(std::string_view args)
{
    const auto n = parse_hex_u32(args);
    if (!n || *n >= static_cast<std::uint32_t>(debug_reg::kCount)) return send(kBadArgument);
    std::string hex;
    append_hex_le32(hex, target_.read_register(static_cast<int>(*n)));
    send(hex);
}

void GdbStub::write_register(std::string_view args)
{
    const std::size_t equals = args.find('=');
    if (equals == std::string_view::npos) return send(kBadArgument);
    const auto n = parse_hex_u32(args.substr(0, equals));
    const auto bytes = parse_hex_bytes(args.substr(equals + 1));
    if (!n || *n >= static_cast<std::uint32_t>(debug_reg::kCount) || !bytes || bytes->size() != 4)
        return send(kBadArgument);
    send(target_.write_register(static_cast<int>(*n), little_endian32(*bytes)) ? "OK" : kBadArgument);
}

void GdbStub::write_all_registers(std::string_view hex)
{
    const auto bytes = parse_hex_bytes(hex);
    if (!bytes || bytes->size() != 4 * static_cast<std::size_t>(debug_reg::kCount)) return send(kBadArgument);
    DebugRegisters values{};
    for (std::size_t n = 0; n < values.size(); ++n) values[n] = little_endian32(std::string_view(*bytes).substr(4 * n));
    send(target_.write_registers(values) ? "OK" : kBadArgument);
}

void GdbStub::read_memory(std::string_view args)
{
    std::uint32_t address = 0, length = 0;
    if (!parse_address_length(args, address, length)) return send(kBadArgument);
    // No more than fits in one reply, and nothing past the top of the map.
    std::size_t size = std::min<std::size_t>(length, kPacketSize / 2);
    size = std::min<std::size_t>(size, 0x100000000ull - address);
    if (size == 0) return send("");
    std::vector<std::uint8_t> bytes(size);
    const std::size_t got = std::min(target_.read_memory(address, bytes.data(), size), size);
    if (got == 0) return send(kBadMemory);
    std::string hex;
    hex.reserve(2 * got);
    append_hex(hex, std::string_view(reinterpret_cast<const char *>(bytes.data()), got));
    send(hex);
}

void GdbStub::write_memory(std::string_view args, bool binary)
{
    const std::size_t colon = args.find(':');
    std::uint32_t address = 0, length = 0;
    if (colon == std::string_view::npos || !parse_address_length(args.substr(0, colon), address, length))
        return send(kBadArgument);
    const std::string_view data = args.substr(colon + 1);
    const auto bytes = binary ? rsp_unescape(data) : parse_hex_bytes(data);
    if (!bytes || bytes->size() != length) return send(kBadArgument);
    if (length == 0) return send("OK"); // GDB's probe for X
    if (length - 1 > 0xFFFFFFFFu - address) return send(kBadMemory);
    const auto *raw = reinterpret_cast<const std::uint8_t *>(bytes->data());
    send(target_.write_memory(address, raw, bytes->size()) ? "OK" : kBadMemory);
}

void GdbStub::breakpoint(std::string_view packet)
{
    // Zt,ADDR,KIND and zt,ADDR,KIND, perhaps with ;conditions (not asked for).
    const bool insert = packet[0] == 'Z';
    std::string_view args = packet.substr(1);
    args = args.substr(0, args.find(';'));
    const std::size_t comma = args.find(',');
    std::uint32_t address = 0, kind = 0;
    if (comma != 1 || !parse_address_length(args.substr(2), address, kind)) return send(kBadArgument);
    bool placed = false;
    switch (args[0]) {
    case '0':
    case '1': {
        const BreakpointType type = args[0] == '0' ? BreakpointType::Software : BreakpointType::Hardware;
        placed = insert ? target_.add_breakpoint(type, address, kind) : target_.remove_breakpoint(type, address, kind);
        break;
    }
    case '2':
    case '3':
    case '4': {
        const WatchType type = args[0] == '2' ? WatchType::Write : args[0] == '3' ? WatchType::Read : WatchType::Access;
        if (kind == 0) return send(kBadArgument);
        placed = insert ? target_.add_watchpoint(type, address, kind) : target_.remove_watchpoint(type, address, kind);
        break;
    }
    default:
        return send(""); // a kind of point this stub does not know
    }
    if (placed) return send("OK");
    send(insert ? kNoComparator : kBadArgument); // no room, or nothing there to remove
}

void GdbStub::resume(ResumeMode mode, std::string_view address)
{
    if (!address.empty()) {
        const auto pc = parse_hex_u32(address);
        if (!pc || !target_.write_register(debug_reg::kPc, *pc)) return send(kBadArgument);
    }
    running_ = true;
    target_.resume(mode);
}

void GdbStub::resume_vcont(std::string_view actions)
{
    // ACTION[:THREAD] separated by `;`; the first that applies to our one
    // thread is what it does.
    while (!actions.empty()) {
        const std::string_view action = actions.substr(0, actions.find(';'));
        actions.remove_prefix(std::min(actions.size(), action.size() + 1));
        const std::size_t colon = action.find(':');
        if (colon != std::string_view::npos && !names_our_thread(action.substr(colon + 1))) continue;
        const std::string_view verb = action.substr(0, colon);
        if (verb == "c" || (verb.size() == 3 && verb[0] == 'C')) return resume(ResumeMode::Continue, "");
        if (verb == "s" || (verb.size() == 3 && verb[0] == 'S')) return resume(ResumeMode::Step, "");
        return send(kBadArgument);
    }
    send(kBadArgument);
}

void GdbStub::supported(std::string_view features)
{
    // ":feature;feature..." from GDB: which stop reasons it understands.
    if (starts_with(features, ":")) features.remove_prefix(1);
    swbreak_ = hwbreak_ = false;
    while (!features.empty()) {
        const std::string_view feature = features.substr(0, features.find(';'));
        features.remove_prefix(std::min(features.size(), feature.size() + 1));
        if (feature == "swbreak+") swbreak_ = true;
        if (feature == "hwbreak+") hwbreak_ = true;
    }
    std::string reply = "PacketSize=";
    append_hex_number(reply, kPacketSize);
    // vContSupported+: GDB then steps with the s action of vCont, rather
    // than by breakpoints of its own at the next instruction (which it
    // cannot place at an exception return's EXC_RETURN value).
    reply += ";qXfer:features:read+;QStartNoAckMode+;vContSupported+";
    if (swbreak_) reply += ";swbreak+";
    if (hwbreak_) reply += ";hwbreak+";
    send(reply);
}

void GdbStub::read_features(std::string_view args)
{
    // ANNEX:OFFSET,LENGTH; the reply is `m` and a part, or `l` and the last.
    const std::size_t colon = args.find(':');
    std::uint32_t offset = 0, length = 0;
    if (colon == std::string_view::npos || !parse_address_length(args.substr(colon + 1), offset, length))
        return send(kBadArgument);
    if (args.substr(0, colon) != "target.xml") return send(kBadAnnex);
    const std::string_view xml = kArmv6mTargetXml;
    std::string reply = "m";
    // Escaped, each byte may take two characters.
    const std::size_t room = std::min<std::size_t>(length, kPacketSize - 1) / 2;
    const std::string_view part = offset < xml.size() ? xml.substr(offset, room) : std::string_view();
    rsp_escape(part, reply);
    if (offset >= xml.size() || offset + part.size() == xml.size()) reply[0] = 'l';
    send(reply, true);
}

void GdbStub::monitor(std::string_view hex)
{
    const auto text = parse_hex_bytes(hex);
    if (!text) return send(kBadArgument);
    const std::string command = normalise_command(*text);
    if (command == "reset" || command == "reset halt") {
        const bool halt = command == "reset halt";
        target_.reset(halt ? ResetMode::Halt : ResetMode::Run);
        console_output(halt ? "Reset; halted at the reset vector.\n" : "Reset.\n");
        return send("OK");
    }
    const MonitorReply reply = target_.monitor(command.empty() ? "help" : command);
    console_output(reply.text);
    send(reply.ok ? "OK" : kBadArgument);
}

void GdbStub::console_output(std::string_view text)
{
    // `O` packets of hex text, each within a packet's size.
    constexpr std::size_t kChunk = (kPacketSize - 1) / 2;
    for (std::size_t at = 0; at < text.size(); at += kChunk) {
        std::string packet = "O";
        append_hex(packet, text.substr(at, kChunk));
        send(packet);
    }
}

std::string GdbStub::stop_reply(const std::optional<StopEvent> &stop)
{
    using Kind = StopEvent::Kind;
    if (stop && stop->kind == Kind::Exited) return "W" + hex_byte(static_cast<unsigned>(stop->exit_code));
    unsigned signal = kSigTrap;
    std::string reason;
    if (stop) {
        switch (stop->kind) {
        case Kind::SoftwareBreakpoint:
            if (swbreak_) reason = "swbreak:;";
            break;
        case Kind::HardwareBreakpoint:
            if (hwbreak_) reason = "hwbreak:;";
            break;
        case Kind::Watchpoint:
            reason = stop->watch == WatchType::Write ? "watch:"
                : stop->watch == WatchType::Read     ? "rwatch:"
                                                     : "awatch:";
            append_hex_number(reason, stop->data_address);
            reason += ';';
            break;
        case Kind::Interrupted:
            signal = kSigInt;
            break;
        case Kind::LockedUp:
            signal = kSigSegv;
            break;
        case Kind::StepDone:
        case Kind::Exited:
            break;
        }
    }
    std::string reply = "T" + hex_byte(signal) + reason;
    for (const int n : {debug_reg::kSp, debug_reg::kPc}) {
        reply += hex_byte(static_cast<unsigned>(n)) + ':';
        append_hex_le32(reply, target_.read_register(n));
        reply += ';';
    }
    return reply + "thread:1;";
}

void GdbStub::send(std::string_view payload, bool binary)
{
    std::string framed = rsp_frame(payload, options_.run_length && !binary);
    if (!ack_mode_) {
        output_ += framed;
        return;
    }
    unacked_.push_back(std::move(framed));
    if (unacked_.size() == 1) output_ += unacked_.front();
}

} // namespace sim
