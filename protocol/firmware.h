#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "firmwareimage.h"
#include "link/link.h"

namespace meridan {

// The firmware exchange with a module of the headend, sectors sent at the module's request:
//
//   host                         module
//   (TryPause 1 s)
//   "UP"                 ->                   (every 6 s until answered, for 50 s)
//                        <-      "OK"
//   (image read whole; ImagePause 0.5 s)
//   "OK" n               ->                   (n = sector count, one byte, 1..255)
//   (CountPause 1 s)
//                        <-      "OK"         (send sector 0; awaited 10 s at most)
//   (SectorPause 1 s)
//   4 blocks of 16 KiB   ->                   (back to back, no answer between them)
//                        <-      "OK"         (send the next sector) ... or, after the last:
//   (EndPause 0.5 s)
//                        <-      "EN"         (at the start of what it sends; 10 s at most)
//
// A sector's answer cannot come before the sector has crossed the line (11.4 s at 57600 8N1),
// however early the port took it, so its 10-second window opens no earlier than that. A
// module that does not ask for a sector or end the update in time gets a fresh start ("UP",
// the count, sector 0), up to four attempts in all.

enum class TransferPhase {
    Starting,    // a start or a restart: busy, clock back to 0, empty bar
    Waiting,     // a try of the start handshake begins; "UP" follows after TryPause
    Asking,      // "UP" goes out now: the elapsed clock runs from here
    Running,     // the module answered and the image was read: the sectors follow
    Restarting,  // a sector's request or the end mark did not come: a new attempt follows
    Confirmed,   // the module answered the last sector with "EN"
    Succeeded,   // the success is shown (SuccessPause after the confirmation)
};

struct TransferStatus {
    bool moduleCheck = false;  // the module check's own handshake, before the update
    int attempt = 0;           // 1 to 4
    int sectors = 0;           // once Running
    int totalBlocks = 0;       // sectors x 4
};

struct TransferProgress {
    enum class Step { Sending, Sent, Written };
    Step step;           // a block goes to the port; it has left; the sector is complete
    int sector = 0;      // from 0
    int block = 0;       // 0 to 3
    int blocksSent = 0;  // blocks the port has taken in this attempt
    int totalBlocks = 0;
};

enum class TransferOutcome {
    Success,
    Failed,        // four attempts stalled
    Cancelled,     // Cancel during the start handshake
    NoConnection,  // no "OK" within 50 s
    PortClosed,    // no port is open
    Refused,       // no image, or one that cannot be sent or read whole (detail says why)
    Aborted,       // the window or the program is closing: nothing more is sent
};

// Whoever shows a transfer: the update window, or the command line's progress line. It is
// told the phases, the blocks and how the transfer ended, once; it answers whether Cancel
// was pressed and which image to send.
class TransferObserver {
  public:
    virtual ~TransferObserver() = default;
    virtual void phaseChanged(TransferPhase phase, const TransferStatus& status) = 0;
    virtual void progress(const TransferProgress&) {}
    // `detail` says why an image was refused.
    virtual void finished(TransferOutcome outcome, const QString& detail) = 0;
    virtual bool cancelRequested() { return false; }
    // The image to send, asked once at the start of an update, before anything is sent; its
    // bytes, read whole then, are what every attempt of that update sends. mayAsk is false:
    // whatever the user chooses is chosen before the update starts. Empty when there is none.
    virtual QString chooseImage(bool mayAsk) = 0;
    // The window shows the success for a while (SuccessPause, then SuccessShown) before it
    // ends; the command line ends as soon as the module has confirmed.
    virtual bool lingerOnSuccess() const { return true; }
};

// The firmware transfer: start handshake, sector count, blocks at the module's request, end
// mark, with up to four attempts per start.
class FirmwareTransfer {
  public:
    static constexpr double HandshakeTry = 5.0;
    static constexpr double HandshakeLimit = 50.0;
    static constexpr double ModuleAnswerLimit = 10.0;
    // Time a 16 KiB block may take to leave through a port that has stopped taking data.
    static constexpr double DrainLimit = 30.0;
    static constexpr int MaxAttempts = 4;
    // A port with a large buffer (a pseudo-terminal, a USB adapter, a network serial server)
    // takes a sector long before the module has it: the line's rate tells when it has.
    static constexpr double LineBytesPerSecond = Link::LineBytesPerSecond;
    // The pauses of the exchange, as drawn above.
    static constexpr double TryPause = 1.0;
    static constexpr double ImagePause = 0.5;
    static constexpr double CountPause = 1.0;
    static constexpr double SectorPause = 1.0;
    static constexpr double EndPause = 0.5;
    static constexpr double SuccessPause = 2.0;  // before the success is shown
    static constexpr double SuccessShown = 3.0;  // how long it is shown
    static constexpr double RestartPause = 2.0;  // "Error" before the next attempt

    using Outcome = TransferOutcome;

    FirmwareTransfer(Link& link, TransferObserver& observer);

    // Failed attempts since the user started the update.
    int RetryCount = 0;

    // One start of the update: at most four attempts, restarting after a stall. The image is
    // read whole before the first; every attempt sends those bytes, whatever happens to the
    // file meanwhile.
    Outcome RunUpdate();
    // The module check before an update: the image read, its own handshake, then the
    // attempts of RunUpdate.
    Outcome CheckModuleType();
    // Waits `seconds`, taking in what arrives meanwhile.
    void warte(double seconds);

    // Figures of the last attempt, for progress reports.
    struct Figures {
        int attempt = 0;
        int sectors = 0;
        qint64 imageBytes = 0;
        qint64 bytesSent = 0;
        QString image;
    };
    const Figures& figures() const { return figures_; }
    // The image of the last update, as read whole and sent (the blanks that fill its last
    // block aside).
    const QByteArray& image() const { return image_; }

  private:
    enum class Handshake { Answered, Cancelled, NoAnswer, Aborted };
    enum class WordAt { Start, End };
    struct Ended {
        Outcome outcome;
        QString detail;
    };

    // The attempts of one start, with the image read.
    Outcome runAttempts();
    // One attempt: the ending, or nothing when the module stalled.
    std::optional<Ended> runAttempt();
    // The image chosen and read whole, or why the update cannot start.
    std::optional<Ended> loadImage();
    // The busy state and the port check that start an attempt or a check.
    std::optional<Ended> prepare();
    Handshake UpdateStartHandshake();
    std::optional<Ended> sendImage();
    // Waits for `word` at the start or the end of ReplyBuffer, for ModuleAnswerLimit from
    // `opensAt` (or from now, when that is later).
    bool waitForReply(const QByteArray& word, WordAt at, double opensAt);
    void phase(TransferPhase p) { observer_.phaseChanged(p, status_); }
    Outcome finish(const Ended& ended);

    Link& link_;
    TransferObserver& observer_;
    TransferStatus status_;
    QByteArray image_;
    Figures figures_;
};

}  // namespace meridan
