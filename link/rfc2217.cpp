#include "rfc2217.h"

#include <QStringList>

namespace meridan {

namespace telnet {

namespace {
QByteArray bytes(std::initializer_list<std::uint8_t> list) {
    QByteArray b;
    for (const std::uint8_t v : list)
        b.append(static_cast<char>(v));
    return b;
}
}  // namespace

// The byte after an IAC that is not a doubled 0xFF.
void Stream::takeCommand(std::uint8_t b) {
    if (b >= WILL) {
        verb_ = b;
        state_ = State::Option;
    } else if (b == SB) {
        verb_ = b;
        sub_.clear();
        subTooLong_ = false;
        state_ = State::Option;
    } else {
        state_ = State::Data;  // NOP, GA, break...: nothing for a serial line
    }
}

void Stream::take(const QByteArray& wire, QByteArray* data, QList<Command>* commands) {
    for (const char ch : wire) {
        const auto b = static_cast<std::uint8_t>(ch);
        switch (state_) {
            case State::Data:
                if (b == IAC) {
                    state_ = State::Iac;
                } else {
                    data->append(ch);
                }
                break;
            case State::Iac:
                if (b == IAC) {
                    data->append(ch);
                    state_ = State::Data;
                } else {
                    takeCommand(b);
                }
                break;
            case State::Option:
                if (verb_ == SB) {
                    sub_.append(ch);  // the option, then its payload
                    state_ = State::Sub;
                } else {
                    commands->append({verb_, b, {}});
                    state_ = State::Data;
                }
                break;
            case State::Sub:
                if (b == IAC) {
                    state_ = State::SubIac;
                } else if (sub_.size() < MaxSubnegotiation + 1) {
                    sub_.append(ch);
                } else {
                    subTooLong_ = true;
                }
                break;
            case State::SubIac:
                if (b == IAC) {
                    if (sub_.size() < MaxSubnegotiation + 1) {
                        sub_.append(ch);
                    } else {
                        subTooLong_ = true;
                    }
                    state_ = State::Sub;
                } else {
                    // SE ends it. Any other command ends a subnegotiation whose SE never came,
                    // and is then taken as the command it is (IAC WILL 3 after it is a WILL).
                    if (!subTooLong_) {
                        commands->append({SB, static_cast<std::uint8_t>(sub_.at(0)), sub_.mid(1)});
                    }
                    sub_.clear();
                    state_ = State::Data;
                    if (b != SE) takeCommand(b);
                }
                break;
        }
    }
}

QByteArray escape(const QByteArray& data) {
    QByteArray out;
    out.reserve(data.size() + data.count(char(IAC)));
    for (const char ch : data) {
        out.append(ch);
        if (static_cast<std::uint8_t>(ch) == IAC) out.append(ch);
    }
    return out;
}

QByteArray negotiation(std::uint8_t verb, std::uint8_t option) {
    return bytes({IAC, verb, option});
}

QByteArray subnegotiation(std::uint8_t option, const QByteArray& payload) {
    return bytes({IAC, SB, option}) + escape(payload) + bytes({IAC, SE});
}

}  // namespace telnet

using namespace telnet;

namespace {

QByteArray comPort(std::uint8_t code, const QByteArray& value) {
    return subnegotiation(OptionComPort, QByteArray(1, char(code)) + value);
}

QByteArray byte(std::uint8_t v) {
    return QByteArray(1, char(v));
}

QByteArray bigEndian32(std::uint32_t v) {
    QByteArray b;
    for (const int shift : {24, 16, 8, 0})
        b.append(static_cast<char>((v >> shift) & 0xff));
    return b;
}

QString settingName(int code) {
    switch (code) {
        case SetBaudRate:
            return QStringLiteral("baud rate");
        case SetDataSize:
            return QStringLiteral("data size");
        case SetParity:
            return QStringLiteral("parity");
        case SetStopSize:
            return QStringLiteral("stop bits");
        default:
            return QStringLiteral("flow control");
    }
}

QString parityName(int v) {
    static const char* const names[] = {"unknown", "none", "odd", "even", "mark", "space"};
    return v >= 1 && v <= 5 ? QLatin1String(names[v]) : QStringLiteral("code %1").arg(v);
}

QString flowName(int v) {
    switch (v) {
        case 1:
            return QStringLiteral("no flow control");
        case 2:
            return QStringLiteral("XON/XOFF flow control");
        default:
            return QStringLiteral("hardware flow control");
    }
}

}  // namespace

QByteArray Rfc2217Client::opening() const {
    return negotiation(WILL, OptionBinary) + negotiation(DO, OptionBinary) +
           negotiation(WILL, OptionComPort) + comPort(SetBaudRate, bigEndian32(BaudRate)) +
           comPort(SetDataSize, byte(8)) + comPort(SetParity, byte(ParityNone)) +
           comPort(SetStopSize, byte(OneStopBit)) + comPort(SetControl, byte(NoFlowControl));
}

QByteArray Rfc2217Client::encode(const QByteArray& data) const {
    QByteArray out = escape(data);
    if (!serverTakesBinary_) out.replace("\r", QByteArray("\r\0", 2));
    return out;
}

QByteArray Rfc2217Client::decode(const QByteArray& wire, QByteArray* answer) {
    QByteArray raw;
    QList<Command> commands;
    stream_.take(wire, &raw, &commands);
    for (const Command& c : commands)
        onCommand(c, answer);
    if (serverSendsBinary_) return raw;
    QByteArray data;
    for (const char ch : raw) {
        if (!(afterCr_ && ch == '\0')) data.append(ch);
        afterCr_ = ch == '\r';
    }
    return data;
}

void Rfc2217Client::onCommand(const Command& c, QByteArray* answer) {
    switch (c.verb) {
        case WILL:
            // The server offers to send in binary (our DO is answered) or something else,
            // such as echoing our own bytes back: refused.
            if (c.option == OptionBinary) {
                serverSendsBinary_ = true;
            } else {
                answer->append(negotiation(DONT, c.option));
            }
            break;
        case WONT:
            if (c.option == OptionBinary) serverSendsBinary_ = false;
            break;
        case DO:
            // Binary and the COM port option were offered at the start; the rest is refused.
            if (c.option == OptionBinary) {
                serverTakesBinary_ = true;
            } else if (c.option != OptionComPort) {
                answer->append(negotiation(WONT, c.option));
            }
            break;
        case DONT:
            if (c.option == OptionBinary) {
                serverTakesBinary_ = false;
            } else if (c.option == OptionComPort) {
                refuse(QStringLiteral(
                    "the server does not take COM port settings (RFC 2217); a raw TCP port is "
                    "reached as tcp://"));
            }
            break;
        case SB:
            if (c.option == OptionComPort && !c.payload.isEmpty()) {
                const auto code = static_cast<std::uint8_t>(c.payload.at(0));
                if (code > ServerReply) onComPortReply(code - ServerReply, c.payload.mid(1));
            }
            break;
        default:
            break;
    }
}

void Rfc2217Client::onComPortReply(std::uint8_t code, const QByteArray& value) {
    if (code < SetBaudRate || code > SetControl || value.isEmpty()) return;
    const auto v = static_cast<std::uint8_t>(value.at(0));
    QString wrong;
    switch (code) {
        case SetBaudRate: {
            if (value.size() != 4) return;
            std::uint32_t baud = 0;
            for (const char ch : value)
                baud = (baud << 8) | static_cast<std::uint8_t>(ch);
            if (baud != BaudRate) wrong = QStringLiteral("%1 baud, not 57600").arg(baud);
            break;
        }
        case SetDataSize:
            if (v != 8) wrong = QStringLiteral("%1 data bits, not 8").arg(v);
            break;
        case SetParity:
            if (v != ParityNone) wrong = QStringLiteral("parity %1, not none").arg(parityName(v));
            break;
        case SetStopSize:
            if (v != OneStopBit) {
                wrong = v == 2   ? QStringLiteral("2 stop bits, not 1")
                        : v == 3 ? QStringLiteral("1.5 stop bits, not 1")
                                 : QStringLiteral("stop bits code %1, not 1").arg(v);
            }
            break;
        case SetControl:
            // Answers about break, DTR, RTS or inbound flow control are not ours.
            if (v < 1 || v > 3) return;
            if (v != NoFlowControl) wrong = QStringLiteral("%1, not none").arg(flowName(v));
            break;
    }
    if (!wrong.isEmpty()) {
        refuse(QStringLiteral("the server runs the line at %1 (it did not take the %2 setting)")
                   .arg(wrong, settingName(code)));
        return;
    }
    confirmed_[code] = true;
    if (status_ == Status::Negotiating && unconfirmed().isEmpty()) status_ = Status::Ready;
}

void Rfc2217Client::refuse(const QString& why) {
    // Only the answers to the settings at connect count.
    if (status_ != Status::Negotiating) return;
    status_ = Status::Refused;
    refusal_ = why;
}

QString Rfc2217Client::unconfirmed() const {
    QStringList missing;
    for (int code = SetBaudRate; code <= SetControl; ++code) {
        if (!confirmed_[code]) missing << settingName(code);
    }
    return missing.join(QStringLiteral(", "));
}

}  // namespace meridan
