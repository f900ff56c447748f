#pragma once

#include <QPointer>
#include <QWidget>

#include "link/clock.h"
#include "protocol/monitor.h"
#include "webmonitor/liveserver.h"
#include "webmonitor/livestate.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

namespace meridan {

// "Show on a phone" in the Diagnostic window: the check box in the window and the small window
// it opens, with the page's address and its QR code for the phone's camera. While the box is
// checked, each run of the window's monitor reads the unit's type and serial number first and
// is served to phones (meridan-cli monitor --serve, the same engine) on the address and port
// chosen here; Stop, or closing the window, ends the server with the run. The small window may
// be closed once the phone has the page: the phones are served while the box is checked.
class PhonePanel final : public QWidget {
    Q_OBJECT
  public:
    static constexpr quint16 DefaultPort = 8642;

    PhonePanel(QWidget& window, LockMonitor& monitor, Clock& clock);
    ~PhonePanel() override;

    // The server of the run in progress, or nullptr.
    web::LiveServer* server() const { return server_; }
    QString url() const;

    QCheckBox* Check_Phone = nullptr;  // in the Diagnostic window
    QComboBox* Combo_Address = nullptr;
    QSpinBox* Spin_Port = nullptr;
    QLabel* Label_Code = nullptr;
    QLabel* Label_Url = nullptr;
    QLabel* Label_Serving = nullptr;

  private:
    void chosen(bool on);
    void startServing();
    void stopServing();
    void showAddress();
    void showServing();

    LockMonitor& monitor_;
    web::LiveState state_;
    QByteArray token_;
    QPointer<web::LiveServer> server_;
    QString failure_;
    bool running_ = false;
    bool placed_ = false;
};

}  // namespace meridan
