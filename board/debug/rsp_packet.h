// GDB's remote serial protocol below the commands: packets framed as
// `$data#cs` (cs: the sum of the data's characters modulo 256, two hex
// digits), the one-character acknowledgements `+` and `-`, the interrupt
// character 0x03, run-length encoding of replies and the hex and binary
// encodings of their contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Reads the bytes from GDB one at a time and says when a packet or a
// control character is complete. Bytes outside a packet other than `$`,
// `+`, `-` and 0x03 are skipped; a `$` inside a packet starts it over, so a
// torn packet costs only itself. A packet keeps at most `capacity`
// characters: the rest of a longer one is read (and summed) but not kept.
class RspReader {
public:
    enum class Event {
        Packet,      // packet() holds its data, escapes and all, as sent
        BadChecksum, // the sum did not match (or was not two hex digits)
        Overlong,    // checksum good, but longer than the capacity
        Ack,         // `+`
        Nack,        // `-`
        Interrupt,   // 0x03 between packets
    };

    explicit RspReader(std::size_t capacity) : capacity_(capacity) { data_.reserve(capacity); }

    std::optional<Event> feed(char c);
    const std::string &packet() const { return data_; }

private:
    enum class State { Idle, Data, Checksum1, Checksum2 };
    std::optional<Event> between_packets(char c);
    void start();

    std::size_t capacity_;
    State state_ = State::Idle;
    std::string data_;
    std::uint8_t sum_ = 0;
    bool overlong_ = false;
    int sent_sum_ = 0;
};

// `$payload#cs`. With run_length, runs of a character are encoded as GDB
// reads them (`0000000` -> `0*"0`); payloads with binary data must not be.
std::string rsp_frame(std::string_view payload, bool run_length);

// The binary encoding (`X` packets, qXfer replies): `#`, `$`, `}` and `*`
// sent as `}` followed by the byte xor 0x20.
void rsp_escape(std::string_view bytes, std::string &out);
// The reverse; nullopt when the data ends inside an escape.
std::optional<std::string> rsp_unescape(std::string_view data);

// Two lower-case hex digits per byte.
void append_hex(std::string &out, std::string_view bytes);
// A 32-bit value in target byte order (little-endian), eight hex digits.
void append_hex_le32(std::string &out, std::uint32_t value);
// Bytes from pairs of hex digits; nullopt for an odd count or a non-digit.
std::optional<std::string> parse_hex_bytes(std::string_view hex);
// A number in hex, at least one digit, at most 32 bits; nullopt otherwise.
std::optional<std::uint32_t> parse_hex_u32(std::string_view hex);
// Value of one hex digit, -1 for anything else.
int hex_digit(char c);

} // namespace sim
