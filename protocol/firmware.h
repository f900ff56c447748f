#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include "link/link.h"
#include "messages/messageservice.h"

namespace meridan {

// Firmware images are sent to a module of the headend in 64 KiB sectors of four blocks, at
// the module's request:
//
//   host                         module
//   "UP"                 ->                   (every 6 s until answered, for 50 s)
//                        <-      "OK"
//   "OK" n               ->                   (n = sector count, one byte, 1..255)
//                        <-      "OK"         (send sector 0)
//   4 blocks of 16 KiB   ->
//                        <-      "OK"         (send the next sector) ... or "EN" after the last
//
// The image is sent byte for byte; the last block is filled up with blanks (0x20) past the
// end of the file. Each attempt reads the whole image first and sends it from memory, so
// every byte sent is a byte of one version of the file, or a blank of the last sector.
constexpr qint64 SectorBytes = 65536;
constexpr int BlocksPerSector = 4;
constexpr int MaxSectors = 255;
inline const QString FirmwarePattern = QStringLiteral("VELNO_S*.bin");

// True when `path` names something that is neither a folder nor missing.
bool FileExists(const QString& path);
// True when the file can be opened for reading while no other process writes it.
bool FileReady(const QString& path);
// Names of the files in `folder` matching `pattern`, newest first by modification time.
QStringList firmwareImagesNewestFirst(const QString& folder, const QString& pattern);

struct ImageCheck {
    QString error;  // empty when the image can be sent
    qint64 size = 0;
    int sectors = 0;
};
// Whether an image can be sent: it exists, can be read, is not empty and has at most 255
// sectors (the count is the length divided by 65536, rounded up).
ImageCheck checkFirmwareImage(const QString& path);

// A number as the update window writes it: a blank before a non-negative value.
QString signedNumber(qint64 value);

enum class TitleColour { Black, Red, Green };

// What the update window shows of a transfer. The transfer decides what to show when; a view
// without a window (the command line) shows only what it cares about.
class FirmwareView {
  public:
    virtual ~FirmwareView() = default;
    virtual void setHourglass(bool) {}
    virtual void showTitle(const QString& /*text*/, TitleColour) {}
    virtual void showInstructions(const QString& /*english*/, const QString& /*german*/) {}
    // Panel 2 of the main window's status bar.
    virtual void setStatusPanel(const QString&) {}
    virtual void setIndicatorBusy(bool) {}
    // Progress bar (blocks sent of sectors x 4) and the percentage label.
    virtual void setProgressMaximum(int /*blocks*/) {}
    virtual void setProgress(int /*blocksSent*/) {}
    virtual void setPercent(const QString&) {}
    // The elapsed clock: back to 0:00:00; started (reference tick taken, timer on); stopped.
    virtual void resetClock() {}
    virtual void startClock() {}
    virtual void stopClock() {}
    virtual bool cancelRequested() { return false; }
    // The image to send: the newest, or the user's choice in expert mode. May ask the user
    // only when mayAsk is true. Empty when there is none.
    virtual QString SelectFirmwareFile(bool mayAsk) = 0;
    // The idle state: "Ready", the idle instruction lines, progress 0, indicator green,
    // toolbar in its idle arrangement, default pointer.
    virtual void showReady() {}
    virtual void beep() {}
    // The window shows the success word for a while (2 s, then 3 s) before Ready; a view
    // without a window ends as soon as the module has confirmed.
    virtual bool lingerOnSuccess() const { return true; }
};

namespace fwtext {
inline const QString UpdateError = QStringLiteral("Update Error");
inline const QString Waiting = QStringLiteral("Waiting for response...");
inline const QString WaitingForRequest = QStringLiteral("Waiting for request...");
inline const QString Running = QStringLiteral("Running");
inline const QString Error = QStringLiteral("Error");
inline const QString Ready = QStringLiteral("Ready");
inline const QString Success = QStringLiteral("Update Successful / Update erfolgreich");
inline const QString IdleEnglish = QStringLiteral("To start update procedure press Update button");
inline const QString IdleGerman =
    QStringLiteral("Um den Update-Vorgang zu starten, Update Button drücken");
inline const QString RunningEnglish = QStringLiteral("Update in progress, please wait");
inline const QString RunningGerman = QStringLiteral("Update wird ausgeführt, bitte warten");
inline const QString RestartEnglish =
    QStringLiteral("Update error. Automatical restart, please wait");
inline const QString RestartGerman =
    QStringLiteral("Update Fehler. Automatischer Neustart, bitte warten");
inline const QString CheckEnglish = QStringLiteral("Checking module type for update, please wait");
inline const QString CheckGerman =
    QStringLiteral("Prüfe Modultyp für Update-Vorgang, bitte warten");
inline const QString UpdateFailed = QStringLiteral("Update error\rUpdate Fehler");
}  // namespace fwtext

// The firmware transfer of the update window: start handshake, sector count, blocks at the
// module's request, end mark, with up to four attempts per start.
class FirmwareTransfer {
  public:
    static constexpr double HandshakeTry = 5.0;
    static constexpr double HandshakeLimit = 50.0;
    static constexpr double ModuleAnswerLimit = 10.0;
    // Time a 16 KiB block may take to leave through a port that has stopped taking data.
    static constexpr double DrainLimit = 30.0;
    static constexpr int MaxAttempts = 4;
    // 57600 baud, 8N1: ten bit times a byte. A port with a large buffer (a pseudo-terminal,
    // a USB adapter, a network serial server) takes a sector long before the module has it.
    static constexpr double LineBytesPerSecond = 5760.0;

    enum class Outcome {
        Success,
        Failed,        // four attempts stalled; reported
        Cancelled,     // Cancel during the start handshake
        NoConnection,  // no "OK" within 50 s; reported
        PortClosed,    // reported
        Refused,       // no image, or one that cannot be sent or read whole; reported
        Aborted,       // the window or the program is closing: nothing more is sent
    };

    FirmwareTransfer(Link& link, FirmwareView& view, MessageService& messages);
    ~FirmwareTransfer();

    // Failed attempts since the user started the update.
    int RetryCount = 0;

    // One start of the update: at most four attempts, restarting after a stall.
    Outcome RunUpdate();
    // The module check before an update: its own handshake, then RunUpdate.
    Outcome CheckModuleType();
    // Waits `seconds`, taking in what arrives meanwhile.
    void warte(double seconds);
    void closeFile() { file_.close(); }
    bool fileOpen() const { return file_.isOpen(); }

    // Figures of the last attempt, for progress reports.
    struct Figures {
        int attempt = 0;
        int sectors = 0;
        qint64 imageBytes = 0;
        qint64 bytesSent = 0;
        QString image;
    };
    const Figures& figures() const { return figures_; }

  private:
    enum class Handshake { Answered, Cancelled, NoAnswer, Aborted };
    enum class Attempt { Success, Stalled, Cancelled, NoConnection, PortClosed, Refused, Aborted };

    enum class WordAt { Start, End };

    Attempt runAttempt();
    // The busy state, the port check and the image check that start an attempt or a check.
    // False, reported and back in Ready, when there is nothing to send or no port.
    bool prepare(bool moduleCheck, Outcome* refused);
    Handshake UpdateStartHandshake(bool moduleCheck);
    bool refuseImage(const QString& path, ImageCheck* check);
    // Reads the whole image into image_; false, reported and back in Ready, when the file
    // cannot be read whole or is no longer an image that can be sent.
    bool readImage(const QString& path);
    // Waits for `word` at the start or the end of ReplyBuffer, for ModuleAnswerLimit seconds
    // from now or from `opensAt`, whichever is later.
    bool waitForReply(const QByteArray& word, WordAt at, double opensAt);
    void report(const QString& message, const QString& title);
    void endInReady();

    Link& link_;
    FirmwareView& view_;
    MessageService& messages_;
    QFile file_;
    QByteArray image_;
    Figures figures_;
};

}  // namespace meridan
