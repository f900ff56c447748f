#pragma once

#include <QString>
#include <cstdint>

#include "frame.h"
#include "link/link.h"

namespace meridan {

// Status of a device command: 1 done, -1 failed (the link has reported it already);
// com_end_ answers 0 when the port is not open.
using CommandStatus = std::int16_t;
constexpr CommandStatus StatusDone = 1;
constexpr CommandStatus StatusFailed = -1;
constexpr CommandStatus StatusPortClosed = 0;

// One operation per device command. Each empties ReplyBuffer, writes its frame and completes
// its exchange through "EN" before it returns. A connection must be open (Link::connect_).
class Commands {
  public:
    static constexpr double StorePause = 5.0;  // the device stores before it answers "EN"
    static constexpr double EndPause = 0.5;    // after the end command's "EN"

    explicit Commands(Link& link) : link_(link) {}

    CommandStatus read_text_(std::uint8_t code, QString& text);
    CommandStatus read_serialno_(std::int32_t& value);
    CommandStatus read_polarisation_(std::uint8_t& value, std::uint8_t index);
    CommandStatus read_infreq_(std::int32_t& value, std::uint8_t index);
    CommandStatus read_input_lock_(std::uint8_t& value, std::uint8_t index);
    CommandStatus read_outfreq_(float& value, std::uint8_t index);
    CommandStatus read_output_lock_(std::uint8_t& value, std::uint8_t index);
    CommandStatus read_gain_(std::uint8_t& value, std::uint8_t index);
    CommandStatus read_carrier_(std::uint8_t& value, std::uint8_t index);

    CommandStatus set_polarisation_(std::uint8_t value, std::uint8_t index);
    CommandStatus set_infreq_(std::int32_t value, std::uint8_t index);
    CommandStatus set_gain_(std::uint8_t value, std::uint8_t index);
    CommandStatus set_carrier_(std::uint8_t value, std::uint8_t index);

    CommandStatus save_settings_();
    CommandStatus com_end_();

  private:
    void send(const CommandFrame& frame);
    // Data read: reply bytes, "N", "EN". The reply's bytes, as many as the command table
    // gives the command, go to `decode`.
    template <typename Decode>
    CommandStatus readData(const CommandFrame& frame, Decode decode);
    CommandStatus readByte(std::uint8_t code, std::uint8_t index, std::uint8_t& value);
    CommandStatus set(const CommandFrame& frame);

    Link& link_;
};

}  // namespace meridan
