#include "board_power.h"

#include "board.h"
#include "rtc_chip.h"
#include "simtime.h"

namespace sim {

void powerDownBoard() {
    const Board& board = Board::current();
    const int64_t now = chipNow();
    board.updateState([&](BoardState& s) {
        if (!s.power.on) throw BoardError("the board is powered down already");
        for (const ChipConfig& c : board.config().chips) {
            auto it = s.chips.find(c.stateKey());
            if (it == s.chips.end()) continue;
            ChipState& chip = it->second;
            const RtcChipModel& model = chipModel(chip.protocol);
            chip.latch.reset();
            chip.bus = SlaveBusState{};  // the chip's interface resets with the bus's supply
            model.catchUp(chip, crystalOf(board.config(), c), now);
            model.powerDown(chip, now);
        }
        s.power = PowerState{false, now};
        s.registryNotFlushed.clear();  // what the registry held only in RAM is gone
        s.timeZoneNotFlushed.reset();  // with a zone set and not flushed
        s.signalledStarted.clear();
    });
}

void powerUpBoard(std::optional<int64_t> systemClockAtBoot) {
    // A board with virtual clocks keeps its true time across the power cycle: its uptime starts
    // again from the true time reached.
    const int64_t now = boardNow();
    Board::current().updateState([&](BoardState& s) {
        if (s.power.on) throw BoardError("the board is powered on already");
        s.power = PowerState{true, now};
        s.powerOnHost = now;
        s.uptimeNs = 0;
        s.signalledStarted.clear();
        if (systemClockAtBoot) s.systemClock = SystemClockState{*systemClockAtBoot, now};
    });
    timeStartProcess();
}

}  // namespace sim
