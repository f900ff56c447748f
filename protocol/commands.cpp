#include "commands.h"

namespace meridan {

namespace {
const QByteArray WordN = QByteArrayLiteral("N");

// The decoders below read the reply the command table gives each command.
// By value, not through findCommand's pointer: the sanitizer build cannot compare the address
// of a table entry in a constant expression.
constexpr bool replies(std::uint8_t code, ReplyKind kind) {
    for (const CommandInfo& c : CommandTable) {
        if (c.code == code) return c.reply == kind;
    }
    return false;
}
static_assert(replies(ReadSerialNo, ReplyKind::Int32) && replies(ReadInFreq, ReplyKind::Int32));
static_assert(replies(ReadOutFreq, ReplyKind::Float32));
static_assert(replies(ReadPolarisation, ReplyKind::Byte) &&
              replies(ReadInputLock, ReplyKind::Byte) && replies(ReadOutputLock, ReplyKind::Byte) &&
              replies(ReadGain, ReplyKind::Byte) && replies(ReadCarrier, ReplyKind::Byte));
static_assert(replies(ReadUnitType, ReplyKind::Text) && replies(ReadHwVersion, ReplyKind::Text) &&
              replies(ReadSwVersion, ReplyKind::Text));
}  // namespace

void Commands::send(const CommandFrame& frame) {
    link_.clearReplyBuffer();
    link_.write(frame.bytes());
}

template <typename Decode>
CommandStatus Commands::readData(const CommandFrame& frame, Decode decode) {
    const int count = replyBytes(frame.code());
    send(frame);
    if (!link_.get_data_(count)) return StatusFailed;
    decode(link_.ReplyBuffer().left(count));
    link_.clearReplyBuffer();
    link_.write(WordN);
    return link_.disconnect_() ? StatusDone : StatusFailed;
}

CommandStatus Commands::read_text_(std::uint8_t code, QString& text) {
    send(CommandFrame::plain(code));
    if (!link_.get_data_(replyBytes(code))) return StatusFailed;
    const int length = static_cast<std::uint8_t>(link_.ReplyBuffer().at(0));
    link_.clearReplyBuffer();
    link_.write(WordN);
    if (!link_.get_data_(length)) return StatusFailed;
    text = QString::fromLatin1(link_.ReplyBuffer().left(length));
    link_.clearReplyBuffer();
    link_.write(WordN);
    return link_.disconnect_() ? StatusDone : StatusFailed;
}

CommandStatus Commands::read_serialno_(std::int32_t& value) {
    return readData(CommandFrame::plain(ReadSerialNo),
                    [&](const QByteArray& b) { value = decodeInt32(b); });
}

CommandStatus Commands::readByte(std::uint8_t code, std::uint8_t index, std::uint8_t& value) {
    return readData(CommandFrame::forConverter(code, index),
                    [&](const QByteArray& b) { value = static_cast<std::uint8_t>(b.at(0)); });
}

CommandStatus Commands::read_polarisation_(std::uint8_t& value, std::uint8_t index) {
    return readByte(ReadPolarisation, index, value);
}

CommandStatus Commands::read_infreq_(std::int32_t& value, std::uint8_t index) {
    return readData(CommandFrame::forConverter(ReadInFreq, index),
                    [&](const QByteArray& b) { value = decodeInt32(b); });
}

CommandStatus Commands::read_input_lock_(std::uint8_t& value, std::uint8_t index) {
    return readByte(ReadInputLock, index, value);
}

CommandStatus Commands::read_outfreq_(float& value, std::uint8_t index) {
    return readData(CommandFrame::forConverter(ReadOutFreq, index),
                    [&](const QByteArray& b) { value = decodeFloat32(b); });
}

CommandStatus Commands::read_output_lock_(std::uint8_t& value, std::uint8_t index) {
    return readByte(ReadOutputLock, index, value);
}

CommandStatus Commands::read_gain_(std::uint8_t& value, std::uint8_t index) {
    return readData(CommandFrame::forConverter(ReadGain, index), [&](const QByteArray& b) {
        value = gainFromReply(static_cast<std::uint8_t>(b.at(0)));
    });
}

CommandStatus Commands::read_carrier_(std::uint8_t& value, std::uint8_t index) {
    return readByte(ReadCarrier, index, value);
}

CommandStatus Commands::set(const CommandFrame& frame) {
    send(frame);
    return link_.disconnect_() ? StatusDone : StatusFailed;
}

CommandStatus Commands::set_polarisation_(std::uint8_t value, std::uint8_t index) {
    return set(CommandFrame::withByte(SetPolarisation, index, value));
}

CommandStatus Commands::set_infreq_(std::int32_t value, std::uint8_t index) {
    return set(CommandFrame::withLong(SetInFreq, index, value));
}

CommandStatus Commands::set_gain_(std::uint8_t value, std::uint8_t index) {
    return set(CommandFrame::withByte(SetGain, index, value));
}

CommandStatus Commands::set_carrier_(std::uint8_t value, std::uint8_t index) {
    return set(CommandFrame::withByte(SetCarrier, index, value));
}

CommandStatus Commands::save_settings_() {
    send(CommandFrame::plain(SaveSettings));
    link_.WaitSeconds(StorePause);
    return link_.disconnect_() ? StatusDone : StatusFailed;
}

CommandStatus Commands::com_end_() {
    if (!link_.port().isOpen()) {
        link_.WaitSeconds(EndPause);
        return StatusPortClosed;
    }
    send(CommandFrame::plain(ComEnd));
    if (!link_.disconnect_()) return StatusFailed;
    link_.WaitSeconds(EndPause);
    return StatusDone;
}

}  // namespace meridan
