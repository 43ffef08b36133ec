// Sweeps on a board in the test's own process, sent as snt sends them: one
// `f START`, then `r STEP POINTS` for a linear plan, or one `r STEP 1` a
// point stepping on to the next for a log plan. No GoogleTest here: the
// benchmarks use it too.
#pragma once

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/analysis/sweep.h"

namespace snt_test {

class BoardSweeper {
public:
    // A booted board; the sweeper takes what it transmits.
    explicit BoardSweeper(sim::Board &board) : board_(board)
    {
        board.usart().set_tx_sink([this](std::uint8_t b) {
            text_.push_back(static_cast<char>(b));
            lines_ += b == '\r';
        });
    }

    std::vector<std::optional<double>> sweep(const snt::SweepPlan &plan)
    {
        command("f " + std::to_string(plan.start), 0);
        if (!plan.log)
            return parse(command("r " + std::to_string(plan.step) + " " + std::to_string(plan.points), plan.points));
        std::string replies;
        for (std::uint32_t i = 0; i < plan.points; ++i) {
            const std::uint32_t step = i + 1 < plan.points ? plan.frequency(i + 1) - plan.frequency(i) : 1;
            replies += command("r " + std::to_string(step) + " 1", 1);
        }
        return parse(replies);
    }

private:
    // Sends a line and runs until `lines` replies are in and the firmware is
    // idle; std::runtime_error when they do not come within 100 ms a line.
    std::string command(const std::string &line, std::uint32_t lines)
    {
        text_.clear();
        lines_ = 0;
        const std::string bytes = line + "\r";
        board_.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
        const sim::Cycles arrival = board_.usart().host_send_done_at();
        const sim::Cycles limit = sim::kCoreHz / 5 + sim::kCoreHz / 10 * lines;
        board_.run_until([&] { return board_.now() >= arrival; }, limit);
        if (!board_.run_until([&] { return lines_ >= lines && board_.firmware_idle(); }, limit,
                              sim::Board::DoneReads::BoardState)) {
            throw std::runtime_error("no reply to " + line);
        }
        return text_;
    }

    static std::vector<std::optional<double>> parse(const std::string &replies)
    {
        std::vector<std::optional<double>> levels;
        std::string cur;
        for (char c : replies) {
            if (c != '\r') {
                cur += c;
                continue;
            }
            levels.push_back(cur == "*" ? std::nullopt : std::optional<double>(std::strtod(cur.c_str(), nullptr)));
            cur.clear();
        }
        return levels;
    }

    sim::Board &board_;
    std::string text_;
    std::uint32_t lines_ = 0;
};

} // namespace snt_test
