#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <cstdint>

namespace meridan {

// Telnet framing (RFC 854) with the COM Port Control option (RFC 2217), as serial device
// servers and ser2net's telnet accepter speak it. In the byte stream a 0xFF (IAC) starts a
// command; a data byte 0xFF is sent twice. The commands used here:
//
//   IAC WILL|WONT|DO|DONT option                 option negotiation, 3 bytes
//   IAC SB option payload... IAC SE              subnegotiation; 0xFF in the payload doubled
//   IAC SB 44 code value... IAC SE               COM port control: the client sends codes 1-12,
//                                                the server answers with code + 100
//
// COM port codes and values used here (values big-endian):
//   1 SET-BAUDRATE  4 bytes, baud        2 SET-DATASIZE 1 byte, bits (5-8)
//   3 SET-PARITY    1 byte, 1 = none     4 SET-STOPSIZE 1 byte, 1 = one stop bit
//   5 SET-CONTROL   1 byte, 1 = no flow control (2 XON/XOFF, 3 hardware; 4-19 are break,
//                   DTR, RTS and inbound flow control, which this program never asks for)
namespace telnet {
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t IAC = 255;

constexpr std::uint8_t OptionBinary = 0;
constexpr std::uint8_t OptionComPort = 44;

constexpr std::uint8_t SetBaudRate = 1;
constexpr std::uint8_t SetDataSize = 2;
constexpr std::uint8_t SetParity = 3;
constexpr std::uint8_t SetStopSize = 4;
constexpr std::uint8_t SetControl = 5;
constexpr std::uint8_t ServerReply = 100;  // added to the code in the server's answers

constexpr std::uint8_t ParityNone = 1;
constexpr std::uint8_t OneStopBit = 1;
constexpr std::uint8_t NoFlowControl = 1;

// A subnegotiation longer than this is not one a COM port server sends: the rest is dropped.
constexpr int MaxSubnegotiation = 64;

// One option negotiation or subnegotiation. Other commands (NOP, GA, break...) carry nothing
// for a serial line and are dropped.
struct Command {
    std::uint8_t verb = 0;  // WILL, WONT, DO, DONT or SB
    std::uint8_t option = 0;
    QByteArray payload;  // SB only, without the doubling of 0xFF
    bool operator==(const Command&) const = default;
};

// Splits the bytes of one direction into data and commands. Keeps its place between calls, so
// a command split across two reads is taken whole.
class Stream {
  public:
    void take(const QByteArray& wire, QByteArray* data, QList<Command>* commands);

  private:
    void takeCommand(std::uint8_t b);
    enum class State { Data, Iac, Option, Sub, SubIac };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    QByteArray sub_;
    bool subTooLong_ = false;
};

// The data as it goes on the wire: every 0xFF doubled.
QByteArray escape(const QByteArray& data);
QByteArray negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
QByteArray subnegotiation(std::uint8_t option, const QByteArray& payload);
}  // namespace telnet

// The client's side of a COM port server connection. At connect it asks for binary
// transmission both ways and the COM port option, and sets the line to 57600 baud, 8 data
// bits, no parity, 1 stop bit and no flow control; the port is ready once the server has
// confirmed all five settings. Every other option the server offers or asks for is refused.
// Modem lines (DTR, RTS) are left as the server has them: a server on a pseudo-terminal never
// confirms a change of them.
class Rfc2217Client {
  public:
    enum class Status { Negotiating, Ready, Refused };
    static constexpr std::uint32_t BaudRate = 57600;

    // What the client sends right after the connection is made.
    QByteArray opening() const;
    // Data from the program as it goes to the server.
    QByteArray encode(const QByteArray& data) const;
    // Takes bytes from the server; returns the data among them. `answer` gets what must go
    // back to the server (refusals of options).
    QByteArray decode(const QByteArray& wire, QByteArray* answer);

    Status status() const { return status_; }
    // Why the server's line cannot be used ("the server runs the line at 9600 baud, not 57600").
    QString refusal() const { return refusal_; }
    // The settings the server has not confirmed yet, for a message ("data size, parity").
    QString unconfirmed() const;

  private:
    void onCommand(const telnet::Command& c, QByteArray* answer);
    void onComPortReply(std::uint8_t code, const QByteArray& value);
    void refuse(const QString& why);

    telnet::Stream stream_;
    Status status_ = Status::Negotiating;
    QString refusal_;
    // Confirmed settings, by code 1-5.
    std::array<bool, 6> confirmed_{};
    // Binary transmission, unless the server refuses it: then a CR goes out as CR NUL and a CR
    // NUL comes in as CR, as the network virtual terminal has it.
    bool serverTakesBinary_ = true;
    bool serverSendsBinary_ = true;
    bool afterCr_ = false;
};

}  // namespace meridan
