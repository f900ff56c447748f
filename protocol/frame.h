#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace meridan {

// Command frame, 15 bytes, written in one piece; no header, length, checksum or terminator.
//
//   offset  0     1      2      3      4      5 ... 14
//          +-----+------+------+------+------+----------+
//          |code |index |value |  (4-byte value, MSB    |
//          |     |0..11 |byte  |   first, at 2..5)      |
//          +-----+------+------+------+------+----------+
//                 zero fill up to 15 bytes after the last used byte
//
// Shapes: code + 14 zeros; code, index + 13 zeros; code, index, value byte + 12 zeros;
// code, index, 4 value bytes + 9 zeros (input frequency).
//
// After a frame the device answers with raw data for reads (1 byte, 4 bytes big-endian, or a
// length byte and, after the program's "N", that many text bytes), gets "N" for each data
// reply, and closes every command with "EN".

enum Command : std::uint8_t {
    ReadHwVersion = 19,
    ReadSwVersion = 20,
    ReadSerialNo = 21,
    ReadPolarisation = 22,
    SetPolarisation = 23,
    ReadInFreq = 24,
    SetInFreq = 25,
    ReadInputLock = 26,
    ReadOutFreq = 27,
    ReadOutputLock = 29,
    ReadGain = 30,
    SetGain = 31,
    SaveSettings = 33,
    ComEnd = 40,
    ReadCarrier = 45,
    SetCarrier = 46,
    ReadUnitType = 48,
};

enum class FrameShape { Plain, Converter, ConverterByte, ConverterLong };
enum class ReplyKind { None, Byte, Int32, Float32, Text, Store, End };

struct CommandInfo {
    std::uint8_t code;
    const char* operation;  // the operation that sends it
    const char* meaning;
    FrameShape shape;
    ReplyKind reply;
};

// Every command the program sends.
inline constexpr std::array<CommandInfo, 17> CommandTable{{
    {ReadHwVersion, "read_text_", "read hardware version", FrameShape::Plain, ReplyKind::Text},
    {ReadSwVersion, "read_text_", "read software version", FrameShape::Plain, ReplyKind::Text},
    {ReadSerialNo, "read_serialno_", "read serial number", FrameShape::Plain, ReplyKind::Int32},
    {ReadPolarisation, "read_polarisation_", "read SAT input", FrameShape::Converter,
     ReplyKind::Byte},
    {SetPolarisation, "set_polarisation_", "set SAT input", FrameShape::ConverterByte,
     ReplyKind::None},
    {ReadInFreq, "read_infreq_", "read input frequency", FrameShape::Converter, ReplyKind::Int32},
    {SetInFreq, "set_infreq_", "set input frequency", FrameShape::ConverterLong, ReplyKind::None},
    {ReadInputLock, "read_input_lock_", "read input lock state", FrameShape::Converter,
     ReplyKind::Byte},
    {ReadOutFreq, "read_outfreq_", "read output frequency", FrameShape::Converter,
     ReplyKind::Float32},
    {ReadOutputLock, "read_output_lock_", "read output lock state", FrameShape::Converter,
     ReplyKind::Byte},
    {ReadGain, "read_gain_", "read gain", FrameShape::Converter, ReplyKind::Byte},
    {SetGain, "set_gain_", "set gain", FrameShape::ConverterByte, ReplyKind::None},
    {SaveSettings, "save_settings_", "store settings", FrameShape::Plain, ReplyKind::Store},
    {ComEnd, "com_end_", "end of communication", FrameShape::Plain, ReplyKind::End},
    {ReadCarrier, "read_carrier_", "read carrier", FrameShape::Converter, ReplyKind::Byte},
    {SetCarrier, "set_carrier_", "set carrier", FrameShape::ConverterByte, ReplyKind::None},
    {ReadUnitType, "read_text_", "read unit type", FrameShape::Plain, ReplyKind::Text},
}};

constexpr const CommandInfo* findCommand(std::uint8_t code) {
    for (const CommandInfo& c : CommandTable) {
        if (c.code == code) return &c;
    }
    return nullptr;
}

// Bytes of a command's data reply before the program's "N": 1 for a byte, 4 for a 32-bit value,
// 1 (the length) for a text; 0 for a command without data.
constexpr int replyBytes(std::uint8_t code) {
    const CommandInfo* c = findCommand(code);
    if (!c) return 0;
    switch (c->reply) {
        case ReplyKind::Byte:
        case ReplyKind::Text:
            return 1;
        case ReplyKind::Int32:
        case ReplyKind::Float32:
            return 4;
        case ReplyKind::None:
        case ReplyKind::Store:
        case ReplyKind::End:
            break;
    }
    return 0;
}

class CommandFrame {
  public:
    static constexpr int Size = 15;

    static CommandFrame plain(std::uint8_t code);
    static CommandFrame forConverter(std::uint8_t code, std::uint8_t index);
    static CommandFrame withByte(std::uint8_t code, std::uint8_t index, std::uint8_t value);
    static CommandFrame withLong(std::uint8_t code, std::uint8_t index, std::int32_t value);

    QByteArray bytes() const;
    std::uint8_t code() const { return b_[0]; }

  private:
    std::array<std::uint8_t, Size> b_{};
};

// Value encodings of replies and frames: most significant byte first.
QByteArray encodeInt32(std::int32_t value);
std::int32_t decodeInt32(const QByteArray& bytes);  // first four bytes
float decodeFloat32(const QByteArray& bytes);       // first four bytes, IEEE 754 single
std::uint8_t gainFromReply(std::uint8_t raw);       // the device answers 2 for "on"

// A frame read back from the wire, for traces: command name, converter and value.
QString describeFrame(const QByteArray& frame);

}  // namespace meridan
