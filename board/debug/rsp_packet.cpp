#include "board/debug/rsp_packet.h"

#include <algorithm>

namespace sim {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// A run's repeat count is sent as a character: count + 29, printable, and
// neither `#` nor `$` (6 and 7), up to `~` (97).
constexpr std::size_t kMinRepeat = 3;
constexpr std::size_t kMaxRepeat = 97;

void append_run_length(std::string &out, std::string_view payload)
{
    for (std::size_t i = 0; i < payload.size();) {
        const char c = payload[i];
        std::size_t run = 1;
        while (i + run < payload.size() && payload[i + run] == c) ++run;
        i += run;
        while (run > 0) {
            out += c;
            --run;
            std::size_t repeat = std::min(run, kMaxRepeat);
            if (repeat < kMinRepeat) {
                out.append(repeat, c);
            } else {
                if (repeat == 6 || repeat == 7) repeat = 5;
                out += '*';
                out += static_cast<char>(repeat + 29);
            }
            run -= repeat;
        }
    }
}

bool needs_escape(char c) { return c == '#' || c == '$' || c == '}' || c == '*'; }

} // namespace

std::optional<RspReader::Event> RspReader::feed(char c)
{
    switch (state_) {
    case State::Idle:
        return between_packets(c);
    case State::Data:
        if (c == '#') {
            state_ = State::Checksum1;
        } else if (c == '$') {
            start();
        } else {
            sum_ = static_cast<std::uint8_t>(sum_ + static_cast<unsigned char>(c));
            if (data_.size() < capacity_)
                data_ += c;
            else
                overlong_ = true;
        }
        return std::nullopt;
    case State::Checksum1:
    case State::Checksum2: {
        const int digit = hex_digit(c);
        if (digit < 0) {
            state_ = State::Idle;
            if (c == '$') start();
            return Event::BadChecksum;
        }
        if (state_ == State::Checksum1) {
            sent_sum_ = digit << 4;
            state_ = State::Checksum2;
            return std::nullopt;
        }
        state_ = State::Idle;
        if ((sent_sum_ | digit) != sum_) return Event::BadChecksum;
        return overlong_ ? Event::Overlong : Event::Packet;
    }
    }
    return std::nullopt;
}

std::optional<RspReader::Event> RspReader::between_packets(char c)
{
    switch (c) {
    case '$':
        start();
        return std::nullopt;
    case '+':
        return Event::Ack;
    case '-':
        return Event::Nack;
    case '\x03':
        return Event::Interrupt;
    default:
        return std::nullopt; // noise between packets
    }
}

void RspReader::start()
{
    state_ = State::Data;
    data_.clear();
    sum_ = 0;
    overlong_ = false;
}

std::string rsp_frame(std::string_view payload, bool run_length)
{
    std::string out;
    out.reserve(payload.size() + 4);
    out += '$';
    if (run_length)
        append_run_length(out, payload);
    else
        out.append(payload);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < out.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + static_cast<unsigned char>(out[i]));
    out += '#';
    out += kHexDigits[sum >> 4];
    out += kHexDigits[sum & 0xF];
    return out;
}

void rsp_escape(std::string_view bytes, std::string &out)
{
    for (const char c : bytes) {
        if (needs_escape(c)) {
            out += '}';
            out += static_cast<char>(c ^ 0x20);
        } else {
            out += c;
        }
    }
}

std::optional<std::string> rsp_unescape(std::string_view data)
{
    std::string out;
    out.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '}') {
            out += data[i];
            continue;
        }
        if (++i == data.size()) return std::nullopt;
        out += static_cast<char>(data[i] ^ 0x20);
    }
    return out;
}

void append_hex(std::string &out, std::string_view bytes)
{
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0xF];
    }
}

void append_hex_le32(std::string &out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        const unsigned b = (value >> (8 * i)) & 0xFF;
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0xF];
    }
}

std::optional<std::string> parse_hex_bytes(std::string_view hex)
{
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high << 4 | low);
    }
    return out;
}

std::optional<std::uint32_t> parse_hex_u32(std::string_view hex)
{
    if (hex.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : hex) {
        const int digit = hex_digit(c);
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace sim
